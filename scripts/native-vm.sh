#!/usr/bin/env bash
# Runs a command of this project (by default `make test`) on the native path
# from a machine whose kernel refuses 32-bit code: in a Debian bookworm amd64
# virtual machine under qemu-system-x86_64 (software emulation, no KVM)
# whose own Debian kernel runs 32-bit code, so Wine there runs without
# qemu-user. As root:
#
#   scripts/native-vm.sh                     make test in the guest
#   scripts/native-vm.sh -- COMMAND ARGS...  any command, from the tree's top
#   scripts/native-vm.sh --prepare-only      build the guest image and stop
#   scripts/native-vm.sh --rebuild ...       build the guest image again first
#   scripts/native-vm.sh --timeout SECONDS   limit for the command's guest
#                                            (default 14400; 0: none)
#
# Installs on the host (when missing): qemu-system-x86, qemu-utils,
# debootstrap. Cache (NATIVE_VM_CACHE, /var/cache/gauge-panel/native-vm):
#   base.img, vmlinuz, initrd.img   the prepared guest: debootstrap bookworm
#       with Debian's kernel, then booted once to run scripts/setup.sh there
#       as a user's fresh machine would (network through qemu's user mode)
#   last-run/   the latest run's logs and result files
# Each run boots a qcow2 overlay of base.img (thrown away after), with a copy
# of this working tree (without .git, timestamps kept, so the build need not
# compile again) at the same path as here, read in from a tar on a second
# disk. The command's output comes back over the guest's second serial port
# as it runs, files named in NATIVE_VM_RESULTS (default
# build/win32/test-results) in a tar on a third disk. The script exits with
# the command's exit status; a guest that did not finish (or a run that could
# not start) says so and exits 124 (timed out) or 125 (anything else).
#
# NATIVE_VM_CPUS (default: the host's cores), NATIVE_VM_MEM (8G),
# NATIVE_VM_MIRROR (default: the bookworm mirror of the host's apt sources).
set -euo pipefail
# One group, read whole before it runs: a run of half an hour outlives a
# checkout that changes this file.
{

say() { printf '[native-vm] %s\n' "$*"; }
die() { say "error: $*" >&2; exit 125; }

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
CACHE=${NATIVE_VM_CACHE:-/var/cache/gauge-panel/native-vm}
CPUS=${NATIVE_VM_CPUS:-$(nproc)}
MEM=${NATIVE_VM_MEM:-8G}
RESULTS=${NATIVE_VM_RESULTS:-build/win32/test-results}
TIMEOUT=14400
REBUILD=0
PREPARE_ONLY=0

while [ $# -gt 0 ]; do
    case "$1" in
        --rebuild) REBUILD=1; shift ;;
        --prepare-only) PREPARE_ONLY=1; shift ;;
        --timeout) [ $# -ge 2 ] || die "--timeout needs seconds"; TIMEOUT=$2; shift 2 ;;
        --timeout=*) TIMEOUT=${1#--timeout=}; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --) shift; break ;;
        -*) die "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
