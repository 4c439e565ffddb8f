#!/usr/bin/env bash
# Builds static zstd libraries for x86_64 Windows (mingw-w64, Universal CRT) from Debian's
# libzstd source package. Usage: build-zstd-windows.sh OUT_DIR SPECS_FILE
# Leaves OUT_DIR/include/zstd.h, OUT_DIR/lib/libzstd.a (single-threaded: the launcher's) and
# OUT_DIR/lib/libzstd-mt.a (with worker threads: zobrin-pack.exe's); does nothing if they exist.
set -euo pipefail
out=$1
specs=$2
[ -f "$out/lib/libzstd.a" ] && [ -f "$out/lib/libzstd-mt.a" ] && [ -f "$out/include/zstd.h" ] && exit 0

work="$out/src"
rm -rf "$work"
mkdir -p "$work" "$out/include" "$out/lib"

# Every source version the package sources list, newest first. A mirror may list a version
# (often the security suite's) whose files it does not carry, so each is tried in turn.
versions=()
while read -r v; do
  i=${#versions[@]}
  versions+=("$v")
  while [ "$i" -gt 0 ] && dpkg --compare-versions "${versions[i-1]}" lt "$v"; do
    versions[i]=${versions[i-1]}
    i=$((i - 1))
  done
  versions[i]=$v
done < <(apt-cache showsrc libzstd 2>/dev/null | awk '$1 == "Version:" {print $2}' | sort -u)
[ "${#versions[@]}" -gt 0 ] || {
  echo "build-zstd-windows: no source package libzstd is listed (is a deb-src entry configured? run scripts/setup.sh)" >&2
  exit 1
}
got=
for v in "${versions[@]}"; do
  rm -rf "$work" && mkdir -p "$work"
  if (cd "$work" && apt-get source -qq "libzstd=$v" >"$work.log" 2>&1); then got=$v; break; fi
done
rm -f "$work.log"
[ -n "$got" ] || {
  echo "build-zstd-windows: 'apt-get source libzstd' failed for every listed version (tried ${versions[*]})" >&2
  exit 1
}
lib=$(echo "$work"/libzstd-*/lib)
[ -f "$lib/zstd.h" ] || { echo "build-zstd-windows: no zstd sources under $work" >&2; exit 1; }

cc=x86_64-w64-mingw32-gcc-posix
# Each library from its own objects: obj (plain) and obj-mt (ZSTD_MULTITHREAD, Windows threads).
mkdir -p "$work/obj" "$work/obj-mt"
for src in "$lib"/common/*.c "$lib"/compress/*.c "$lib"/decompress/*.c; do
  name=$(basename "${src%.c}")
  echo "$cc -specs=$specs -D_UCRT -O2 -DZSTD_DISABLE_ASM -DXXH_NAMESPACE=ZSTD_ -c $src -o $work/obj/$name.o"
  echo "$cc -specs=$specs -D_UCRT -O2 -DZSTD_DISABLE_ASM -DXXH_NAMESPACE=ZSTD_ -DZSTD_MULTITHREAD -c $src -o $work/obj-mt/$name.o"
done | xargs -P "$(nproc)" -I{} sh -c '{}'
for variant in libzstd:obj libzstd-mt:obj-mt; do
  name=${variant%%:*}
  objs=("$work/${variant#*:}"/*.o)
  rm -f "$out/lib/$name.a.tmp"
  x86_64-w64-mingw32-ar rcs "$out/lib/$name.a.tmp" "${objs[@]}"
done
cp "$lib/zstd.h" "$lib/zstd_errors.h" "$lib/zdict.h" "$out/include/"
mv "$out/lib/libzstd.a.tmp" "$out/lib/libzstd.a"
mv "$out/lib/libzstd-mt.a.tmp" "$out/lib/libzstd-mt.a"
rm -rf "$work"
