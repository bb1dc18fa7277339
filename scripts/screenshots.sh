#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Retakes the pictures of the guide and the README (docs/*.png, or the folder given): builds
# xrq-screenshots, then runs it on an X server of its own (Xvfb) with a window manager
# (openbox) started first, so that every window has the frame and title bar an operator sees:
# once on a 1280x1024 screen (the plain pictures), then at 1024x600 and 1366x768 (the
# pictures named after the size). Usage: scripts/screenshots.sh [OUTPUT-FOLDER]
# Each server and window manager is waited for by what it says when ready, never for a time.
source "$(dirname "$0")/common.sh"

out=$(realpath -m "${1:-$XRQ_ROOT/docs}")
install_missing_packages
build_tree normal xrq-screenshots
tool=$XRQ_ROOT/build/bin/xrq-screenshots
status=0

# shoot SIZE [TOOL-ARGS...]: the tool on a fresh SIZE screen under openbox.
shoot() {
    local size=$1 work fd display word server wm
    shift
    work=$(mktemp -d /tmp/xrq-screenshots.XXXXXX)
    mkfifo "$work/ready"
    # Open for reading and writing: the open never waits for a writer, and the reads below
    # wait for a line, each with a deadline.
    exec {fd}<>"$work/ready"
    # -displayfd: the server picks a free display and writes its number when it is ready.
    Xvfb -displayfd "$fd" -screen 0 "${size}x24" -nolisten tcp -noreset 2>"$work/xvfb.log" &
    server=$!
    if ! read -r -t 60 display <&"$fd"; then
        echo "error: Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        kill "$server" 2>/dev/null
        return 1
    fi
    # openbox runs its start-up command once it manages the screen.
    DISPLAY=:$display openbox --sm-disable --startup "sh -c 'echo ready > $work/ready'" \
        2>"$work/openbox.log" &
    wm=$!
    if ! read -r -t 60 word <&"$fd" || [ "$word" != ready ]; then
        echo "error: openbox did not start:" >&2
        cat "$work/openbox.log" >&2
        kill "$wm" "$server" 2>/dev/null
        return 1
    fi
    say "Screenshots at $size on :$display with openbox"
    DISPLAY=:$display QT_QPA_PLATFORM=xcb "$tool" "$@" "$out" || status=1
    kill "$wm" "$server" 2>/dev/null
    wait "$wm" "$server" 2>/dev/null || true
    exec {fd}<&-
    rm -rf "$work"
}

shoot 1280x1024 || status=1
for size in 1024x600 1366x768; do
    shoot "$size" --screen "$size" || status=1
done
exit $status
