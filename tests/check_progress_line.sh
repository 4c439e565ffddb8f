#!/usr/bin/env bash
# The progress line on a console. console_screen.exe, started in a pty (script(1): Wine gives
# it a console whose screen can be read; one made without a terminal cannot be), runs each
# launcher on that console and reads the screen's row while it runs:
#   e2e_faults_many.exe (3000 files, the first 500 opens delayed 4 ms each through the fault
#     seam, so the extraction takes seconds on any machine): "Extracting e2e_faults_many.exe...
#     N%" seen, then erased before the application's "hello from run_code"
#   e2e_echo.exe (done before the delay): no line
# and e2e_faults_many.exe, delayed alike, with standard output and error redirected to files:
# the output exactly as without a console. Each run on the console leaves nothing in its
# temporary directory.
#   check_progress_line.sh TEST_DIR
set -u
dir=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/wine-env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
check() {  # label, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: got [$3], expected [$2]"; fail=1; fi
}
win() { local p=$1; echo "Z:${p//\//\\}"; }

# exe | whether the line shows
export ZOBRIN_TEST_FAULT=CreateFileW:1-500:delay:4
for row in "e2e_faults_many.exe|yes" "e2e_echo.exe|no"; do
  IFS='|' read -r exe line <<<"$row"
  report="$work/${exe%.exe}"
  mkdir -p "$report"
  script -qec "$(printf '%q ' "$here/../scripts/wine-run" "$dir/console_screen.exe" \
    "$(win "$report")" "$(win "$dir/$exe")")" /dev/null </dev/null >"$report/pty.log" 2>&1
  screen=$(tr -d '\r' <"$report/screen.txt" 2>/dev/null)
  # The row's texts but the application's output, which the console may show half written.
  seen=$(sed -n 's/^seen: //p' <<<"$screen" | while IFS= read -r text; do
    case "hello from run_code" in "$text"*) ;; *) echo "$text" ;; esac
  done)
  bad=$(grep -v -E "^Extracting $exe\\.\\.\\. [0-9]{1,3}%$" <<<"$seen" | grep -v '^$')
  check "$exe on a console: only progress lines and the application's ($(wc -l <<<"$seen"))" "" "$bad"
  check "$exe on a console: the line shown: $(head -1 <<<"$seen")" "$line" "$([ -n "$seen" ] && echo yes || echo no)"
  check "$exe on a console: erased before the application wrote, exit code" \
    "final: hello from run_code|exit: 0" "$(grep -E '^(final|exit): ' <<<"$screen" | paste -sd'|')"
  check "$exe on a console: nothing left" "" "$(ls -A "$report/tmp" 2>/dev/null)"
done

report="$work/redirected"
mkdir -p "$report"
ZOBRIN_TEST_REPORT="$(win "$report")" \
  "$here/../scripts/wine-run" "$dir/e2e_faults_many.exe" </dev/null >"$report/out" 2>"$report/err"
check "e2e_faults_many.exe redirected: exit code" 0 "$?"
check "e2e_faults_many.exe redirected: standard output" "hello from run_code" "$(tr -d '\r' <"$report/out")"
check "e2e_faults_many.exe redirected: standard error" 0 "$(stat -c %s "$report/err")"
exit $fail
