#!/usr/bin/env bash
# Installs the build and test dependencies on Debian 12 (idempotent; run as root).
set -euo pipefail

need=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 libzstd-dev zstd googletest cmake make g++ dpkg-dev binutils-mingw-w64-x86-64 clang libclang-rt-14-dev)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A deb-src entry is needed for 'apt-get source libzstd' (zstd for Windows is built from it).
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  cat > /etc/apt/sources.list.d/zobrin-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt-get update -qq
fi
