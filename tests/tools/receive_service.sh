#!/usr/bin/env bash
# The receiving station as its systemd user unit runs it: the installed unit passes
# systemd-analyze verify, its command line (with a user's drop-in override) answers two calls
# on the modem of the settings, files what arrives, writes one summary line per call on
# standard error with no progress redraws for the journal, and ends cleanly within a second
# of SIGTERM.
set -euo pipefail
build=$1
work=$(mktemp -d)
receiver_pid=
cleanup() {
    [ -n "$receiver_pid" ] && kill -KILL "$receiver_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out; do echo "== $f"; tail -n 40 "$f"; done; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
unit="$work/prefix/lib/systemd/user/sendari-receive.service"
[ -f "$unit" ] || fail "the unit is not installed"
mkdir -m 700 "$work/runtime"
verified=$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify --man=no "$unit" 2>&1) ||
    fail "systemd-analyze verify: $verified"
[ -z "$verified" ] || fail "systemd-analyze verify: $verified"

# The command line as systemd builds it: Environment= of the unit, then of the drop-in, and
# $NAME in ExecStart split into words.
cat >"$work/override.conf" <<OVERRIDE
[Service]
Environment=SENDARI_RECEIVE_OPTIONS=--folder $work/today
OVERRIDE
declare -A environment
while IFS= read -r line; do
    assignment=${line#Environment=}
    environment[${assignment%%=*}]=${assignment#*=}
done < <(grep -h '^Environment=' "$unit" "$work/override.conf")
exec_start=$(grep '^ExecStart=' "$unit")
exec_start=${exec_start#ExecStart=}
for name in "${!environment[@]}"; do
    exec_start=${exec_start//\$\{$name\}/${environment[$name]}}
    exec_start=${exec_start//\$$name/${environment[$name]}}
done
read -r -a command <<<"$exec_start"
[ "${command[0]}" = "$work/prefix/bin/sendari-cli" ] || fail "ExecStart runs ${command[0]}"

source "$(dirname "$0")/stations.sh"
quay_and_lighthouse
cli="$work/prefix/bin/sendari-cli"
env $(station receiver) "$work/prefix/bin/sendari-modems" add-virtual --port COM4 \
    --listen "127.0.0.1:$rport" --rate unlimited >"$work/modems.out" 2>&1 || fail "add-virtual"
head -c 90000 /dev/urandom >"$work/one.bin"
head -c 4000 /dev/urandom >"$work/two.bin"
head -c 25000 /dev/urandom >"$work/three.bin"

env $(station receiver) "${command[@]}" </dev/null >"$work/stdout.out" 2>"$work/service.out" &
receiver_pid=$!
sleep 1.5
send() { # output-file files...
    local out=$1
    shift
    env $(station sender) "$cli" send --to "127.0.0.1:$rport" --vmodem "127.0.0.1:$sport" \
        --rate unlimited "$@" >"$work/$out" 2>&1
}
summaries() { grep -c "^Call from Lighthouse: " "$work/service.out" || true; }
wait_for_summaries() {
    for _ in $(seq 1 150); do
        [ "$(summaries)" -ge "$1" ] && return 0
        sleep 0.2
    done
    return 1
}
send first.out "$work/one.bin" "$work/two.bin" || fail "the first call"
wait_for_summaries 1 || fail "no summary after the first call"
send second.out "$work/three.bin" || fail "the second call"
wait_for_summaries 2 || fail "no summary after the second call"
kill -0 "$receiver_pid" 2>/dev/null || fail "the service ended after its calls"

started=$(date +%s%N)
kill -TERM "$receiver_pid"
status=0
for _ in $(seq 1 50); do
    kill -0 "$receiver_pid" 2>/dev/null || break
    sleep 0.02
done
ended=$(date +%s%N)
echo "ended $(((ended - started) / 1000000)) ms after SIGTERM"
kill -0 "$receiver_pid" 2>/dev/null && fail "still running a second after SIGTERM"
wait "$receiver_pid" || status=$?
receiver_pid=
[ "$status" -eq 0 ] || fail "SIGTERM ended the service with status $status"

[ "$(summaries)" -eq 2 ] || fail "$(summaries) summary lines for two calls"
grep -q "^Call from Lighthouse: 2 files, 94000 bytes, every file arrived$" "$work/service.out" ||
    fail "the first call's summary"
grep -q "^Call from Lighthouse: 1 file, 25000 bytes, every file arrived$" "$work/service.out" ||
    fail "the second call's summary"
for name in one.bin two.bin three.bin; do
    copy=$(find "$work/today" -path '*Received *' -type f -name "$name")
    [ -n "$copy" ] || fail "$name was not filed in the override's folder"
    cmp -s "$work/$name" "$copy" || fail "$name differs"
done
! grep -q $'\r' "$work/service.out" || fail "the journal would get progress redraws"
[ ! -s "$work/stdout.out" ] || fail "the service wrote on standard output"
exit 0
