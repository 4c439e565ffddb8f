#!/usr/bin/env bash
# Runs the host tests, then the Windows tests under one persistent wineserver, and ends every
# Wine process of the prefix afterwards.
set -u
host=$1
win=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The tests' Wine programs run in the same environment as the wineserver started here.
source "$here/wine-env.sh"
"$here/wineserver.sh" start
trap '"$here/wineserver.sh" stop' EXIT
# The first Wine program of a session starts Wine's background services; start them here with
# no pipes attached, so no test's output pipe is held open by them.
"$here/wine-run" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
status=0
ctest --test-dir "$host" --output-on-failure -j "$(nproc)" || status=1
ctest --test-dir "$win" --output-on-failure -j "$(nproc)" || status=1
exit $status