[[ "$TIMEOUT" =~ ^[0-9]+$ ]] || die "--timeout takes whole seconds, not '$TIMEOUT'"
if [ $# -gt 0 ]; then CMD=$(printf '%q ' "$@"); else CMD="make test"; fi

[ "$(id -u)" -eq 0 ] || die "run as root (it installs packages, runs debootstrap)"
[ "$(uname -m)" = x86_64 ] || die "needs an x86_64 host"

now() { date +%s; }
elapsed() { echo "$(( $(now) - $1 )) s"; }

# ---------------------------------------------------------------- host tools
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
command -v qemu-img >/dev/null || need+=(qemu-utils)
command -v debootstrap >/dev/null || need+=(debootstrap)
command -v mkfs.ext4 >/dev/null || need+=(e2fsprogs)
if [ ${#need[@]} -gt 0 ]; then
    say "installing on the host: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The Debian mirror of the host's bookworm entry (deb822 .sources or a
# one-line sources.list), for debootstrap and the guest's own sources.
host_uri() {   # host_uri SUITE: the URI of the first enabled entry for SUITE
    local u
    u=$(awk -v want="$1" 'BEGIN { RS = ""; FS = "\n" }
        {
            u = ""; s = ""; on = 1
            for (i = 1; i <= NF; i++) {
                if ($i ~ /^URIs:/)    { v = $i; sub(/^URIs:[ \t]*/, "", v); split(v, w, /[ \t]+/); u = w[1] }
                if ($i ~ /^Suites:/)  { s = " " $i " " }
                if ($i ~ /^Enabled:[ \t]*no/) { on = 0 }
            }
            if (on && u != "" && s ~ ("[ \t]" want "[ \t]")) { print u; exit }
        }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    if [ -z "$u" ]; then
        u=$(awk -v want="$1" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                               if ($(i + 1) == want) { print $i; exit } }' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true)
    fi
    echo "${u%/}"
}
MIRROR=${NATIVE_VM_MIRROR:-$(host_uri bookworm)}
MIRROR=${MIRROR:-http://deb.debian.org/debian}
SECURITY=$(host_uri bookworm-security)
SECURITY=${SECURITY:-http://deb.debian.org/debian-security}

# The runner, written for each run beside run.env and the tree (so it can
# change without building the image again).
write_runner() {
    cat >"$1" <<'RUNNER'
# Runs in the guest as: bash runner DIR (DIR holds run.env). Output on the
# second serial port; the files named in NV_RESULTS go onto /dev/vdc.
in=$1
out=/dev/ttyS1
stty -F "$out" raw -echo 2>/dev/null
exec >"$out" 2>&1 </dev/null
source "$in/run.env"
say() { echo "[guest] $*"; }
elf_class() { case "$(od -An -tx1 -j4 -N1 "$1" 2>/dev/null | tr -d ' ')" in 01) echo "ELF 32-bit";; 02) echo "ELF 64-bit";; *) echo "not ELF";; esac; }
say "up after $(cut -d' ' -f1 /proc/uptime) s; $(uname -srm); $(nproc) CPUs"
# What makes this the native path: no binfmt entry, a 32-bit ELF runs.
entries=$(ls /proc/sys/fs/binfmt_misc 2>/dev/null | grep -vx -e register -e status | tr '\n' ' ')
elf=$(cd /proc/sys/fs/binfmt_misc 2>/dev/null && grep -l '^magic 7f454c46' -- * 2>/dev/null | tr '\n' ' ')
say "binfmt_misc entries: ${entries:-none}; for ELF files: ${elf:-none}"
/usr/local/lib/native-vm/elf32-exit42
say "a static 32-bit ELF ran here: exit status $? (42 when it runs)"
t0=$(date +%s)
tar -xpf /dev/vdb -C "$in" tree || say "error: the tree did not unpack"
mkdir -p "$(dirname "$NV_REPO")"; rm -rf "$NV_REPO"; mv "$in/tree" "$NV_REPO"
say "tree in $NV_REPO after $(( $(date +%s) - t0 )) s; running: $NV_CMD"
# While the command runs: the first three Windows programs seen and what
# runs them (under qemu-user a qemu would), and any process a qemu runs.
: >"$in/wine-seen"
(
    while sleep 5; do
        for d in /proc/[0-9]*; do
            exe=$(readlink "$d/exe" 2>/dev/null) || continue
            args=$({ tr '\0' ' ' <"$d/cmdline"; } 2>/dev/null | cut -c1-150 | sed 's/ *$//')
            case "$exe" in
                */qemu-*) [ -e "$in/qemu-seen" ] || say "a process runs through $exe: $args"
                          touch "$in/qemu-seen" ;;
            esac
            case "${exe##*/}" in sh|dash|bash|python3*|ctest|make|timeout) continue ;; esac
            if [[ "$args" == *.exe* ]] && [ "$(wc -l <"$in/wine-seen")" -lt 3 ] \
                && ! grep -qx "${d#/proc/}" "$in/wine-seen"; then
                say "a Windows program: pid ${d#/proc/}, exe $exe ($(elf_class "$exe")), command $args"
                echo "${d#/proc/}" >>"$in/wine-seen"
            fi
        done
    done
) &
watcher=$!
export HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
cd "$NV_REPO" || exit 0
t0=$(date +%s)
bash -c "$NV_CMD"
rc=$?
kill "$watcher" 2>/dev/null
say "command ended after $(( $(date +%s) - t0 )) s with exit status $rc"
if [ -e "$in/qemu-seen" ]; then say "processes ran through a qemu"; else say "no process ran through a qemu"; fi
for r in $NV_RESULTS; do [ -e "$r" ] && echo "$r"; done >"$in/results"
if [ -s "$in/results" ]; then tar -cf /dev/vdc -T "$in/results"; fi
sync
echo "native-vm[$NV_NONCE]: exit status $rc"
RUNNER
}

# ---------------------------------------------------------------- guest runs
# run_guest DISK FORMAT WORKDIR COMMAND: boots DISK with the tree copy in
# WORKDIR/tree, runs COMMAND there, streams its output; sets GUEST_RC (the
# command's status, or 124/125) and leaves the logs in WORKDIR.
run_guest() {
    local disk=$1 fmt=$2 work=$3 cmd=$4 cache=unsafe
    [ "$fmt" = raw ] && cache=writeback   # the base image itself: kept
    local nonce
    nonce=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
    {
        printf 'NV_NONCE=%q\n' "$nonce"
        printf 'NV_REPO=%q\n' "$REPO"
        printf 'NV_CMD=%q\n' "$cmd"
        printf 'NV_RESULTS=%q\n' "$RESULTS"
    } >"$work/run.env"
    write_runner "$work/runner"
    # In: the runner, run.env and the tree, a tar (POSIX format keeps nanosecond times)
    # written straight onto a raw disk. Out: a tar the guest writes onto one.
    tar --format=posix -C "$work" -cf "$work/in.img" runner run.env tree
    truncate -s "%1M" "$work/in.img"
    rm -f "$work/out.img"; truncate -s 4G "$work/out.img"
    : >"$work/output.log"; : >"$work/console.log"

    # The guest CPU without SMAP: bookworm's qemu (7.2) emulates IRET's stack
    # reads with the kernel's privilege, which SMAP refuses on user pages, so
    # every Wine process (whose system calls return by IRET) would oops.
    local qemu=(qemu-system-x86_64 -nodefaults -no-user-config -display none -no-reboot
        -accel tcg,thread=multi -cpu max,-smap -smp "$CPUS" -m "$MEM"
        -kernel "$CACHE/vmlinuz" -initrd "$CACHE/initrd.img"
        -append "root=/dev/vda rw console=ttyS0 panic=1 systemd.show_status=false"
        -drive "file=$disk,format=$fmt,if=virtio,cache=$cache"
        -drive "file=$work/in.img,format=raw,if=virtio,readonly=on"
        -drive "file=$work/out.img,format=raw,if=virtio,cache=unsafe"
        -netdev user,id=net0 -device virtio-net-pci,netdev=net0
        -device virtio-rng-pci
        -serial "file:$work/console.log"
        -chardev "file,id=out,path=$work/output.log" -serial chardev:out)
    local t0 qrc=0 tailpid
    t0=$(now)
    say "booting the guest (${CPUS} CPUs, ${MEM}, TCG; timeout ${TIMEOUT} s); console log $work/console.log"
    if [ "$TIMEOUT" -gt 0 ]; then
        timeout --kill-after=60 "$TIMEOUT" "${qemu[@]}" </dev/null >"$work/qemu.log" 2>&1 &
    else
        "${qemu[@]}" </dev/null >"$work/qemu.log" 2>&1 &
    fi
    local qpid=$!
    tail -n +1 -F --pid="$qpid" "$work/output.log" 2>/dev/null | grep --line-buffered -v "^native-vm\[$nonce\]: " &
    tailpid=$!
    # The command's end is the marker; a guest that then does not power off
    # within a few minutes is stopped (the result is known by then).
    local done_at=0
    while kill -0 "$qpid" 2>/dev/null; do
        if [ "$done_at" = 0 ]; then
            grep -qa "^native-vm\[$nonce\]: exit status" "$work/output.log" && done_at=$(now)
        elif [ $(( $(now) - done_at )) -gt 180 ]; then
            say "the guest did not power off within 180 s of the command's end; stopping it"
            kill "$qpid" 2>/dev/null || true
            break
        fi
        sleep 2
    done
    wait "$qpid" || qrc=$?
    wait "$tailpid" 2>/dev/null || true
    GUEST_SECONDS=$(( $(now) - t0 ))

    local marker
    marker=$(grep -a "^native-vm\[$nonce\]: exit status [0-9]*" "$work/output.log" | tail -1 || true)
    if [ -n "$marker" ]; then
        GUEST_RC=${marker##* }
        GUEST_RC=${GUEST_RC//[^0-9]/}
        tar -xf "$work/out.img" -C "$work/results" 2>/dev/null || true
        say "guest finished after ${GUEST_SECONDS} s: the command's exit status ${GUEST_RC}"
    else
        if [ "$qrc" = 124 ] || [ "$qrc" = 137 ]; then
            say "error: the guest did not finish within ${TIMEOUT} s; stopped it" >&2
            GUEST_RC=124
        else
            say "error: the guest ended after ${GUEST_SECONDS} s without finishing the command (qemu exit ${qrc})" >&2
            GUEST_RC=125
        fi
        [ -s "$work/qemu.log" ] && { say "qemu's output:" >&2; tail -20 "$work/qemu.log" >&2; }
        say "end of the guest's console ($work/console.log):" >&2
        tail -30 "$work/console.log" | tr -d '\r' >&2
    fi
}

# ---------------------------------------------------------------- guest image
READY=$CACHE/base.ready
mkdir -p "$CACHE"
exec 9>"$CACHE/lock"
flock -n 9 || die "another native-vm run holds $CACHE/lock"

if [ "$REBUILD" = 1 ]; then
    say "discarding the guest image in $CACHE"
    rm -rf "$CACHE/rootfs" "$CACHE/base.img" "$CACHE/vmlinuz" "$CACHE/initrd.img" "$READY" "$CACHE"/stage-*
fi

build_rootfs() {
    local root=$CACHE/rootfs t0
    t0=$(now)
    rm -rf "$root"
    say "debootstrap bookworm amd64 from $MIRROR into $root (several minutes)"
    debootstrap --arch=amd64 --include=linux-image-amd64,systemd-sysv,make \
        bookworm "$root" "$MIRROR" >"$CACHE/debootstrap.log" 2>&1 \
        || { tail -20 "$CACHE/debootstrap.log" >&2; die "debootstrap failed (log $CACHE/debootstrap.log)"; }

    echo native-vm >"$root/etc/hostname"
    printf '127.0.0.1\tlocalhost\n127.0.1.1\tnative-vm\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
    echo '/dev/vda / ext4 defaults 0 1' >"$root/etc/fstab"
    # apt's sources as Debian's installer writes them
    cat >"$root/etc/apt/sources.list" <<EOF
deb $MIRROR bookworm main
deb $SECURITY bookworm-security main
deb $MIRROR bookworm-updates main
EOF
    # qemu's user-mode network: DHCP, its DNS forwarder at 10.0.2.3
    mkdir -p "$root/etc/systemd/network"
    printf '[Match]\nName=en* eth*\n\n[Network]\nDHCP=ipv4\n' >"$root/etc/systemd/network/50-dhcp.network"
    rm -f "$root/etc/resolv.conf"; echo 'nameserver 10.0.2.3' >"$root/etc/resolv.conf"

    # A static 32-bit ELF of a few bytes that exits with 42 (int 0x80, exit):
    # it runs only where the kernel runs 32-bit code or a binfmt entry does.
    mkdir -p "$root/usr/local/lib/native-vm"
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00''\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00''\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00''\x00\x00\x00\x00''\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08''\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00''\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' \
        >"$root/usr/local/lib/native-vm/elf32-exit42"
    chmod 755 "$root/usr/local/lib/native-vm/elf32-exit42"

    # At boot: the runner that the host wrote with the run onto /dev/vdb.
    cat >"$root/usr/local/sbin/native-vm-boot" <<'BOOT'
#!/bin/bash
# Runs the runner that the host wrote onto /dev/vdb (a tar: runner, run.env,
# tree), then powers the guest off.
in=/var/lib/native-vm/in
rm -rf "$in"; mkdir -p "$in"
if ! tar -xpf /dev/vdb -C "$in" --occurrence runner run.env; then
    echo "native-vm: no run on /dev/vdb" >/dev/ttyS1; exit 0
fi
bash "$in/runner" "$in"
systemctl poweroff --no-block
BOOT
    chmod 755 "$root/usr/local/sbin/native-vm-boot"
    cat >"$root/etc/systemd/system/native-vm-run.service" <<'UNIT'
[Unit]
Description=Run the host's command from /dev/vdb, then power off
Wants=network-online.target
After=network-online.target

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/native-vm-boot
TimeoutStartSec=infinity

[Install]
WantedBy=multi-user.target
UNIT
    chroot "$root" systemctl enable --quiet systemd-networkd systemd-networkd-wait-online native-vm-run
    chroot "$root" apt-get clean
    say "root file system ready after $(elapsed "$t0")"
    touch "$CACHE/stage-rootfs"
}

make_image() {
    local root=$CACHE/rootfs t0
    t0=$(now)
    cp "$root"/boot/vmlinuz-* "$CACHE/vmlinuz"
    cp "$root"/boot/initrd.img-* "$CACHE/initrd.img"
    rm -f "$CACHE/base.img"
    truncate -s 40G "$CACHE/base.img"
    mkfs.ext4 -q -L native-vm -d "$root" "$CACHE/base.img"
    rm -rf "$root"
    say "base image $CACHE/base.img made after $(elapsed "$t0")"
    touch "$CACHE/stage-image"
}

prepare_image() {
    # scripts/setup.sh inside the booted guest, exactly a user's fresh set-up.
    local work=$CACHE/prepare
    rm -rf "$work"; mkdir -p "$work/tree" "$work/results"
    cp -a "$REPO/scripts" "$work/tree/"
    say "preparing the guest: scripts/setup.sh inside it (installs packages over the network, makes the Wine prefix; tens of minutes)"
    run_guest "$CACHE/base.img" raw "$work" \
        'bash scripts/setup.sh && apt-get clean && { dpkg-query -W -f="\${Package} \${Version}\n" wine wine32:i386 qemu-user-static qemu-user 2>/dev/null; true; }'
    [ "$GUEST_RC" = 0 ] || { say "error: setup in the guest failed (exit $GUEST_RC); logs in $work" >&2; exit "$GUEST_RC"; }
    {
        echo "prepared $(date -u +%FT%TZ) in ${GUEST_SECONDS} s"
        echo "setup.sh $(sha256sum "$REPO/scripts/setup.sh" | cut -d' ' -f1)"
    } >"$READY"
    rm -f "$work/in.img" "$work/out.img"
    say "guest image prepared"
}

if [ ! -f "$READY" ]; then
    [ -f "$CACHE/stage-image" ] || { [ -f "$CACHE/stage-rootfs" ] || build_rootfs; make_image; }
    prepare_image
fi
if [ "$(sed -n 's/^setup.sh //p' "$READY")" != "$(sha256sum "$REPO/scripts/setup.sh" | cut -d' ' -f1)" ]; then
    say "note: scripts/setup.sh changed since the image was prepared; make in the guest installs the difference on every run (--rebuild prepares it again)"
fi
[ "$PREPARE_ONLY" = 1 ] && { say "image ready: $CACHE/base.img"; exit 0; }

# ---------------------------------------------------------------- the run
WORK=$CACHE/last-run
rm -rf "$WORK"; mkdir -p "$WORK/tree" "$WORK/results"
t0=$(now)
find "$REPO" -mindepth 1 -maxdepth 1 ! -name .git -exec cp -a {} "$WORK/tree/" \;
qemu-img create -q -f qcow2 -b "$CACHE/base.img" -F raw "$WORK/overlay.qcow2"
say "copied $REPO ($(du -sh "$WORK/tree" | cut -f1)) in $(elapsed "$t0")"
run_guest "$WORK/overlay.qcow2" qcow2 "$WORK" "$CMD"
rm -rf "$WORK/overlay.qcow2" "$WORK/in.img" "$WORK/out.img" "$WORK/tree"
[ -n "$(ls -A "$WORK/results")" ] && say "result files in $WORK/results"
exit "$GUEST_RC"
}
