#!/usr/bin/env bash
# Installs the build and test dependencies on Debian 12 (idempotent; run as root).
set -euo pipefail

# 32-bit Wine (wine32:i386) and the i686 cross compiler: the tests pack and run i386 programs.
# Xvfb, xwd and python3: the splash tests show it on a virtual display and compare screenshots.
# man-db: the documentation test reads the installed manual page with man.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
need=(wine32:i386 man-db g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev wine64 libzstd-dev zlib1g-dev zstd googletest libgtest-dev libcli11-dev cmake make g++ dpkg-dev binutils-mingw-w64-x86-64 clang libclang-rt-14-dev icoutils osslsigncode openssl zip unzip xvfb x11-apps python3)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# zstd for Windows is built from Debian's libzstd source package, so 'apt-get source' must find
# it. Where no package source lists it, add deb-src entries that mirror the machine's own binary
# sources for this release (the same hosts; other vendors' repositories often carry no sources).
srcs_listed() { [ -n "$(apt-cache showsrc libzstd 2>/dev/null | awk '$1 == "Version:"')" ]; }
if ! srcs_listed; then
  apt-get update -qq
fi
if ! srcs_listed; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "setup: no release codename in /etc/os-release" >&2; exit 1; }
  src=/etc/apt/sources.list.d/zobrin-src.sources
  list=/etc/apt/sources.list.d/zobrin-src.list
  rm -f "$src" "$list"
  shopt -s nullglob
  deb822=(/etc/apt/sources.list.d/*.sources)
  lists=(/etc/apt/sources.list.d/*.list)
  shopt -u nullglob
  [ -f /etc/apt/sources.list ] && lists+=(/etc/apt/sources.list)
  # deb822 stanzas whose Types hold "deb" and whose Suites name this release: the same stanza
  # with Types: deb-src.
  if [ "${#deb822[@]}" -gt 0 ]; then
    awk -v rel="$codename" '
      function flush() { if (keep && ours && body != "") printf "%s%s", (printed++ ? "\n" : ""), body; body = ""; keep = 0; ours = 0 }
      FNR == 1 { flush() }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      /^Types:/ { keep = ($0 ~ /[ \t]deb([ \t]|$)/); body = body "Types: deb-src\n"; next }
      /^Suites:/ { for (i = 2; i <= NF; i++) if (index($i, rel) == 1) ours = 1 }
      { body = body $0 "\n" }
      END { flush() }
    ' "${deb822[@]}" > "$src.new"
    if [ -s "$src.new" ]; then mv "$src.new" "$src"; else rm -f "$src.new"; fi
  fi
  # One-line entries: every "deb" line for this release again as "deb-src".
  if [ "${#lists[@]}" -gt 0 ]; then
    awk -v rel="$codename" '
      $1 != "deb" { next }
      { i = 2; if ($i ~ /^\[/) while ($i !~ /\]$/ && i < NF) i++; if ($i ~ /\]$/) i++ }
      index($(i + 1), rel) == 1 { $1 = "deb-src"; print }
    ' "${lists[@]}" > "$list.new"
    if [ -s "$list.new" ]; then mv "$list.new" "$list"; else rm -f "$list.new"; fi
  fi
  [ -f "$src" ] || [ -f "$list" ] || { echo "setup: no package source for $codename to mirror as deb-src" >&2; exit 1; }
  apt-get update -qq
  srcs_listed || { echo "setup: no package source lists the libzstd source package, even with deb-src entries added" >&2; exit 1; }
fi
