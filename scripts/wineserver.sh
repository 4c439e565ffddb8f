#!/usr/bin/env bash
# start: a persistent wineserver for the prefix (detached); stop: ends it and every Wine process in it.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${ZOBRIN_WINEPREFIX:-$here/build/wineprefix}"
case "${1:-}" in
  start) setsid /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 & ;;
  stop)  /usr/lib/wine/wineserver -k 2>/dev/null; /usr/lib/wine/wineserver -w 2>/dev/null; true ;;
  *) echo "usage: wineserver.sh start|stop" >&2; exit 2 ;;
esac
