#!/bin/sh
# Whole runs of vboard with its traces on, the files read back by the tools
# people use: tshark for the capture, sigrok-cli for the value change dump.
#   check_traces.sh CASE VBOARD CARD_TOOL WORKDIR
#     id      vboard script: a card-ID read in the capture and in the bus trace
#     load    vboard script: firmware load and re-enumeration in the log and capture;
#             -v and --log give the same lines; an unwritable file is refused
#     killed  vboard run, killed by SIGKILL after the tool has read the card:
#             the capture and the log are whole up to that moment
set -u
case=$1 vboard=$2 card_tool=$3 dir=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
export XDG_RUNTIME_DIR="$dir"  # the board started here meets no other

fail() { echo "FAIL ($case): $*" >&2; exit 1; }
for tool in tshark sigrok-cli; do
    command -v $tool >/dev/null || fail "$tool is not installed (scripts/test installs it)"
done

# tshark FILE [ARGS...]: fails the test when tshark cannot read the file.
shark() {
    file=$1; shift
    tshark -r "$file" "$@" 2>shark.err || fail "tshark cannot read $file: $(cat shark.err)"
}

# The bytes sigrok's parallel decoder reads on D0..D7 at each rising edge of
# CLOCK, on one line. sigrok-cli 0.7.2 aborts on exit after a decoder has
# run (a Python finalisation fault); its output is complete by then.
parallel() {
    sigrok-cli -I vcd:compress=1000 -i "$1" -P "parallel:clk=$2:d0=D0:d1=D1:d2=D2:d3=D3:d4=D4:d5=D5:d6=D6:d7=D7" \
        -A parallel=items 2>/dev/null | sed 's/^parallel-1: //' | tr '\n' ' '
}

# in_order FILE PATTERN...: the lines of FILE match the extended regexps in this order.
in_order() {
    file=$1; shift
    for pattern in "$@"; do
        line=$(grep -n -E -m1 -- "$pattern" "$file" | cut -d: -f1)
        [ -n "$line" ] || fail "no line matching '$pattern' in $file:
$(cat "$file")"
        sed -i "1,${line}d" "$file"
    done
}

case $case in
id)
    "$vboard" script --firmware-loaded --card 98,73,c0,21 --pcap id.pcap --vcd id.vcd \
        "$here/card_id.script" >out.txt || fail "vboard script: $(cat out.txt)"
    shark id.pcap -Y 'usb.capdata || usb.bString' -T fields -e usb.urb_type -e usb.endpoint_address \
        -e usb.capdata -e usb.bString >capture.txt
    diff "$here/card_id.expected" capture.txt >capture.diff ||
        fail "the capture shows other transfers than expected:
$(cat capture.diff)"
    written=$(parallel id.vcd FWR_N)
    case "$written" in *"90 00 90"*) ;; *) fail "bytes written on FWR_N: '$written', expected 90 00 in them" ;; esac
    read=$(parallel id.vcd FRD_N)
    case "$read" in *"98 73 c0 98"*) ;; *) fail "bytes read on FRD_N: '$read', expected 98 73 c0 in them" ;; esac
    ;;
load)
    printf 'load\nenumerate\nstring 1\n' >load.script
    "$vboard" script --pcap load.pcap --log=load.log -v load.script >out.txt 2>verbose.txt ||
        fail "vboard script: $(cat out.txt)"
    cmp -s load.log verbose.txt || fail "-v wrote another log than --log"
    cp load.log log.txt
    in_order log.txt '^ +0\.000000 board on the bus, the 8051 held$' \
        ' driver vendor_request a0 value 7f92 index 0000 length 1 out .*: ok' \
        ' driver download length 4096 .*: ok' \
        ' board loader releases the 8051' \
        ' board leaves the bus' ' bus detached$' ' board joins the bus' ' bus reset' \
        ' bus enumerated: device 2 at address 1$' \
        ' driver get_string index 1 language 001b length 130 .*: ok, 10 bytes 0a034e00450042005500$'
    loader=$(shark load.pcap -Y 'usb.setup.bRequest == 0xa0 && usb.urb_type == 83' | wc -l)
    [ "$loader" -eq 6 ] || fail "$loader loader requests (0xA0) in the capture, expected 6 (hold, 4 x 1 KiB, release)"
    "$vboard" script --vcd "$dir/no/such/dir/x.vcd" load.script >out.txt 2>err.txt
    [ $? -eq 1 ] && grep -q '^vboard script: cannot write the value change dump .*x.vcd: No such file or directory$' err.txt ||
        fail "an unwritable trace file: $(cat err.txt)"
    addresses=$(shark load.pcap -Y 'usb.setup.bRequest == 5 && usb.urb_type == 83' | wc -l)
    [ "$addresses" -eq 2 ] || fail "$addresses SET_ADDRESS requests, expected 2: the bare controller's and the firmware's"
    ;;
killed)
    "$vboard" run --firmware-loaded --pcap run.pcap --vcd run.vcd --log run.log -- \
        sh -c "'$card_tool' >tool.txt
                # the board answers the tool's last call (close) on its own time
                for i in \$(seq 50); do grep -q ' driver close handle' run.log && break; sleep 0.1; done
                kill -KILL \$PPID" >out.txt 2>&1
    status=$?
    [ $status -eq 137 ] || fail "vboard run exited with $status, not killed: $(cat out.txt)"
    grep -q 'Maker ec , Device 75 , Opt1 a5' tool.txt || fail "the tool did not read the card: $(cat tool.txt)"
    replies=$(shark run.pcap -Y 'usb.endpoint_address == 0x82 && usb.capdata' -T fields -e usb.capdata | tr '\n' ' ')
    [ "$replies" = "fc ec75a5 " ] || fail "replies on 0x82 in the capture: '$replies', expected fc ec75a5"
    in_order run.log ' driver bulk_write pipe 0 length 8 3190320040404014 .*: ok, 8 bytes$' \
        ' driver bulk_read pipe 8 length .*: ok, 3 bytes ec75a5$' ' driver close handle'
    ;;
*)
    fail "unknown case"
    ;;
esac
