#!/bin/sh
# card_tool --list and --device against served boards: board 2 bare with a
# card, board 4 with our firmware and no card. The first listing must leave
# board 2 bare; --device 2 then loads and reads it; the second listing shows
# it with our firmware. No board at all: nothing listed, status 0.
#   board_list.sh VBOARD CARD_TOOL RUNTIME_DIR
set -u
vboard=$1 tool=$2 runtime=$3
rm -rf "$runtime" && mkdir -p "$runtime"
export XDG_RUNTIME_DIR="$runtime" NEBU_BACKEND=vboard
err=$("$tool" --list 2>&1 >"$runtime/none"); status=$?
[ $status -eq 0 ] && [ ! -s "$runtime/none" ] && [ "$err" = "card_tool: no board found" ] ||
    { echo "no board: status $status, stderr [$err]"; exit 1; }
dir="$runtime/nebu-vboard"
"$vboard" run --fast --device 4 --firmware-loaded --no-card -- \
    "$vboard" run --fast --device 2 -- sh -c \
    '"$1" --list && "$1" --device 2 | tail -1 && "$1" --list' _ "$tool" >"$runtime/out" || exit 1
cat >"$runtime/want" <<WANT
board 2: virtual board $dir/ezusb-2, 0547:2131, not our firmware (strings 1 and 2: "", ""), card not checked
board 4: virtual board $dir/ezusb-4, 0547:2131, our firmware, no card
Maker ec , Device 75 , Opt1 a5 , Opt2 a5 , ext 00
board 2: virtual board $dir/ezusb-2, 0547:2131, our firmware, card in the socket
board 4: virtual board $dir/ezusb-4, 0547:2131, our firmware, no card
WANT
diff "$runtime/want" "$runtime/out"
