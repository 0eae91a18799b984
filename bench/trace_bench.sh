#!/bin/sh
# What a trace costs: one long bus-to-host stream (a 4 MB card read through
# the firmware's stream path, simulated time running freely) with no trace,
# with each trace alone and with all three; the processor time (user +
# system, steadier than wall time on a shared machine), wall time and peak
# memory of the run with the least processor time among RUNS runs.
#   bench/trace_bench.sh [BUILD_DIR [RUNS]]     (default build, 3)
set -eu
build=$(cd "${1:-build}" && pwd)
runs=${2:-3}
vboard=$build/bin/vboard
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# A 32 MB card (ec,75) whose first 8,192 pages hold random bytes.
head -c $((8192 * 528)) /dev/urandom >card.img
# Bus set-up, a page read from page 0 (command 00, column 00, page 0000),
# then a stream of 4,194,303 bytes from the bus, read 64 KiB at a time.
{
    printf 'enumerate\nout 0 001407f11224\nin 8 64\nout 0 3100320032003200\nout 0 603fffff\n'
    for i in $(seq 63); do echo "in 8 65536"; done
    echo "in 8 65535"
} >stream.script

measure() {
    name=$1; shift
    best=""
    for i in $(seq "$runs"); do
        /usr/bin/time -f '%U %S %e %M' -o time.txt "$vboard" script --firmware-loaded --card-image card.img "$@" \
            stream.script >out.txt
        [ "$(awk 'length($2) == 131072' out.txt | wc -l)" = 63 ] || { echo "the stream was not read whole" >&2; exit 1; }
        read -r user sys wall kib <time.txt
        cpu=$(awk "BEGIN { print $user + $sys }")
        if [ -z "$best" ] || awk "BEGIN { exit !($cpu < $best) }"; then best=$cpu; best_wall=$wall; rss=$kib; fi
    done
    size=""
    for f in "$@"; do [ -f "$f" ] && size="$size $f $(du -k "$f" | cut -f1) KiB"; done
    printf '%-12s cpu %5.2f s  wall %5.2f s  %6s KiB peak%s\n' "$name" "$best" "$best_wall" "$rss" "$size"
    rm -f trace.pcap trace.vcd trace.log
}

measure "no trace"
measure "--pcap" --pcap trace.pcap
measure "--vcd" --vcd trace.vcd
measure "--log" --log trace.log
measure "all three" --pcap trace.pcap --vcd trace.vcd --log trace.log
