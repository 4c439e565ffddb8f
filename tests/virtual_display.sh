# Sourced by the tests that show windows: starts Xvfb on the first free display number from
# $1 to $2 and exports DISPLAY. Expects `work` (a scratch directory); on exit it ends the
# process `launched` names, if any, and Xvfb, and removes `work`.
display=
for n in $(seq "$1" "$2"); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free display number"; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
launched=
cleanup() {
  [ -n "$launched" ] && kill "$launched" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display"
