#!/usr/bin/env bash
# The splash on a virtual X display (Xvfb on a free display number, stopped at the end): each
# executable runs in a Wine virtual desktop of its own on that display, and screenshots (xwd)
# are searched for the test image, pixel for pixel (tests/splash_shot.py).
#   slow extraction, the application asks to close it: shown while extracting and while the
#     application runs without a window, gone after the request
#   slow extraction, the application shows a window: gone once the window is there
#   slow extraction, the application does neither: gone once it has ended
#   fast start: never shown
# check_splash.sh TEST_DIR PYTHON [README_PNG]: README_PNG, when given, receives a crop of the
# first screenshot that shows it.
set -u
dir=$1 python=$2 readme_png=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/wine-env.sh"
work=$(mktemp -d)
source "$here/virtual_display.sh" 91 190
fail=0
runs=0

shot() {  # prints found X Y or absent
  xwd -root -silent >"$work/shot.xwd" && "$python" "$here/splash_shot.py" find "$work/shot.xwd"
}
wait_file() {  # path, tenths of a second
  for _ in $(seq "$2"); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}
expect() {  # what (found|absent), label
  local seen
  seen=$(shot)
  if [ "${seen%% *}" = "$1" ]; then
    echo "ok: $2: $seen"
  else
    echo "FAIL: $2: $seen (expected $1)"
    fail=1
  fi
}

run() {  # exe, mode: starts it in a virtual desktop of its own; sets `report`
  local exe=$1 mode=$2
  runs=$((runs + 1))
  report="$work/report$runs"
  mkdir -p "$report"
  ZOBRIN_TEST_REPORT="Z:${report//\//\\}" ZOBRIN_TEST_SPLASH=$mode \
    "$WINE64" explorer "/desktop=zobrin-splash-$display-$runs,800x600" \
    "Z:${dir//\//\\}\\$exe" >"$work/run$runs.log" 2>&1 &
  launched=$!
}

finish() {  # the application ends by itself; its launcher a moment later
  wait_file "$report/ending" 200 || { echo "FAIL: the application did not end"; fail=1; }
  sleep 1
  wait "$launched" 2>/dev/null
  launched=
}

for mode in close window none; do
  run e2e_splash_slow.exe "$mode"
  shown=
  for _ in $(seq 150); do
    [ -e "$report/started" ] && break
    seen=$(shot)
    if [ "${seen%% *}" = found ]; then shown=$seen; break; fi
    sleep 0.2
  done
  if [ -n "$shown" ]; then
    echo "ok: $mode: shown while extracting: $shown"
    if [ -n "$readme_png" ] && [ "$mode" = close ]; then
      set -- $shown
      "$python" "$here/splash_shot.py" crop "$work/shot.xwd" "$readme_png" \
        $(($2 - 120)) $(($3 - 90)) 480 300
      readme_png=
    fi
  else
    echo "FAIL: $mode: not shown while extracting"
    fail=1
  fi
  wait_file "$report/started" 300 || { echo "FAIL: $mode: the application never started"; fail=1; }
  expect found "$mode: while the application runs without a window"
  if [ "$mode" = none ]; then
    finish
    expect absent "$mode: after the application ended"
  else
    wait_file "$report/acted" 100 || { echo "FAIL: $mode: the application never acted"; fail=1; }
    sleep 0.5
    expect absent "$mode: after the application's $mode"
    finish
  fi
done

run e2e_splash_fast.exe none
wait_file "$report/started" 300 || { echo "FAIL: fast: the application never started"; fail=1; }
sleep 0.5
expect absent "fast: a fast start shows nothing"
finish
exit $fail
