#!/usr/bin/env bash
# The Debian package: cpack builds it, lintian finds no error in it, and the programs run from
# its unpacked tree with a user's own empty folders.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/sendari_*_*.deb)
status=0
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/sendari ./usr/bin/sendari-cli ./usr/share/applications/sendari.desktop \
    ./usr/share/doc/sendari/copyright ./usr/share/doc/sendari/changelog.gz \
    ./usr/share/man/man1/sendari-cli.1.gz ./usr/lib/systemd/user/sendari-receive.service; do
    grep -q " $f\$" <<<"$contents" || { echo "the package lacks $f"; status=1; }
done
dpkg-deb -f "$deb" Depends | grep -q "libqt6widgets6" || { echo "no Qt dependency found"; status=1; }
errors=$(lintian "$deb" 2>/dev/null | grep '^E:' || true)
[ -z "$errors" ] || { echo "$errors"; status=1; }
dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/bin/sendari-cli receive $SENDARI_RECEIVE_OPTIONS' \
    "$work/root/usr/lib/systemd/user/sendari-receive.service" ||
    { echo "the packaged service does not run /usr/bin/sendari-cli"; status=1; }
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
"$work/root/usr/bin/sendari-cli" --version | grep -q '^sendari-cli ' ||
    { echo "the packaged sendari-cli does not run"; status=1; }
"$work/root/usr/bin/sendari-modems" list 2>"$work/list.err" >/dev/null ||
    { echo "the packaged sendari-modems list failed"; status=1; }
grep -q "No modems are installed" "$work/list.err" || { echo "unexpected list: $(cat "$work/list.err")"; status=1; }
exit $status
