#!/usr/bin/env bash
# Creates the project's Wine prefix once (idempotent) and keeps crashes from waiting on a debugger.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${ZOBRIN_WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
[ -f "$WINEPREFIX/.zobrin-ready" ] && exit 0
mkdir -p "$WINEPREFIX"
WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wine64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
  /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
/usr/lib/wine/wineserver -w
touch "$WINEPREFIX/.zobrin-ready"
