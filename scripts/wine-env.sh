# Sourced by the scripts that run Windows programs: the project's Wine prefix
# (made by setup.sh), quiet, without a display.
export WINEPREFIX="${GAUGE_WINEPREFIX:-/var/cache/gauge-panel/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# GAUGE_EMULATE=1: every Wine process, and Wine's server, runs through
# qemu-i386 (setup.sh makes the folder; see there).
if [ "${GAUGE_EMULATE:-0}" = 1 ]; then
    emulate_dir=/var/cache/gauge-panel/emulate
    if [ ! -x "$emulate_dir/bin/wine" ]; then
        echo "GAUGE_EMULATE=1: $emulate_dir is missing; run make (or scripts/setup.sh) with GAUGE_EMULATE=1" >&2
        return 1
    fi
    case ":$PATH:" in
        *":$emulate_dir/bin:"*) ;;
        *) export PATH="$emulate_dir/bin:$PATH" ;;
    esac
    export WINESERVER="$emulate_dir/bin/wineserver"
fi
