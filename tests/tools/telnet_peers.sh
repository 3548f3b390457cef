#!/usr/bin/env bash
# Files to and from telnet hosts we did not write: a Debian telnet server (telnetd, behind
# socat) runs rz or sz in a temporary folder. sendari-cli sends to the rz host through a
# virtual modem; sendari-zmodem receives from the sz host on a sendari-vmodem pty that
# dialled it; 1 MiB of random bytes and a file of only 0xFF bytes arrive byte-identical both
# ways. Then a telnet client calls a listening sendari-vmodem, and the lines typed on either
# side arrive. Skips (exit 77) when telnetd, socat or telnet are missing.
set -euo pipefail
bin=$1
telnetd=$(command -v telnetd || echo /usr/sbin/telnetd)
for tool in "$telnetd" socat telnet sz rz; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "== $f"; tail -c 2000 "$f"; echo; }; done; exit 1; }

source "$(dirname "$0")/ports.sh"
wait_port() {
    for _ in $(seq 1 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return
        sleep 0.1
    done
    fail "nothing listens on port $1"
}

mkdir -p "$work/files" "$work/rz-inbox" "$work/zmodem-inbox"
head -c 1048576 /dev/urandom >"$work/files/random.bin"
head -c 65536 /dev/zero | tr '\0' '\377' >"$work/files/ones.bin"

# The telnet hosts: telnetd runs our script instead of a login.
cat >"$work/rz-host.sh" <<SCRIPT
#!/bin/sh
cd "$work/rz-inbox" && exec rz -y 2>"$work/rz.err"
SCRIPT
cat >"$work/sz-host.sh" <<SCRIPT
#!/bin/sh
cd "$work/files" && exec sz -q random.bin ones.bin 2>"$work/sz.err"
SCRIPT
chmod +x "$work/rz-host.sh" "$work/sz-host.sh"
rzport=$(free_port)
szport=$(free_port)
socat "TCP-LISTEN:$rzport,bind=127.0.0.1,reuseaddr,fork" EXEC:"$telnetd -h -E $work/rz-host.sh" 2>"$work/socat-rz.err" &
pids+=($!)
socat "TCP-LISTEN:$szport,bind=127.0.0.1,reuseaddr,fork" EXEC:"$telnetd -h -E $work/sz-host.sh" 2>"$work/socat-sz.err" &
pids+=($!)
wait_port "$rzport"
wait_port "$szport"

same() { cmp -s "$work/files/$1" "$2/$1" || fail "$1 in $2 is not the file that was sent"; }

# 1. sendari-cli send -> telnet host running rz.
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
timeout 120 "$bin/sendari-cli" send --to "telnet://127.0.0.1:$rzport" --vmodem "127.0.0.1:$(free_port)" \
    --rate unlimited "$work/files/random.bin" "$work/files/ones.bin" >"$work/send.out" 2>&1 ||
    fail "sendari-cli send to the telnet host failed"
same random.bin "$work/rz-inbox"
same ones.bin "$work/rz-inbox"
echo "ok: sendari-cli -> telnetd + rz"

# A sendari-vmodem on a pty; prints the pty path. Arguments go to sendari-vmodem.
start_vmodem() {
    "$bin/sendari-vmodem" "$@" >"$work/vmodem.out" 2>"$work/vmodem.err" &
    pids+=($!)
    for _ in $(seq 1 50); do
        [ -s "$work/vmodem.out" ] && break
        sleep 0.1
    done
    pty=$(head -1 "$work/vmodem.out")
    [ -c "$pty" ] || fail "sendari-vmodem gave no terminal"
}
# Reads lines from fd 3 until one matches $1 (within about 10 s).
expect_line() {
    local line
    for _ in $(seq 1 50); do
        if IFS= read -r -t 0.2 line <&3; then
            case $line in *"$1"*) return 0 ;; esac
        fi
    done
    fail "no \"$1\" from the modem"
}

# 2. telnet host running sz -> sendari-zmodem on a virtual modem that dialled it.
start_vmodem --listen "127.0.0.1:$(free_port)" --rate unlimited
exec 3<>"$pty"
stty -F "$pty" raw -echo
printf 'ATE0\r' >&3
expect_line OK
printf 'ATDTtelnet://127.0.0.1:%s\r' "$szport" >&3
expect_line CONNECT
timeout 120 "$bin/sendari-zmodem" receive "$work/zmodem-inbox" <&3 >&3 2>"$work/receive.err" ||
    fail "sendari-zmodem receive from the telnet host failed"
exec 3>&-
same random.bin "$work/zmodem-inbox"
same ones.bin "$work/zmodem-inbox"
echo "ok: telnetd + sz -> sendari-zmodem"

# 3. A telnet client calls a listening virtual modem, which answers on the first ring.
kill "${pids[-1]}" 2>/dev/null || true
vport=$(free_port)
start_vmodem --listen "127.0.0.1:$vport" --rate unlimited --telnet
exec 3<>"$pty"
stty -F "$pty" raw -echo
printf 'ATE0S0=1\r' >&3
expect_line OK
{ sleep 2; printf 'typed at the telnet client\r\n'; sleep 3; } |
    timeout 8 telnet 127.0.0.1 "$vport" >"$work/telnet.out" 2>"$work/telnet.err" &
pids+=($!)
expect_line RING
expect_line CONNECT
printf 'typed at the modem\r\n' >&3
expect_line "typed at the telnet client"
exec 3>&-
for _ in $(seq 1 50); do
    grep -q "typed at the modem" "$work/telnet.out" && break
    sleep 0.1
done
grep -q "typed at the modem" "$work/telnet.out" || fail "the telnet client did not get the modem's line"
echo "ok: telnet client <-> sendari-vmodem"
