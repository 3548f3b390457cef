#!/usr/bin/env bash
# The command-line programs as a new user meets them: --help and --version on standard output
# with status 0, a bad argument named with status 2, a missing file named before any modem is
# looked for, misspelled options refused without installing anything, and standard output
# kept for what a script parses.
set -uo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" SENDARI_HOME="$work/data/Sendari"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# expect STATUS STDOUT-PATTERN STDERR-PATTERN -- COMMAND...
expect() {
    local status=$1 out=$2 err=$3
    shift 4
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ "$got" -eq "$status" ] || fail "$* exited $got, not $status: $(head -c 300 "$work/err")"
    [ -z "$out" ] || grep -q -- "$out" "$work/out" || fail "$* printed no '$out' on stdout"
    [ -z "$err" ] || grep -q -- "$err" "$work/err" || fail "$* said no '$err' on stderr"
}

for p in sendari-cli sendari-modems sendari-vmodem sendari-zmodem; do
    expect 0 "^Usage: $p" "" -- "$bin/$p" --help
    expect 0 "^$p [0-9]" "" -- "$bin/$p" --version
done

echo hello >"$work/here.txt"
expect 1 "" "missing.txt: No such file or directory" -- \
    "$bin/sendari-cli" send --to 555 "$work/here.txt" "$work/missing.txt"
grep -qi "modem" "$work/err" && fail "a missing file led to looking for a modem"
expect 2 "" "unknown option --typ" -- "$bin/sendari-cli" send --to 555 --typ x "$work/here.txt"
expect 2 "" "send needs --to NUMBER" -- "$bin/sendari-cli" send "$work/here.txt"
expect 2 "" "send needs at least one file" -- "$bin/sendari-cli" send --to 555
expect 2 "" "--port wants COM1 to COM9" -- "$bin/sendari-cli" send --to 555 --port COM12 "$work/here.txt"

expect 2 "" "unknown option --typ" -- "$bin/sendari-modems" add --port COM3 --typ foo
expect 2 "" "--port wants COM1 to COM9" -- "$bin/sendari-modems" add --port COM12
expect 0 "" "" -- "$bin/sendari-modems" list
[ -s "$work/out" ] && fail "a refused add installed a modem: $(cat "$work/out")"
expect 0 "" "Installed" -- "$bin/sendari-modems" add --port COM3
[ -s "$work/out" ] && fail "add printed on stdout: $(cat "$work/out")"
expect 0 "COM3" "" -- "$bin/sendari-modems" list
[ "$(wc -l <"$work/out")" -eq 1 ] || fail "list printed more than the modem: $(cat "$work/out")"
expect 2 "" "unknown command frobnicate" -- "$bin/sendari-modems" frobnicate

expect 2 "" "unknown option --lisen" -- "$bin/sendari-vmodem" --lisen 127.0.0.1:1
expect 2 "" "unknown option -x" -- "$bin/sendari-zmodem" -x send "$work/here.txt"

# A settings file that is damaged, or that cannot be read, is named at start-up; the user's
# values survive in it or beside it.
hive="$work/config/Sendari/HKEY_CURRENT_USER.reg"
mine='[HKEY_CURRENT_USER\Software\Korvane\Sendari\1.0]
"StationName"="Quay"'
printf 'REGEDIT4\n\n%s\n\x01 damaged line\n' "$mine" >"$hive"
expect 1 "" "$hive is damaged: 1 line(s)" -- "$bin/sendari-cli" send --to 555 --port COM9 "$work/here.txt"
cat "$hive" "$hive".damaged* 2>/dev/null | grep -q '"StationName"="Quay"' ||
    fail "the station name was lost: $(ls -la "$work/config/Sendari"; cat -A "$hive" "$hive".damaged*; cat "$work/err")"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    printf 'REGEDIT4\n\n%s\n' "$mine" >"$hive"
    chmod 600 "$hive"
    chmod 755 "$work" "$work/config" "$work/config/Sendari"
    chmod 777 "$work/data" "$work/data/Sendari" 2>/dev/null
    expect 1 "" "$hive could not be read (Permission denied)" -- \
        setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$bin/sendari-cli" send --to 555 --port COM9 "$work/here.txt"
    grep -q '"StationName"="Quay"' "$hive" || fail "an unreadable settings file was saved over"
fi

# sendari-zmodem -v ends each file's progress line with its final byte count.
if command -v rz >/dev/null; then
    mkdir -p "$work/rz"
    head -c 300000 /dev/zero >"$work/big.bin"
    coproc RZ { cd "$work/rz" && exec rz -y 2>/dev/null; }
    rz_pid=$RZ_PID
    "$bin/sendari-zmodem" -v send "$work/big.bin" "$work/here.txt" <&"${RZ[0]}" >&"${RZ[1]}" 2>"$work/zm.err"
    wait "$rz_pid" 2>/dev/null
    tr '\r' '\n' <"$work/zm.err" | grep -q "big.bin: 300000 of 300000 bytes$" ||
        fail "no final count for big.bin: $(tr '\r' '\n' <"$work/zm.err" | tail -5)"
    tr '\r' '\n' <"$work/zm.err" | grep -q "here.txt: 6 of 6 bytes$" ||
        fail "no final count for here.txt"
else
    fail "rz is not installed (scripts/deps installs lrzsz)"
fi

[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures > 0))
