#!/usr/bin/env bash
# Builds the seed corpora and runs each fuzzer for a bounded time.
# Usage: run.sh FUZZ_DIR HOST_DIR PACK SECONDS
# Seeds (written anew into FUZZ_DIR/seeds): every crafted payload case, payloads the packer
# writes for small trees (one of them cut into frames), and the committed regression inputs. The growing corpus stays in
# FUZZ_DIR/corpus; crashing inputs go to FUZZ_DIR/findings/<target>/.
set -euo pipefail
fuzz=$1
host=$2
pack=$3
seconds=$4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

seeds=$fuzz/seeds
rm -rf "$seeds"
mkdir -p "$seeds/payload_reader" "$seeds/command_line"

# The crafted cases the reader tests use, and the cases of whole launcher runs.
cases=$(sed -n '/^set(ZOBRIN_PAYLOAD_CASES/,/)/p' "$root/cmake/windows_tests.cmake" |
  sed 's/set(ZOBRIN_PAYLOAD_CASES//; s/)//')
[ -n "$cases" ] || { echo "run.sh: no payload cases found in cmake/windows_tests.cmake" >&2; exit 1; }
for c in $cases e2e_name_too_long e2e_open_fails e2e_second_string; do
  "$host/craft-payload" "$c" "$seeds/payload_reader/craft_$c"
done

# Payloads the packer writes: one file; nested folders, an empty file and wide names; and
# the reader tests' sample tree (sizes around the chunk and buffer edges).
trees=$fuzz/trees
rm -rf "$trees"
mkdir -p "$trees/one" "$trees/nested/a/b" "$trees/nested/caf$(printf '\xc3\xa9') x" "$trees/sample"
for t in one nested; do "$host/fuzz-seed-dll" "$trees/$t/app.dll"; done
printf 'hello\n' > "$trees/one/a.txt"
printf 'x%.0s' $(seq 1 300) > "$trees/nested/a/b/c.txt"
: > "$trees/nested/a/empty"
printf 'name\n' > "$trees/nested/caf$(printf '\xc3\xa9') x/r.txt"
"$host/craft-payload" tree "$trees/sample"
"$host/fuzz-seed-dll" "$trees/sample/app.dll"
for t in one nested sample; do
  "$pack" payload "$trees/$t" --main app.dll -o "$seeds/payload_reader/pack_$t" --level 3 >/dev/null
done
# The sample tree again, its stream cut into frames of 64 KiB.
"$pack" payload "$trees/sample" --main app.dll -o "$seeds/payload_reader/pack_sample_frames" \
  --level 3 --frame-size 65536 >/dev/null

# Quoting seeds: two capacity bytes, then UTF-16LE elements separated by 0 units.
q() { printf "$1" | iconv -f UTF-8 -t UTF-16LE; }
seed_line() {
  local file=$1 cap=$2
  shift 2
  { printf "$cap"; local first=1
    for e in "$@"; do [ $first = 1 ] || printf '\0\0'; first=0; q "$e"; done; } > "$file"
}
cl=$seeds/command_line
seed_line "$cl/plain" '\xff\xff' 'C:\\app\\launch.exe' 'a' 'b'
seed_line "$cl/blanks" '\xff\xff' 'C:\\Program Files\\x.exe' 'two words' '' 'tab\there'
seed_line "$cl/quotes" '\xff\xff' 'x.exe' 'say "hi"' '\\"' 'a\\\\"b' '"'
seed_line "$cl/trailing" '\xff\xff' 'x.exe' 'dir with blank\\' 'dir\\' 'x y\\\\'
seed_line "$cl/short" '\x10\x00' 'x.exe' 'quite a long argument' 'more'
seed_line "$cl/controls" '\xff\xff' 'x.exe' $'line\nfeed' $'v\vtab' $'cr\rhere'

status=0
for target in payload_reader command_line; do
  corpus=$fuzz/corpus/$target
  findings=$fuzz/findings/$target
  mkdir -p "$corpus" "$findings"
  log=$fuzz/$target.log
  echo "== $target: ${seconds}s"
  "$fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=400000 -timeout=20 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$seeds/$target" "$root/tests/fuzz/regressions/$target" >"$log" 2>&1 || status=1
  grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)|^stat::number_of_executed_units|^stat::peak_rss_mb|^Done ' \
    "$log" || true
  if ls "$findings"/* >/dev/null 2>&1; then
    echo "findings in $findings:"; ls -l "$findings"
    grep -E 'ERROR|SUMMARY' "$log" | head -5 || true
  fi
done
exit $status
