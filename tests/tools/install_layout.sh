#!/usr/bin/env bash
# `cmake --install` lays the programs, the desktop entry, the icons and the help book out where
# a Linux desktop looks for them, and the desktop entry passes desktop-file-validate.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
status=0
for f in bin/sendari bin/sendari-cli bin/sendari-modems bin/sendari-vmodem bin/sendari-zmodem \
    share/applications/sendari.desktop share/icons/hicolor/scalable/apps/sendari.svg \
    share/sendari/help/sendari.html share/doc/sendari/README.md share/doc/sendari/copyright \
    share/man/man1/sendari.1.gz share/man/man1/sendari-cli.1.gz share/man/man1/sendari-modems.1.gz \
    share/man/man1/sendari-vmodem.1.gz share/man/man1/sendari-zmodem.1.gz \
    lib/systemd/user/sendari-receive.service; do
    [ -e "$prefix/$f" ] || { echo "missing: $f"; status=1; }
done
for size in 16 22 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/sendari.png"
    if ! head -c 24 "$png" 2>/dev/null | od -An -tx1 | tr -d ' \n' |
        grep -q "^89504e470d0a1a0a.\{16\}$(printf '%08x%08x' "$size" "$size")"; then
        echo "not a ${size}x${size} PNG: $png"
        status=1
    fi
done
desktop="$prefix/share/applications/sendari.desktop"
grep -qx 'Exec=sendari %F' "$desktop" || { echo "Exec line is not 'sendari %F'"; status=1; }
if command -v desktop-file-validate >/dev/null; then
    out=$(desktop-file-validate "$desktop" 2>&1) || status=1
    [ -z "$out" ] || { echo "$out"; status=1; }
else
    echo "desktop-file-validate is not installed (scripts/deps installs it)"
    status=1
fi
grep -qx "ExecStart=$prefix/bin/sendari-cli receive \$SENDARI_RECEIVE_OPTIONS" \
    "$prefix/lib/systemd/user/sendari-receive.service" ||
    { echo "the service does not run the installed sendari-cli"; status=1; }
"$prefix/bin/sendari" --version | grep -q '^Sendari ' || { echo "installed sendari does not run"; status=1; }
for p in sendari-cli sendari-modems sendari-vmodem sendari-zmodem; do
    "$prefix/bin/$p" --version | grep -q "^$p " || { echo "installed $p --version"; status=1; }
    "$prefix/bin/$p" --help | grep -q "^Usage: $p" || { echo "installed $p --help"; status=1; }
done
zgrep -q "Exit status" "$prefix/share/man/man1/sendari-cli.1.gz" ||
    { echo "the sendari-cli manual page does not state the exit statuses"; status=1; }
exit $status
