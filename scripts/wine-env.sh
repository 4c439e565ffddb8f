# The project's Wine environment, sourced by every script that runs Wine: the prefix (build/
# wineprefix, or $ZOBRIN_WINEPREFIX), no debug output, UTF-8, no display, and the binaries.
zobrin_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${ZOBRIN_WINEPREFIX:-$zobrin_root/build/wineprefix}"
export WINEDEBUG=-all
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
