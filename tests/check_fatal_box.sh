#!/usr/bin/env bash
# A windowed executable's fatal line in a message box, on a virtual X display (Xvfb on a free
# display number, stopped at the end): each row starts a launcher through box_starter.exe in
# a Wine virtual desktop of its own, as Explorer would (no standard handles) or with its output
# redirected, and checks the box's text, what was left when it showed, a screenshot with the
# box's error icon (tests/splash_shot.py), that it was the only one, and the exit code once
# OK is pressed.
#   check_fatal_box.sh TEST_DIR PYTHON
set -u
dir=$1 python=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/wine-env.sh"
work=$(mktemp -d)
source "$here/virtual_display.sh" 191 290
fail=0
runs=0
check() {  # label, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: got [$3], expected [$2]"; fail=1; fi
}
wait_file() {  # path, tenths of a second
  for _ in $(seq "$2"); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}

decode="Error, couldn't decode attached data."
place="Error, extraction folder 'relative' (from the variable ZOBRIN_ONEFILE_EXTRACT_TO) is not an absolute path."
missing="Error, load DLL. ([Error 126] Module not found.) Missing: libstdc++-6.dll"
# exe | mode | variable | the box's text, or "-" for none | entries left while it shows |
# out.txt (mode file). The child's line is the child's box, shown while the parent waits
# with the payload directory (removed once it is closed).
rows=(
  "e2e_decode_error.exe|none||$decode|0|"
  "e2e_flip.exe|none|ZOBRIN_ONEFILE_EXTRACT_TO=relative|$place|0|"
  "e2e_missing_dll.exe|none||$missing|1|"
  "e2e_decode_error.exe|file||-||$decode"
  "e2e_flip.exe|file|ZOBRIN_ONEFILE_EXTRACT_TO=relative|-||$place"
  "e2e_flip.exe|nul|ZOBRIN_ONEFILE_EXTRACT_TO=relative|-||"
)
for row in "${rows[@]}"; do
  IFS='|' read -r exe mode variable box left out <<<"$row"
  runs=$((runs + 1))
  label="$exe $mode${variable:+ $variable}"
  report="$work/report$runs"
  mkdir -p "$report"
  "$WINE64" explorer "/desktop=zobrin-box-$display-$runs,800x600" \
    "Z:${dir//\//\\}\\box_starter.exe" "Z:${report//\//\\}" "$mode" \
    "Z:${dir//\//\\}\\$exe" $variable >"$work/run$runs.log" 2>&1 &
  launched=$!
  for _ in $(seq 600); do [ -e "$report/box.txt" ] || [ -e "$report/exit.txt" ] && break; sleep 0.1; done
  if [ "$box" != - ]; then
    if [ -e "$report/box.txt" ]; then
      check "$label: the box's text, entries left" "$box|left $left" "$(paste -sd'|' "$report/box.txt")"
      xwd -root -silent >"$work/shot.xwd"
      check "$label: the screenshot shows the box" found \
        "$("$python" "$here/splash_shot.py" box "$work/shot.xwd" | cut -d' ' -f1)"
    else
      echo "FAIL: $label: no box"; fail=1
    fi
  else
    check "$label: no box" "" "$(cat "$report/box.txt" 2>/dev/null)"
  fi
  touch "$report/shot"
  wait_file "$report/exit.txt" 700 || { echo "FAIL: $label: the starter never ended"; fail=1; }
  check "$label: exit code, nothing left, boxes" "exit 2|left 0|boxes $([ "$box" = - ] && echo 0 || echo 1)" \
    "$(paste -sd'|' "$report/exit.txt" 2>/dev/null)"
  if [ "$mode" = file ]; then
    check "$label: the line in the file" "$out" "$(tr -d '\r' <"$report/out.txt")"
  fi
  wait "$launched" 2>/dev/null
  launched=
done
exit $fail
