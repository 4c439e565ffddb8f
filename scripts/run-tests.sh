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
# Likewise Wine's desktop process, which the first test that asks for it would otherwise start
# holding that test's output pipe (tests/win/support/desktop_keeper.cpp).
keeper="$win/tests/desktop_keeper.exe"
if [ -f "$keeper" ]; then
  ready="$win/tests/desktop_keeper.ready"
  rm -f "$ready"
  setsid "$here/wine-run" "$keeper" "Z:${ready//\//\\}" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 100); do [ -f "$ready" ] && break; sleep 0.1; done
fi
status=0
ctest --test-dir "$host" --output-on-failure -j "$(nproc)" || status=1
ctest --test-dir "$win" --output-on-failure -j "$(nproc)" || status=1
exit $status
