#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that the programs without windows need none: xrq-collect, xrq-series and xrq-office
# link no window library (ldd lists no libQt6Widgets, libQt6Gui, libQt6Charts, libQt6OpenGL*,
# libGL*, libEGL or libOpenGL) and start with no display and no Qt platform plugin (DISPLAY and
# WAYLAND_DISPLAY unset, QT_QPA_PLATFORM empty): each answers --help, the two that have one
# --version, and each makes a real short run (below). Exits 1 and names each failure. CI (.ci/run) runs it on the build the tests used, and the suite has a test doing the
# same (headless_programs, tests/CMakeLists.txt).
# Usage: scripts/check-headless.sh [bin folder]   (default build/bin)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/bin}
failed=0
# A window library, as ldd names it.
window_libs='libQt6(Widgets|Gui|Charts|OpenGL[A-Za-z]*)\.so|lib(GL|GLX|EGL|OpenGL)[A-Za-z]*\.so'

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs a program as a headless start: no display, no platform plugin, a home of its own.
headless() {
    env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= HOME="$scratch" "$@"
}

for program in xrq-collect xrq-series xrq-office; do
    path=$bin/$program
    if [ ! -x "$path" ]; then
        echo "$program: not built in $bin"
        failed=1
        continue
    fi
    if ! linked=$(ldd "$path" 2>&1); then
        echo "$program: ldd failed: $linked"
        failed=1
        continue
    fi
    if found=$(grep -oE "$window_libs" <<<"$linked" | sort -u | tr '\n' ' ') && [ -n "$found" ]; then
        echo "$program links a window library: $found"
        failed=1
    fi
    runs=(--help)
    [ "$program" = xrq-series ] || runs+=(--version)
    for arg in "${runs[@]}"; do
        if ! out=$(headless "$path" "$arg" 2>&1 </dev/null); then
            echo "$program $arg failed without a display: $out"
            failed=1
        fi
    done
done

# Real short runs, each past its QCoreApplication: the series of an empty files folder (the
# store opened through Qt SQL's plugin); a collection from a device that is not there, which
# starts the program (folders, run log, port table) and ends on its own words; the office
# serving on a free loopback port until told to end (SIGTERM, exit 0). A window library
# loaded at run time would ask for a display or a platform plugin here and fail.
no_window() { # PROGRAM OUTPUT: the output holds no complaint about a display or a plugin
    if grep -qiE 'qt\.qpa|could not connect to display|platform plugin' <<<"$2"; then
        echo "$1 asked for a display or a platform plugin: $2"
        failed=1
    fi
}
if [ -x "$bin/xrq-series" ]; then
    mkdir -p "$scratch/files"
    if ! out=$(headless "$bin/xrq-series" --files-folder "$scratch/files" list 2>&1 </dev/null); then
        echo "xrq-series list failed without a display: $out"
        failed=1
    fi
    no_window xrq-series "$out"
fi
if [ -x "$bin/xrq-collect" ]; then
    mkdir -p "$scratch/data"
    status=0
    out=$(headless "$bin/xrq-collect" --device "$scratch/no-such-device" --dir "$scratch/data/" \
        2>&1 </dev/null) || status=$?
    # Its own refusal (an exit status of its own, its words), never a crash or a signal.
    if [ $status -eq 0 ] || [ $status -ge 128 ] || [[ $out != *"xrq-collect: "* ]]; then
        echo "xrq-collect did not run to its own end without a display (exit $status): $out"
        failed=1
    fi
    no_window xrq-collect "$out"
fi
if [ -x "$bin/xrq-office" ]; then
    exec {office}< <(PGSERVICEFILE="$scratch/no-service-file" headless "$bin/xrq-office" \
        --service headless-check --listen 127.0.0.1:0 2>&1 </dev/null)
    office_pid=$!
    said="" serving=""
    while IFS= read -r -t 30 -u "$office" line; do
        said+="$line"$'\n'
        if [[ $line == *"serving http://127.0.0.1:"* ]]; then
            serving=yes
            break
        fi
    done
    kill -TERM "$office_pid" 2>/dev/null || true
    status=0
    wait "$office_pid" || status=$?
    said+=$(cat <&"$office")
    exec {office}<&-
    if [ -z "$serving" ] || [ $status -ne 0 ]; then
        echo "xrq-office did not serve and end as asked without a display (exit $status): $said"
        failed=1
    fi
    no_window xrq-office "$said"
fi

[ $failed -eq 0 ] && echo "xrq-collect, xrq-series, xrq-office: no window library linked, each starts without a display"
exit $failed
