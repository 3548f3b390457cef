#!/usr/bin/env bash
# Runs the tray tests of the window test program on an X display with a tray host: Xvfb, and
# trayer as the desktop's system tray. Without the tray host the tests would only be skipped,
# so its absence fails here.
set -euo pipefail
tests=$1
export LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan-xcb.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed (scripts/deps installs xvfb)"; exit 1; }
command -v trayer >/dev/null || { echo "trayer is not installed (scripts/deps installs it)"; exit 1; }
exec xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    trayer --edge top --align right --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 &
    tray=$!
    trap "kill $tray 2>/dev/null" EXIT
    sleep 1
    QT_QPA_PLATFORM=xcb "$1" --gtest_filter="ReceiveTrayTest.*:DesktopEndToEnd*" --gtest_also_run_disabled_tests 2>&1 |
        tee /dev/stderr | grep -q "SKIPPED" && { echo "the tray was not found"; exit 1; }
    exit "${PIPESTATUS[0]}"
' tray-tests "$tests"
