#!/usr/bin/env bash
# Creates the project's Wine prefix once (idempotent) and keeps crashes from waiting on a debugger.
# The prefix runs 32-bit programs too (syswow64, from wine32); a prefix an older set-up made
# without them is made anew.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
marker="$WINEPREFIX/.zobrin-ready"
kind=wow64
[ "$(cat "$marker" 2>/dev/null)" = "$kind" ] && exit 0
[ -x /usr/lib/wine/wine ] || { echo "wine-prefix: no 32-bit Wine (/usr/lib/wine/wine, package wine32:i386); run scripts/setup.sh" >&2; exit 1; }
log="$WINEPREFIX.log"

create() {
  mkdir -p "$WINEPREFIX" &&
    WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot -i &&
    "$WINE64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f &&
    "$WINESERVER" -w &&
    [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]
}

# Only a prefix this script made (it has the marker) is removed.
if [ -f "$marker" ]; then
  "$WINESERVER" -k 2>/dev/null
  "$WINESERVER" -w 2>/dev/null
  rm -rf "$WINEPREFIX"
fi

# A Wine start fails now and then on a fresh machine; start over from an empty prefix.
for attempt in 1 2 3; do
  if create >"$log" 2>&1; then
    echo "$kind" > "$marker"
    exit 0
  fi
  echo "wine-prefix: creating $WINEPREFIX failed (attempt $attempt):" >&2
  tail -n 20 "$log" >&2
  "$WINESERVER" -k 2>/dev/null
  "$WINESERVER" -w 2>/dev/null
  rm -rf "$WINEPREFIX"
done
exit 1
