#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the program, starts a simulated XRQ unit on a pty, then starts the program, which
# finds the unit on the COM port it already uses. The simulator stops when the program ends.
#
# The operator's own settings (XRQ.ini) are only read, never written: the simulator links
# itself as ports/COM<n> in the program's files folder, n being the port saved there (1
# when none is), and removes the link when it stops. For the demo's length that link
# stands in for a real device of the same number.
source "$(dirname "$0")/common.sh"
install_missing_packages
build_tree normal xrq xrq-unit-sim

bin="$XRQ_ROOT/build/bin"
sim_pid=""
stop_simulator() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}
trap stop_simulator EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say "Starting the simulated XRQ unit (bundled sample data)"
coproc SIM { exec "$bin/xrq-unit-sim" --port settings; }
sim_pid=$SIM_PID
# The simulator prints its banner once its link exists; its last line starts "  line:".
ready=""
while IFS= read -r -t 30 -u "${SIM[0]}" line; do
    printf '    %s\n' "$line"
    if [[ $line == "  line:"* ]]; then
        ready=yes
        break
    fi
done
if [ -z "$ready" ]; then
    echo "The simulator did not start (see its message above)." >&2
    echo "To run the program without it: $bin/xrq" >&2
    exit 1
fi

# The program writes its intermediate data file into its current folder: it runs in a working
# folder of its own under the program's files folder, never in the checkout.
work="${XDG_DATA_HOME:-$HOME/.local/share}/Quorvant/XRQ/work"
mkdir -p "$work"
cd "$work"
say "Starting $bin/xrq in $work"
status=0
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    "$bin/xrq" || status=$?
else
    echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running the program under" \
        "xvfb-run, where its window is not visible. Press Ctrl+C to end." >&2
    xvfb-run -a "$bin/xrq" || status=$?
fi
say "The program ended; stopping the simulated unit"
exit $status
