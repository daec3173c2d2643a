# Sourced by the scripts that run Windows programs: the project's Wine prefix
# (made by setup.sh), quiet, without a display.
export WINEPREFIX="${GAUGE_WINEPREFIX:-/var/cache/gauge-panel/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
