#!/usr/bin/env bash
# Builds a static zstd library for x86_64 Windows (mingw-w64, Universal CRT) from
# Debian's libzstd source package. Usage: build-zstd-windows.sh OUT_DIR SPECS_FILE
# Leaves OUT_DIR/include/zstd.h and OUT_DIR/lib/libzstd.a; does nothing if they exist.
set -euo pipefail
out=$1
specs=$2
[ -f "$out/lib/libzstd.a" ] && [ -f "$out/include/zstd.h" ] && exit 0

work="$out/src"
rm -rf "$work"
mkdir -p "$work" "$out/include" "$out/lib"
(cd "$work" && apt-get source -qq libzstd >/dev/null 2>&1) || {
  echo "build-zstd-windows: 'apt-get source libzstd' failed (is a deb-src entry configured? run scripts/setup.sh)" >&2
  exit 1
}
lib=$(echo "$work"/libzstd-*/lib)
[ -f "$lib/zstd.h" ] || { echo "build-zstd-windows: no zstd sources under $work" >&2; exit 1; }

cc=x86_64-w64-mingw32-gcc-posix
mkdir -p "$work/obj"
for src in "$lib"/common/*.c "$lib"/compress/*.c "$lib"/decompress/*.c; do
  echo "$cc -specs=$specs -D_UCRT -O2 -DZSTD_DISABLE_ASM -DXXH_NAMESPACE=ZSTD_ -c $src -o $work/obj/$(basename "${src%.c}").o"
done | xargs -P "$(nproc)" -I{} sh -c '{}'
objs=("$work"/obj/*.o)
rm -f "$out/lib/libzstd.a.tmp"
x86_64-w64-mingw32-ar rcs "$out/lib/libzstd.a.tmp" "${objs[@]}"
cp "$lib/zstd.h" "$lib/zstd_errors.h" "$lib/zdict.h" "$out/include/"
mv "$out/lib/libzstd.a.tmp" "$out/lib/libzstd.a"
rm -rf "$work"
