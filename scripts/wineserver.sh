#!/usr/bin/env bash
# start: a persistent wineserver for the prefix (detached); stop: ends it and every Wine process in it.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
case "${1:-}" in
  start) setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 & ;;
  stop)  "$WINESERVER" -k 2>/dev/null; "$WINESERVER" -w 2>/dev/null; true ;;
  *) echo "usage: wineserver.sh start|stop" >&2; exit 2 ;;
esac
