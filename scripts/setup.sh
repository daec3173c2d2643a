#!/usr/bin/env bash
# Installs and prepares everything the build and the tests need, on a Debian
# bookworm x86_64 machine, as root. Idempotent: when everything is present it
# only checks and returns within a few seconds. Prints what it does.
set -euo pipefail

say() { printf '[setup] %s\n' "$*"; }

WINEPREFIX_DIR="${GAUGE_WINEPREFIX:-/var/cache/gauge-panel/wineprefix}"
STAMP_DIR="/var/cache/gauge-panel"
mkdir -p "$STAMP_DIR"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# ---------------------------------------------------------------- packages
need_pkgs=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_cmd i686-w64-mingw32-g++ || need_pkgs+=(g++-mingw-w64-i686)
have_pkg wine || need_pkgs+=(wine)
have_pkg wine32:i386 || need_pkgs+=(wine32:i386)
have_cmd cmake || need_pkgs+=(cmake)
have_pkg libgtest-dev || need_pkgs+=(libgtest-dev)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_pkgs+=(googletest)
have_pkg libbenchmark-dev || need_pkgs+=(libbenchmark-dev)
have_pkg libstb-dev || need_pkgs+=(libstb-dev)
have_pkg nlohmann-json3-dev || need_pkgs+=(nlohmann-json3-dev)
# gaugehost serve's HTTP layer: Boost's header-only Beast and Asio
have_pkg libboost-dev || need_pkgs+=(libboost-dev)
have_cmd g++ || need_pkgs+=(g++)
# the gaugehost tests: pytest and Pillow, run with /usr/bin/python3
have_pkg python3-pytest || need_pkgs+=(python3-pytest)
have_pkg python3-pil || need_pkgs+=(python3-pil)
# gaugehost serve's browser tests: Debian's Chromium, its driver, Selenium
have_pkg chromium || need_pkgs+=(chromium)
have_pkg chromium-driver || need_pkgs+=(chromium-driver)
have_pkg python3-selenium || need_pkgs+=(python3-selenium)
# the page's number grammar, run against the shared case table
have_cmd node || need_pkgs+=(nodejs)

# Wine's i386 build needs qemu user-mode emulation on kernels that refuse
# 32-bit code. Decide that once wine32 is there (see below); qemu 10 from
# bookworm-backports starts a Wine process in under a second, 7.2 in ~60 s.
qemu_ok() {
    local v
    v=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
    [ -n "$v" ] && dpkg --compare-versions "$v" ge 1:10
}

ensure_i386_arch() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "adding the i386 architecture to dpkg"
        $SUDO dpkg --add-architecture i386
        APT_UPDATED=0
    fi
}

