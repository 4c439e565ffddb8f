#!/usr/bin/env bash
# Packs the sample application into one executable and runs it under Wine.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pack=$here/build/bin/zobrin-pack
app=$here/build/win/sample_app
out=$here/build/demo
mkdir -p "$out"
echo "== zobrin-pack exe $app --main sample.dll -o $out/sample.exe"
"$pack" exe "$app" --main sample.dll -o "$out/sample.exe"
echo "== zobrin-pack list $out/sample.exe"
"$pack" list "$out/sample.exe"
echo "== sample.exe \"first argument\" second 7"
status=0
"$here/scripts/wine-run" "$out/sample.exe" "first argument" second 7 </dev/null || status=$?
echo "== exit code: $status"
[ "$status" -eq 7 ]
