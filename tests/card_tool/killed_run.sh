#!/bin/sh
# A tool killed while it waits for the board to come back has already written
# its lines: they are read from a pipe while the tool sleeps, then it is
# killed. Were standard output held in a buffer, the reads would only return
# when the tool ends by itself (status 0, not killed).
#   killed_run.sh VBOARD CARD_TOOL RUNTIME_DIR
set -u
vboard=$1 tool=$2 runtime=$3
rm -rf "$runtime" && mkdir -p "$runtime"
export XDG_RUNTIME_DIR="$runtime"
exec "$vboard" run -- /bin/sh -c '
    fifo="$XDG_RUNTIME_DIR/out"
    mkfifo "$fifo" || exit 1
    "$1" >"$fifo" & pid=$!
    exec 3<"$fifo"
    for n in 1 2 3 4; do IFS= read -r line <&3 || { echo "only $n lines"; exit 1; }; done
    kill -KILL $pid
    wait $pid; status=$?
    [ "$line" = "Setup EZ-USB" ] || { echo "fourth line: [$line]"; exit 1; }
    [ $status -eq 137 ] || { echo "the tool was not killed in its wait (status $status)"; exit 1; }
' killed_run "$tool"
