#!/usr/bin/env bash
# Installs what `make bench` needs beyond `make setup` (idempotent; run as root on Debian 12):
# python3 for the benchmark script, tar, zstd and xz for the comparison lines.
set -euo pipefail
# Each entry: a command, then the package that has it.
need=(python3:python3 tar:tar zstd:zstd xz:xz-utils)
missing=()
for p in "${need[@]}"; do
  command -v "${p%%:*}" >/dev/null 2>&1 && continue
  missing+=("${p#*:}")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
