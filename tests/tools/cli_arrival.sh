#!/usr/bin/env bash
# What a waiting sendari-cli receive files, over two virtual modems:
#  1. files of one name in one call (same date, same or other size) all arrive, each whole;
#  2. a sending program killed after its second of four files, then started again with the
#     same four files: every file is filed once, byte for byte, and logged "Successful" once;
#     the same for a caller without a station name;
#  3. a file deleted or unreadable when its turn comes is logged "Failed" and the send exits 1.
set -euo pipefail
cli=$1
modems=$2
work=$(mktemp -d)
receiver_pid=
sender_pid=
cleanup() {
    [ -n "$sender_pid" ] && kill -KILL "$sender_pid" 2>/dev/null || true
    [ -n "$receiver_pid" ] && kill -INT "$receiver_pid" 2>/dev/null || true
    [ -n "$receiver_pid" ] && wait "$receiver_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out; do echo "== $f"; tail -n 40 "$f"; done; exit 1; }

source "$(dirname "$0")/stations.sh"
quay_and_lighthouse
settings stranger "" "$work/stranger-inbox"
receiver_log=$work/receiver/data/Sendari/TRANSLOG.TXT

env $(station receiver) "$modems" add-virtual --port COM4 --listen "127.0.0.1:$rport" --rate unlimited >"$work/modems.out" 2>&1 ||
    fail "add-virtual"
env $(station receiver) "$cli" receive >"$work/receiver.out" 2>&1 &
receiver_pid=$!
sleep 1.5

send() { # who output files...
    local who=$1 out=$2
    shift 2
    env $(station "$who") "$cli" send --to "127.0.0.1:$rport" --name Quay --vmodem "127.0.0.1:$sport" \
        --rate 2000000 "$@" >"$work/$out" 2>&1
}
filed() { find "$work/inbox" -path '*Received *' -type f -name "$1" | sort; }
calls_done() { # count: waits until the receiver has logged that many lines
    # A call whose sender vanished ends when the receiver has missed the carrier for 30 s and
    # its waits for the sender have run out (about 46 s); a loaded machine may take longer.
    for _ in $(seq 1 600); do
        [ -f "$receiver_log" ] && [ "$(wc -l <"$receiver_log")" -ge "$1" ] && return 0
        sleep 0.2
    done
    return 1
}
landed_once() { # name original
    local copies
    copies=$(filed "$1" | wc -l)
    [ "$copies" -eq 1 ] || fail "$1 filed $copies times"
    cmp -s "$2" "$(filed "$1")" || fail "$1 differs"
}

# 1. One name, three files: the second and third are no partial copies of the first.
mkdir -p "$work/a" "$work/b" "$work/c"
head -c 30000 /dev/urandom >"$work/a/readme.txt"
head -c 30000 /dev/urandom >"$work/b/readme.txt"
head -c 50000 /dev/urandom >"$work/c/readme.txt"
touch -d '2026-01-02 03:04:05' "$work/a/readme.txt" "$work/b/readme.txt" "$work/c/readme.txt"
send sender same.out "$work/a/readme.txt" "$work/b/readme.txt" "$work/c/readme.txt" ||
    fail "same-name send exited non-zero"
calls_done 3 || fail "same-name call not logged"
copies=$(find "$work/inbox" -path '*Received *' -type f -name 'readme*' | wc -l)
[ "$copies" -eq 3 ] || fail "$copies of 3 same-named files filed"
for f in a b c; do
    found=0
    while IFS= read -r landed; do
        cmp -s "$work/$f/readme.txt" "$landed" && found=1
    done < <(find "$work/inbox" -path '*Received *' -type f -name 'readme*')
    [ "$found" -eq 1 ] || fail "$f/readme.txt did not arrive whole"
done

# 2. The sending program dies after its second of four files; a new one sends all four.
resend_after_kill() { # who prefix
    local who=$1 p=$2 lines
    mkdir -p "$work/$p"
    for n in 1 2 3 4; do head -c 400000 /dev/urandom >"$work/$p/$p$n.bin"; done
    lines=0
    [ -f "$receiver_log" ] && lines=$(wc -l <"$receiver_log")
    env $(station "$who") "$cli" send --to "127.0.0.1:$rport" --name Quay --vmodem "127.0.0.1:$sport" \
        --rate 2000000 "$work/$p/$p"{1,2,3,4}.bin >"$work/$p-killed.out" 2>&1 &
    sender_pid=$!
    for _ in $(seq 1 300); do
        grep -q "Sending: $p""3.bin" "$work/$p-killed.out" && break
        sleep 0.05
    done
    grep -q "Sending: $p""3.bin" "$work/$p-killed.out" || fail "$p: the third file never began"
    echo "$(date +%T) $p: killing the sender"
    kill -KILL "$sender_pid"
    wait "$sender_pid" 2>/dev/null || true
    sender_pid=
    calls_done $((lines + 3)) || fail "$p: the broken call was not logged"
    echo "$(date +%T) $p: broken call logged"
    send "$who" "$p-again.out" "$work/$p/$p"{1,2,3,4}.bin || fail "$p: the second send failed"
    grep -q "Sendari successfully sent the files." "$work/$p-again.out" || fail "$p: no success"
    echo "$(date +%T) $p: sent again"
    calls_done $((lines + 5)) || fail "$p: the second call was not logged"
    sleep 0.5
    for n in 1 2 3 4; do
        landed_once "$p$n.bin" "$work/$p/$p$n.bin"
        good=$(grep -c $'\t'"$p$n.bin"$'\tReceiving\t[^\t]*\tSuccessful\t' "$receiver_log" || true)
        [ "$good" -eq 1 ] || fail "$p$n.bin logged Successful $good times"
    done
}
echo "$(date +%T) same names done"
resend_after_kill sender k
echo "$(date +%T) named station done"
resend_after_kill stranger u
echo "$(date +%T) stranger done"

# 3. A file deleted while the one before it is sent is reported, not passed over; a file
#    missing when the send starts is refused before dialling.
mkdir -p "$work/gone"
head -c 400000 /dev/urandom >"$work/gone/first.bin"
printf 'soon gone\n' >"$work/gone/gone.txt"
env $(station sender) "$cli" send --to "127.0.0.1:$rport" --name Quay --vmodem "127.0.0.1:$sport" \
    --rate 1000000 "$work/gone/first.bin" "$work/gone/gone.txt" >"$work/gone.out" 2>&1 &
sender_pid=$!
for _ in $(seq 1 300); do
    grep -q "Sending: first.bin" "$work/gone.out" && break
    sleep 0.05
done
rm -f "$work/gone/gone.txt"
status=0
wait "$sender_pid" || status=$?
sender_pid=
[ "$status" -eq 1 ] || fail "send with a deleted file exited $status"
sender_log=$work/sender/data/Sendari/TRANSLOG.TXT
grep -q $'\tgone.txt\tSending\t[^\t]*\tFailed\t' "$sender_log" || fail "deleted file not logged Failed"
grep -q $'\tfirst.bin\tSending\t[^\t]*\tSuccessful\t' "$sender_log" || fail "first file not sent"
grep -q "Not every file was sent: gone.txt" "$work/gone.out" || fail "the outcome does not name the file"
status=0
send sender missing.out "$work/gone/first.bin" "$work/gone/missing.txt" || status=$?
[ "$status" -eq 1 ] || fail "send with a missing file exited $status"
grep -q "missing.txt" "$work/missing.out" || fail "the missing file is not named"
grep -q "Dialing" "$work/missing.out" && fail "dialled with a missing file"

kill -INT "$receiver_pid"
wait "$receiver_pid" || fail "receiver did not end cleanly on Ctrl+C"
receiver_pid=
echo "1 passed, 0 failed"
