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

# Puts an installation into PREFIX through the install rules (cmake/install.cmake).
stage() {
  cmake --install "$host" --prefix "$1" >/dev/null
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
