#!/usr/bin/env bash
# Renders dist/preview/*.png: each module present in dist/, in a few telling
# states. Modules that are not built are skipped.
#   scripts/previews.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist/preview}
mkdir -p "$out"
made=()

# Every picture is one command of a single gaugehost batch: one Wine start
# for all of them rather than one each (seconds apiece where 32-bit code is
# emulated).
list=$(mktemp)
trap 'rm -f "$list" "$out"/.*.txt' EXIT
source scripts/wine-env.sh

render() {   # render MODULE NAME ARGS...
    local module=$1 name=$2; shift 2
    echo "render dist/$module.gau --frames 2 --scale 2 $* -o $out/$name.png" >> "$list"
    made+=("$name.png")
}
scenario() { # scenario MODULE NAME SCENARIO: a scenario that renders $OUT/NAME.png
    local module=$1 name=$2 file=$3
    sed "s#\$OUT#$(cd "$out" && pwd)#g" "$file" > "$out/.$name.txt"
    echo "run dist/$module.gau $out/.$name.txt --scale 2" >> "$list"
    made+=("$name.png")
}

if [ -f dist/quadrel.gau ]; then
    levers() { echo --set 128=$1 --set 163=$1 --set 198=$1 --set 233=$1; }
    render quadrel quadrel-reverse $(levers -4096)
    render quadrel quadrel-idle $(levers 0)
    render quadrel quadrel-full $(levers 16384)
fi
if [ -f dist/lumivane.gau ]; then
    on="--set 620=1 --set 619=1 --set 11=1 --set 368=1 --set 621=1"
    render lumivane lumivane-unlit-off
    render lumivane lumivane-unlit-on $on
    render lumivane lumivane-lit-off --set 753=1 --set 10=1
    render lumivane lumivane-lit-on --set 753=1 --set 10=1 $on
fi
if [ -f dist/monovue.gau ]; then
    idle="--set 624=21 --set 643=21.5 --set 662=20.8 --set 681=21.2 --set 567=1150 --set 577=1160 --set 587=1140
          --set 597=1155 --set 625=58 --set 644=58.4 --set 663=57.9 --set 682=58.1 --set 638=8172 --set 657=8200
          --set 676=8150 --set 695=8180 --set 791=9080 --set 907=0"
    render monovue monovue-idle $idle
    render monovue monovue-takeoff --set 624=96 --set 643=95.5 --set 662=96.2 --set 681=95.8 --set 567=1600 \
        --set 577=1610 --set 587=1590 --set 597=1605 --set 625=99 --set 644=98.8 --set 663=99.1 --set 682=98.9 \
        --set 638=40860 --set 657=40900 --set 676=40800 --set 695=40850 --set 791=9000 --set 907=10 \
        --set 323=1 --set 324=1 --set 325=0
    render monovue monovue-spoilers-deployed --set 323=1 --set 324=1 --set 325=16384 --set 791=9080
fi
if [ -f dist/wheelgard.gau ]; then
    render wheelgard wheelgard-up
    render wheelgard wheelgard-transit --set 332=8000 --set 333=8000 --set 334=8000
    scenario wheelgard wheelgard-down-brake3 scripts/previews/wheelgard-down-brake3.txt
fi
if [ -f dist/quadrel.gau ] && [ -f dist/lumivane.gau ] && [ -f dist/monovue.gau ] && [ -f dist/wheelgard.gau ]; then
    # The example panel: engines at idle, two levers advanced, lights lit
    # with STAB and WING on, gear down.
    ./gaugehost render --panel docs/panel/panel.cfg --frames 2 \
        --set 624=21 --set 643=21.5 --set 662=20.8 --set 681=21.2 --set 567=1150 --set 577=1160 \
        --set 587=1140 --set 597=1155 --set 625=58 --set 644=58.4 --set 663=57.9 --set 682=58.1 \
        --set 638=8172 --set 657=8200 --set 676=8150 --set 695=8180 --set 791=9080 --set 907=5 \
        --set 128=6000 --set 163=6000 --set 753=1 --set 10=1 --set 620=1 --set 621=1 \
        --set 332=16384 --set 333=16384 --set 334=16384 --set 323=1 -o "$out/panel.png" >/dev/null
    made+=(panel.png)
fi
if [ ${#made[@]} -gt 0 ]; then
    log=$(./gaugehost batch "$list" 2>&1) || { echo "$log" >&2; exit 1; }
    # Each command's own status is on its end marker.
    if grep -q '^@@gaugehost job [0-9]* end: exit [1-9]' <<<"$log"; then
        echo "$log" | grep -v '^    ' >&2
        echo "previews: a render failed" >&2
        exit 1
    fi
fi
echo "previews in $out/: ${made[*]:-none (no module built)}"
