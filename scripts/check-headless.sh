#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that the programs without windows need none: xrq-collect, xrq-series and xrq-office
# link no window library (ldd lists no libQt6Widgets, libQt6Gui, libQt6Charts, libQt6OpenGL*,
# libGL*, libEGL or libOpenGL) and start with no display and no Qt platform plugin (DISPLAY and
# WAYLAND_DISPLAY unset, QT_QPA_PLATFORM empty): each answers --help, the two that have one
# --version, and xrq-series lists the series of an empty files folder. Exits 1 and names each
# failure. CI (.ci/run) runs it on the build the tests used, and the suite has a test doing the
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

# A real short run: the series of an empty files folder (the store opened through Qt SQL's
# plugin, which needs no platform plugin either).
if [ -x "$bin/xrq-series" ]; then
    mkdir -p "$scratch/files"
    if ! out=$(headless "$bin/xrq-series" --files-folder "$scratch/files" list 2>&1 </dev/null); then
        echo "xrq-series list failed without a display: $out"
        failed=1
    fi
fi

[ $failed -eq 0 ] && echo "xrq-collect, xrq-series, xrq-office: no window library linked, each starts without a display"
exit $failed
