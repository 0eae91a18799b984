#!/bin/sh
# vboard run's command does not outlive it: a signal to run reaches the
# command and what it started (SIGTERM, SIGHUP), and when run is killed
# outright its command is killed too. Every process involved holds the write
# end of one pipe; the test reads it to its end, which comes only once all of
# them have ended (bounded by `timeout`, never a sleep).
#   run_signals.sh VBOARD WORK_DIR
set -u
vboard=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
export XDG_RUNTIME_DIR="$work"
fifo="$work/alive"
failures=0

# check SIGNAL COMMAND-SCRIPT WANT-STATUS
check() {
    sig=$1 script=$2 want=$3
    rm -f "$fifo" && mkfifo "$fifo" || exit 1
    "$vboard" run --firmware-loaded -- /bin/sh -c "$script" >"$fifo" 2>/dev/null &
    run=$!
    exec 3<"$fifo"
    IFS= read -r line <&3  # the command and its child are running
    kill -"$sig" "$run"
    if ! timeout 20 cat <&3 >/dev/null; then
        echo "SIG$sig: the command outlived vboard run"
        failures=$((failures + 1))
    fi
    exec 3<&-
    wait "$run"
    status=$?
    if [ "$status" -ne "$want" ]; then
        echo "SIG$sig: vboard run exited with $status, expected $want"
        failures=$((failures + 1))
    fi
}

# A shell that started a child and waits for it: both get the signal.
check TERM 'sleep 60 & echo started; wait' 143
check HUP 'sleep 60 & echo started; wait' 129
# run itself killed: its command goes too.
check KILL 'echo started; exec sleep 60' 137
[ "$failures" -eq 0 ]
