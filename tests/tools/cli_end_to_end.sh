#!/usr/bin/env bash
# sendari-cli end to end: a station with a modem installed by sendari-modems waits for calls,
# another dials it through a virtual modem named on the command line and sends three files;
# then a call to a number nobody answers fails with its message and a non-zero status.
set -euo pipefail
cli=$1
modems=$2
work=$(mktemp -d)
receiver_pid=
cleanup() {
    [ -n "$receiver_pid" ] && kill -INT "$receiver_pid" 2>/dev/null || true
    [ -n "$receiver_pid" ] && wait "$receiver_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out; do echo "== $f"; cat "$f"; done; exit 1; }

source "$(dirname "$0")/stations.sh"
quay_and_lighthouse

env $(station receiver) "$modems" add-virtual --port COM4 --listen "127.0.0.1:$rport" --rate unlimited >"$work/modems.out" 2>&1 ||
    fail "add-virtual"

mkdir -p "$work/files"
head -c 200000 /dev/urandom >"$work/files/photo one.bin"
printf 'hello\r\n' >"$work/files/note.txt"
: >"$work/files/empty.dat"

env $(station receiver) "$cli" receive >"$work/receiver.out" 2>&1 &
receiver_pid=$!
sleep 1.5

env $(station sender) "$cli" send --to "127.0.0.1:$rport" --name Quay --vmodem "127.0.0.1:$sport" \
    "$work/files/photo one.bin" "$work/files/note.txt" "$work/files/empty.dat" >"$work/sender.out" 2>&1 ||
    fail "send exited non-zero"
grep -q "Sendari successfully sent the files." "$work/sender.out" || fail "no success message"

# The receiver files what arrived once the call is over.
for _ in $(seq 1 50); do
    [ "$(find "$work/inbox" -path '*Received *' -type f | wc -l)" -eq 3 ] && break
    sleep 0.2
done
for f in "photo one.bin" note.txt empty.dat; do
    landed=$(find "$work/inbox" -path "*Received */$f" -type f | head -n 1)
    [ -n "$landed" ] || fail "$f not in a dated folder"
    cmp -s "$work/files/$f" "$landed" || fail "$f differs"
done
kill -INT "$receiver_pid"
wait "$receiver_pid" || fail "receiver did not end cleanly on Ctrl+C"
receiver_pid=

[ "$(grep -c $'\tSuccessful\t' "$work/sender/data/Sendari/TRANSLOG.TXT")" -eq 3 ] || fail "sender log"
[ "$(grep -c $'\tQuay\t' "$work/sender/data/Sendari/TRANSLOG.TXT")" -eq 3 ] || fail "sender log peer"
[ "$(grep -c $'\tLighthouse\t' "$work/receiver/data/Sendari/TRANSLOG.TXT")" -eq 3 ] || fail "receiver log peer"

# Nobody waits on this number any more. With the plain Hayes profile's result codes (X1) the
# modem reports that as NO CARRIER, so the run ends with the not-answering message.
status=0
env $(station sender) "$cli" send --to "127.0.0.1:$rport" --vmodem "127.0.0.1:$sport" \
    "$work/files/note.txt" >"$work/busy.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "busy send exit status $status"
grep -q "is not answering" "$work/busy.out" || fail "no not-answering message"
echo "1 passed, 0 failed"
