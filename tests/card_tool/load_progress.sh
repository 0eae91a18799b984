#!/bin/sh
# The firmware load is reported on standard error only when that is a
# terminal: a bare board, the tool once with standard error in a file (no
# progress, standard output as specified), once on a pseudo-terminal
# (script(1)) where the progress lines appear.
#   load_progress.sh VBOARD CARD_TOOL WORK_DIR
set -u
vboard=$1 tool=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
export XDG_RUNTIME_DIR="$work"
failures=0

"$vboard" run -- "$tool" >"$work/out" 2>"$work/err"
if [ -s "$work/err" ] || ! grep -q '^Maker ec , Device 75' "$work/out"; then
    echo "not a terminal: stderr [$(cat "$work/err")], stdout [$(cat "$work/out")]"
    failures=$((failures + 1))
fi

"$vboard" run -- script -qec "$tool" /dev/null >"$work/tty" 2>/dev/null
for line in "card_tool: downloading the firmware to the board" \
            "card_tool: waiting for the board to come back with it" \
            "Maker ec , Device 75"; do
    if ! grep -q "$line" "$work/tty"; then
        echo "on a terminal, missing [$line] in [$(cat "$work/tty")]"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ]
