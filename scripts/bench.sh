#!/usr/bin/env bash
# Runs the benchmark under one persistent wineserver (started here, ended at the end).
# Arguments go to scripts/bench.py (e.g. --quick for small workloads).
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/wineserver.sh" start
trap '"$here/wineserver.sh" stop' EXIT
# Wine's background services start with the first program; start them with no pipes attached.
"$here/wine-run" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
python3 "$here/bench.py" "$@" | tee "$here/../build/bench/table.txt"
exit "${PIPESTATUS[0]}"
