#!/usr/bin/env bash
# Installs the build and test dependencies on Debian 12 (idempotent; run as root).
set -euo pipefail

need=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 libzstd-dev zstd googletest libgtest-dev libcli11-dev cmake make g++ dpkg-dev binutils-mingw-w64-x86-64 clang libclang-rt-14-dev icoutils osslsigncode openssl zip unzip)
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
# It mirrors the machine's own binary package sources, so it names the same hosts they do.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  shopt -s nullglob
  deb822=(/etc/apt/sources.list.d/*.sources)
  shopt -u nullglob
  src=/etc/apt/sources.list.d/zobrin-src.sources
  list=/etc/apt/sources.list.d/zobrin-src.list
  # deb822 stanzas whose Types hold "deb": the same stanza with Types: deb-src.
  if [ "${#deb822[@]}" -gt 0 ]; then
    awk '
      function flush() { if (keep && body != "") printf "%s%s", (printed++ ? "\n" : ""), body; body = ""; keep = 0 }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      /^Types:/ { keep = ($0 ~ /[ \t]deb([ \t]|$)/); body = body "Types: deb-src\n"; next }
      { body = body $0 "\n" }
      END { flush() }
    ' "${deb822[@]}" > "$src.new"
  fi
  if [ -s "$src.new" ]; then
    mv "$src.new" "$src"
  else
    rm -f "$src.new"
    # One-line sources: every "deb" line again as "deb-src".
    sed -n 's/^[ \t]*deb[ \t]/deb-src /p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null > "$list"
    [ -s "$list" ] || { rm -f "$list"; echo "setup: no deb package source found to mirror as deb-src" >&2; exit 1; }
  fi
  apt-get update -qq
fi
