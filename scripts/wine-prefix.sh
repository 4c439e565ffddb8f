#!/usr/bin/env bash
# Creates the project's Wine prefix once (idempotent) and keeps crashes from waiting on a debugger.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
[ -f "$WINEPREFIX/.zobrin-ready" ] && exit 0
log="$WINEPREFIX.log"

create() {
  mkdir -p "$WINEPREFIX" &&
    WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot -i &&
    "$WINE64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f &&
    "$WINESERVER" -w
}

# A Wine start fails now and then on a fresh machine; start over from an empty prefix.
for attempt in 1 2 3; do
  if create >"$log" 2>&1; then
    touch "$WINEPREFIX/.zobrin-ready"
    exit 0
  fi
  echo "wine-prefix: creating $WINEPREFIX failed (attempt $attempt):" >&2
  tail -n 20 "$log" >&2
  "$WINESERVER" -k 2>/dev/null
  "$WINESERVER" -w 2>/dev/null
  rm -rf "$WINEPREFIX"
done
exit 1
