#!/usr/bin/env bash
# Writes a gcc specs file that links mingw-w64 programs against the Universal CRT.
set -euo pipefail
out=$1
tmp="$out.tmp"
x86_64-w64-mingw32-g++-posix -dumpspecs | sed 's/-lmsvcrt/-lucrt/g' > "$tmp"
grep -q -- '-lucrt' "$tmp" || { echo "ucrt-specs: no -lmsvcrt in the compiler's specs" >&2; exit 1; }
mv "$tmp" "$out"
