#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The include graph of the rooms (the tree's top-level source folders, and tools/sim/): an
# arrow A -> B for every room A whose sources include a header of room B ('#include "B/..."'),
# with the number of such lines. Checked against the layering below, bottom first: every arrow
# must point down it, so the graph has no circle and no arrow up. Exits 1 and names each arrow
# that does not; tests/, bench/ and the programs in tools/ are not rooms (they may use any).
# Usage: scripts/room-graph.sh          the arrows, each marked, then the verdict
#        scripts/room-graph.sh --dot    the graph for Graphviz (dot -Tsvg), arrows up in red
#        scripts/room-graph.sh --rooms  the rooms, bottom first, one a line
set -euo pipefail
cd "$(dirname "$0")/.."

# Bottom first. A room may include only rooms before it.
layers=(
    platform platform/testing ui_handover dialogs comport session unit time_stamps
    viewer_reader window_fit widgets fleet series register viewer office download app units_window
    serial setup main start collect tools/sim
)
if [ "${1:-}" = "--rooms" ]; then
    printf '%s\n' "${layers[@]}"
    exit 0
fi
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

# The room of a path: platform/testing/ and tools/sim/ are rooms of their own.
room_of() {
    case $1 in
    platform/testing/*) echo platform/testing ;;
    tools/sim/*) echo tools/sim ;;
    *) echo "${1%%/*}" ;;
    esac
}

declare -A count
unknown=()
while IFS= read -r file; do
    from=$(room_of "$file")
    [ -n "${rank[$from]+x}" ] || {
        case $from in tests | bench | tools | packaging | scripts | docs) ;; *) unknown+=("$file") ;; esac
        continue
    }
    while IFS= read -r inc; do
        to=$(room_of "$inc")
        [ "$to" = "$from" ] && continue
        [ -n "${rank[$to]+x}" ] || continue # a header outside the rooms (tests' support)
        key="$from $to"
        count[$key]=$((${count[$key]:-0} + 1))
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$file")
done < <(git ls-files '*.cpp' '*.h')

bad=0
if [ "${1:-}" = "--dot" ]; then
    echo "digraph rooms {"
    echo "  rankdir=BT; node [shape=box];"
fi
for key in $(printf '%s\n' "${!count[@]}" | tr ' ' ':' | sort); do
    from=${key%%:*}
    to=${key#*:}
    n=${count["$from $to"]}
    if [ "${rank[$to]}" -lt "${rank[$from]}" ]; then mark=down; else mark=UP; bad=1; fi
    if [ "${1:-}" = "--dot" ]; then
        colour=$([ $mark = UP ] && echo ' color=red' || true)
        echo "  \"$from\" -> \"$to\" [label=$n$colour];"
    else
        printf '%-18s -> %-16s %4d  %s\n' "$from" "$to" "$n" "$mark"
    fi
done
if [ "${1:-}" = "--dot" ]; then
    echo "}"
    exit $bad
fi
for f in "${unknown[@]}"; do
    echo "not in a room of the layering: $f"
    bad=1
done
if [ $bad -eq 0 ]; then
    echo "rooms: every arrow points down the layering (${layers[*]}): no circle, no arrow up"
else
    echo "rooms: arrows up the layering (marked UP) or files outside it"
fi
exit $bad
