#!/usr/bin/env bash
# Writes the release archives into OUT_DIR:
#   zobrin-onefile-<version>-linux-x86_64.tar.gz    (bin/zobrin-pack)
#   zobrin-onefile-<version>-windows-x86_64.zip     (bin\zobrin-pack.exe)
# each holding one top directory of the same name with the installed layout: the packer in
# bin/, the launcher kit in lib/zobrin-onefile/launcher/, include/zobrin/app.h, the CMake
# package in lib/cmake/ZobrinOnefile/ and README.md, docs/ and examples/ in
# share/doc/zobrin-onefile/. Every path is relative, so an archive works unpacked anywhere.
# Usage: dist.sh SOURCE_DIR HOST_TREE BIN_DIR OUT_DIR (both trees built: make build).
set -euo pipefail
source_dir=$1 host=$2 bin=$3 out=$4

version=$("$bin/zobrin-pack" --version)
version=${version#zobrin-pack }
[ -f "$bin/zobrin-pack.exe" ] || { echo "dist: $bin/zobrin-pack.exe is not built (make build)" >&2; exit 1; }
[ -f "$bin/launcher/launcher.exe" ] || { echo "dist: the launcher kit is not built (make build)" >&2; exit 1; }

# Puts an installation into PREFIX: the install rules (cmake/install.cmake) when the source has
# them; otherwise the same layout staged here, less the CMake package that only they write.
stage() {
  local prefix=$1
  if [ -f "$source_dir/cmake/install.cmake" ]; then
    cmake --install "$host" --prefix "$prefix" >/dev/null
    return
  fi
  local kit=$prefix/lib/zobrin-onefile/launcher doc=$prefix/share/doc/zobrin-onefile
  mkdir -p "$prefix/bin" "$kit" "$prefix/include/zobrin" "$doc"
  cp "$bin/zobrin-pack" "$prefix/bin/"
  (cd "$bin/launcher" && find . -type f ! -name .stamp -exec cp --parents {} "$kit/" \;)
  cp "$source_dir/include/zobrin/app.h" "$prefix/include/zobrin/"
  cp "$source_dir/README.md" "$doc/"
  cp -r "$source_dir/docs" "$source_dir/examples" "$doc/"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
for platform in linux-x86_64 windows-x86_64; do
  name=zobrin-onefile-$version-$platform
  stage "$work/$name"
  # Archive entries: no build machine's owner, modes normalised, in name order.
  chmod -R u=rwX,go=rX "$work/$name"
  chmod 0755 "$work/$name/bin/"*
  if [ "$platform" = windows-x86_64 ]; then
    rm "$work/$name/bin/zobrin-pack"
    install -m 0755 "$bin/zobrin-pack.exe" "$work/$name/bin/zobrin-pack.exe"
    rm -f "$out/$name.zip"
    (cd "$work" && find "$name" -print | LC_ALL=C sort | zip -q -X -@ "$out/$name.zip.tmp")
    mv "$out/$name.zip.tmp" "$out/$name.zip"
  else
    tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner -czf "$out/$name.tar.gz.tmp" "$name"
    mv "$out/$name.tar.gz.tmp" "$out/$name.tar.gz"
  fi
  echo "dist: $out/$name.$([ "$platform" = windows-x86_64 ] && echo zip || echo tar.gz)"
done
