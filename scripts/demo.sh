#!/usr/bin/env bash
# Packs the sample application and shows what its payload carries.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pack=$here/build/bin/zobrin-pack
app=$here/build/win/sample_app
out=$here/build/demo
mkdir -p "$out"
echo "== packing $app"
"$pack" object "$app" --main sample.dll -o "$out/sample.payload.o"
"$pack" payload "$app" --main sample.dll -o "$out/sample.payload"
echo "== the payload"
"$pack" list "$out/sample.payload"
