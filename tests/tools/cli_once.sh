#!/usr/bin/env bash
# sendari-cli receive --once --folder DIR: one call of two files lands in DIR, one summary line
# names the caller and what arrived, the receiver ends by itself with status 0, and the
# settings keep their own receive folder. A second receiver on the same modem is refused, and
# a call that breaks ends --once with status 1.
set -euo pipefail
cli=$1
modems=$2
work=$(mktemp -d)
receiver_pid=
sender_pid=
cleanup() {
    [ -n "$receiver_pid" ] && kill -KILL "$receiver_pid" 2>/dev/null || true
    [ -n "$sender_pid" ] && kill -KILL "$sender_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out; do echo "== $f"; tail -n 40 "$f"; done; exit 1; }

# receiver_ended SECONDS STATUS WHEN: the receiver ends by itself within SECONDS, with STATUS.
receiver_ended() {
    local status=0
    for _ in $(seq 1 $(($1 * 5))); do
        kill -0 "$receiver_pid" 2>/dev/null || break
        sleep 0.2
    done
    kill -0 "$receiver_pid" 2>/dev/null && fail "the receiver did not end $3"
    wait "$receiver_pid" || status=$?
    receiver_pid=
    [ "$status" -eq "$2" ] || fail "receive --once $3 exited $status, not $2"
}

source "$(dirname "$0")/stations.sh"
quay_and_lighthouse
head -c 70000 /dev/urandom >"$work/one.bin"
head -c 3000 /dev/urandom >"$work/two.bin"

env $(station receiver) "$cli" receive --once --folder "$work/today" \
    --vmodem "127.0.0.1:$rport" --rate unlimited >"$work/receiver.out" 2>&1 &
receiver_pid=$!
sleep 1.5
# A second receiver on the same modem is refused and told who holds it.
second=0
env $(station receiver) "$cli" receive --once --vmodem "127.0.0.1:$rport" >"$work/second.out" 2>&1 ||
    second=$?
[ "$second" -eq 1 ] || fail "a second receiver on the modem exited $second"
grep -q "being used by another program (sendari-cli receive, process $receiver_pid)" \
    "$work/second.out" || fail "the second receiver was not told who holds the modem"
env $(station sender) "$cli" send --to "127.0.0.1:$rport" --vmodem "127.0.0.1:$sport" \
    --rate unlimited "$work/one.bin" "$work/two.bin" >"$work/sender.out" 2>&1 || fail "send"

receiver_ended 30 0 "after its call"
for name in one.bin two.bin; do
    copy=$(find "$work/today" -path '*Received *' -type f -name "$name")
    [ -n "$copy" ] || fail "$name not in the run's folder"
    cmp -s "$work/$name" "$copy" || fail "$name differs"
done
[ ! -e "$work/inbox" ] || fail "the settings' folder was used"
grep -q "Call from Lighthouse: 2 files, 73000 bytes, every file arrived" "$work/receiver.out" ||
    fail "no summary line"
grep -q "GeneralReceiveFolder\"=\"$work/inbox\"" "$work/receiver/config/Sendari/HKEY_CURRENT_USER.reg" ||
    fail "the settings' folder changed"

# A call whose file does not arrive whole ends --once with status 1 and says so. The sender
# dies early in its file; the receiver waits out the lost carrier's grace (30 s) first.
head -c 3000000 /dev/urandom >"$work/big.bin"
env $(station receiver) "$cli" receive --once --folder "$work/broken" \
    --vmodem "127.0.0.1:$rport" --rate unlimited >"$work/broken-receiver.out" 2>&1 &
receiver_pid=$!
sleep 1.5
env $(station sender) "$cli" send --to "127.0.0.1:$rport" --vmodem "127.0.0.1:$sport" \
    --rate 200000 "$work/big.bin" >"$work/broken-sender.out" 2>&1 &
sender_pid=$!
for _ in $(seq 1 150); do
    grep -q "Receiving: big.bin" "$work/broken-receiver.out" && break
    sleep 0.1
done
grep -q "Receiving: big.bin" "$work/broken-receiver.out" || fail "big.bin never began"
kill -KILL "$sender_pid"
wait "$sender_pid" 2>/dev/null || true
sender_pid=
receiver_ended 90 1 "after the broken call"
grep -q "Call from Lighthouse: 0 files, 0 bytes, " "$work/broken-receiver.out" ||
    fail "no summary line for the broken call"

# Each new option belongs to receive alone.
"$cli" send --once --to 1 "$work/one.bin" >/dev/null 2>&1 && fail "send --once accepted"
exit 0