# bookworm-backports, from the same mirror and with the same keyring as the
# machine's own bookworm entry (deb822 .sources, or a one-line sources.list).
backports_listed() {
    grep -rhs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/ | grep -qv '^[[:space:]]*#'
}
ensure_backports() {
    backports_listed && return 0
    local uris="" keyring="" line
    line=$(awk 'BEGIN { RS = ""; FS = "\n" }
        {
            u = ""; k = ""; s = ""
            for (i = 1; i <= NF; i++) {
                if ($i ~ /^URIs:/)      { v = $i; sub(/^URIs:[ \t]*/, "", v); u = v }
                if ($i ~ /^Suites:/)    { s = " " $i " " }
                if ($i ~ /^Signed-By:/) { v = $i; sub(/^Signed-By:[ \t]*/, "", v); k = v }
            }
            if (s ~ /[ \t]bookworm[ \t]/ && u != "") { print u "|" k; exit }
        }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    if [ -n "$line" ]; then
        uris=${line%%|*}; keyring=${line#*|}
        say "adding the bookworm-backports suite to apt's sources ($uris)"
        {
            echo "Types: deb"
            echo "URIs: $uris"
            echo "Suites: bookworm-backports"
            echo "Components: main"
            [ -n "$keyring" ] && echo "Signed-By: $keyring"
        } | $SUDO tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
    else
        # One-line format: repeat the bookworm line with the backports suite.
        # (grep fails on a pattern that names no file, as *.list does in an
        # empty sources.list.d: a fresh installation's.)
        line=$({ grep -hsE '^deb[[:space:]].*[[:space:]]bookworm[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list || true; } | head -1)
        [ -n "$line" ] || { say "error: no bookworm entry in apt's sources to add backports beside"; exit 1; }
        say "adding the bookworm-backports suite to apt's sources"
        echo "$line" | sed -E 's/[[:space:]]bookworm[[:space:]].*/ bookworm-backports main/' \
            | $SUDO tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
    fi
    APT_UPDATED=0
}

APT_UPDATED=0
apt_update() {
    if [ "$APT_UPDATED" = 0 ]; then
        say "apt-get update"
        $SUDO apt-get update -qq
        APT_UPDATED=1
    fi
}

if [ ${#need_pkgs[@]} -gt 0 ]; then
    ensure_i386_arch
    ensure_backports
    apt_update
    if [ ${#need_pkgs[@]} -gt 0 ]; then
        say "installing: ${need_pkgs[*]}"
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
    fi
fi

ensure_qemu() {
    qemu_ok && return 0
    ensure_i386_arch; ensure_backports; apt_update
    say "installing qemu-user-static from bookworm-backports"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static >/dev/null
}

# ---------------------------------------------------------------- 32-bit code
# A small 32-bit ELF of Wine's own tells whether the kernel runs 32-bit code.
WINE32_LOADER=""
for c in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine; do
    if [ -x "$c" ] && file -L "$c" 2>/dev/null | grep -q "ELF 32-bit"; then WINE32_LOADER="$c"; break; fi
done
if [ -z "$WINE32_LOADER" ]; then
    # 'file' may be missing; fall back on the ELF class byte
    for c in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine; do
        if [ -x "$c" ] && [ "$(od -An -tx1 -j4 -N1 "$c" | tr -d ' ')" = "01" ]; then WINE32_LOADER="$c"; break; fi
    done
fi
[ -n "$WINE32_LOADER" ] || { say "error: no 32-bit Wine loader found after installing wine32:i386"; exit 1; }

runs_32bit() { "$WINE32_LOADER" --version >/dev/null 2>&1; }
through_qemu() { [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; }

# Emulate only where the kernel refuses 32-bit code, and then with qemu 10:
# an older qemu already registered is replaced.
# With GAUGE_EMULATE=1 every 32-bit start is explicit (below): no binfmt entry.
if [ "${GAUGE_EMULATE:-0}" != 1 ] && { ! runs_32bit || { through_qemu && ! qemu_ok; }; }; then
    ensure_qemu
    QEMU=""
    for c in /usr/bin/qemu-i386 /usr/bin/qemu-i386-static; do
        [ -x "$c" ] && { QEMU="$c"; break; }
    done
    [ -n "$QEMU" ] || { say "error: qemu-i386 not found"; exit 1; }
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        say "mounting binfmt_misc"
        $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if through_qemu; then
        # The F flag keeps the interpreter file opened at registration:
        # register again so the current qemu is the one that runs.
        say "replacing the qemu-i386 binfmt entry"
        echo -1 | $SUDO tee /proc/sys/fs/binfmt_misc/qemu-i386 >/dev/null
    fi
    say "registering i386 ELF with $QEMU"
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU"':FOC' \
        | $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null
    runs_32bit || { say "error: 32-bit code still does not run through $QEMU"; exit 1; }
fi

# ---------------------------------------------------------------- GAUGE_EMULATE=1
# Every 32-bit process through qemu-i386 explicitly, also where the kernel
# runs 32-bit code itself (where binfmt_misc cannot force it). Wine starts a
# new process by running "wine-preloader LOADER ARGS..." from the folder of
# the running loader (/proc/self/exe) when that file exists, and its server
# as "wineserver" from there. So a copy of the loader in a folder of ours,
# beside a wine-preloader and a wineserver that are qemu-i386, keeps every
# process that Wine starts under qemu; scripts/wine-env.sh puts this folder's
# bin/ (wine, wineserver) first in PATH.
EMULATE_DIR=/var/cache/gauge-panel/emulate
if [ "${GAUGE_EMULATE:-0}" = 1 ]; then
    ensure_qemu
    EMU_QEMU=/usr/bin/qemu-i386
    EMU_SERVER=/usr/lib/wine/wineserver32
    [ -x "$EMU_QEMU" ] || { say "error: $EMU_QEMU not found"; exit 1; }
    [ -x "$EMU_SERVER" ] || { say "error: $EMU_SERVER not found"; exit 1; }
    emu_file() {   # emu_file PATH CONTENT: a script, rewritten only when it differs
        if [ "$(cat "$1" 2>/dev/null)" != "$2" ]; then
            printf '%s\n' "$2" | $SUDO tee "$1" >/dev/null
            $SUDO chmod 755 "$1"
        fi
    }
    emu_link() { [ "$(readlink "$2")" = "$1" ] || $SUDO ln -sfn "$1" "$2"; }
    if ! cmp -s "$WINE32_LOADER" "$EMULATE_DIR/lib/wine/wine"; then
        say "setting up emulation of every Wine process in $EMULATE_DIR"
        $SUDO mkdir -p "$EMULATE_DIR/bin" "$EMULATE_DIR/lib/wine" "$EMULATE_DIR/share"
        $SUDO cp "$WINE32_LOADER" "$EMULATE_DIR/lib/wine/wine"
    fi
    # The loader finds ntdll and Wine's data relative to its own folder.
    emu_link "$(dirname "$(dirname "$(readlink -f "$WINE32_LOADER")")")/i386-linux-gnu" "$EMULATE_DIR/lib/i386-linux-gnu"
    emu_link /usr/share/wine "$EMULATE_DIR/share/wine"
    emu_file "$EMULATE_DIR/lib/wine/wine-preloader" "#!/bin/sh
# Wine runs this as: wine-preloader LOADER ARGS...
exec $EMU_QEMU \"\$@\""
    emu_file "$EMULATE_DIR/bin/wineserver" "#!/bin/sh
exec $EMU_QEMU $EMU_SERVER -p0 \"\$@\""
    emu_link ../../bin/wineserver "$EMULATE_DIR/lib/wine/wineserver"
    emu_file "$EMULATE_DIR/bin/wine" "#!/bin/sh
export WINEDEBUG=\"\${WINEDEBUG:-fixme-all}\"
exec $EMU_QEMU $EMULATE_DIR/lib/wine/wine \"\$@\""
    "$EMULATE_DIR/bin/wine" --version >/dev/null 2>&1 || { say "error: Wine does not start through $EMU_QEMU"; exit 1; }
fi

# ---------------------------------------------------------------- ALSA
# DirectSound under Wine needs an ALSA device; a null PCM accepts everything.
if ! grep -qs "type null" /etc/asound.conf; then
    say "setting ALSA's default PCM to the null type"
    $SUDO tee /etc/asound.conf >/dev/null <<'ASOUND'
pcm.!default {
    type null
}
ASOUND
fi

# ---------------------------------------------------------------- Wine prefix
source "$(dirname "$0")/wine-env.sh"
if [ ! -f "$WINEPREFIX_DIR/.gauge-panel-ready" ]; then
    say "creating the Wine prefix in $WINEPREFIX_DIR (about 30 s, a few minutes emulated)"
    rm -rf "$WINEPREFIX_DIR"
    mkdir -p "$(dirname "$WINEPREFIX_DIR")"
    wine wineboot -i >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null 2>&1
    wineserver -w || true
    [ -f "$WINEPREFIX_DIR/system.reg" ] || { say "error: Wine prefix was not created"; exit 1; }
    touch "$WINEPREFIX_DIR/.gauge-panel-ready"
fi

if [ "${GAUGE_EMULATE:-0}" = 1 ]; then
    say "ready (Wine prefix $WINEPREFIX_DIR; every Wine process through qemu-i386)"
else
    say "ready (Wine prefix $WINEPREFIX_DIR)"
fi
