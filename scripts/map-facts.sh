#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What docs/architecture.md says of the build and the stores, drawn from the code, in the
# form of the page's own blocks, so that scripts/check-architecture.sh can compare them line
# by line and a moved room is one command away from its new text:
#   --libraries        each room and its library: `xrq_library(NAME DIRS room...)` in
#                      CMakeLists.txt ("room: library", one a line)
#   --links            each of our libraries and what it links itself, from CMake's own graph
#                      of the targets (`cmake --graphviz`, in a throw-away build folder): our
#                      libraries and the outside ones (Qt modules by their Qt6:: names, libpq,
#                      xxhash), without CMake's code generators (moc, rcc) and resources
#   --programs         each program and every outside library it links, directly or through
#                      ours, the Qt modules' own links included (so Qt6::Charts brings
#                      Qt6::Widgets, Qt6::Gui and Qt6::OpenGLWidgets)
#   --sqlite-openers   the files outside tests/ and bench/ that open a SQLite store, by the
#                      pattern the page's block gives on its first line (or PATTERN, the next
#                      argument)
# CMake's graph rather than reading CMakeLists.txt by hand: libraries named through variables
# (the tools' lists, find_library's results) and the Qt modules' own links are CMake's to
# resolve; a configure without tests takes a few seconds.
# Usage: scripts/map-facts.sh --libraries|--links|--programs|--sqlite-openers [PATTERN]
set -euo pipefail
cd "${XRQ_MAP_ROOT:-$(dirname "$0")/..}"

# The programs whose links the page lists.
programs=(xrq xrq-view xrq-collect xrq-series xrq-office)

# Every arrow of CMake's target graph as "from to", outside names as CMake knows them.
target_edges() {
    local dir
    dir=$(mktemp -d /tmp/xrq-map-facts.XXXXXX)
    # shellcheck disable=SC2064 # the folder is known now
    trap "rm -rf '$dir'" RETURN
    if ! cmake -S . -B "$dir/build" -G Ninja -DBUILD_TESTING=OFF --graphviz="$dir/targets.dot" \
        >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log" >&2
        echo "map-facts: CMake could not configure the tree" >&2
        return 1
    fi
    # Each arrow is written with a comment naming both ends: "node1" -> "node2"  // a -> b
    sed -nE 's#^.*// (.+) -> (.+)$#\1 \2#p' "$dir/targets.dot" |
        sed -E 's#(^| )Qt::#\1Qt6::#g; s#(^| )/[^ ]*/lib([^/ ]+)\.so#\1\2#g' | sort -u
}

# Whether a target is a code generator or a generated part, not a library anyone chose.
generated() { [[ $1 == Qt6::moc || $1 == Qt6::rcc || $1 == Qt6::uic || $1 == *_resources_* ]]; }

case ${1:-} in
--libraries)
    # Every call begins on one line: xrq_library(NAME DIRS dir [dir...] [EXCLUDE|LIBS ...]
    sed -nE 's/^[[:space:]]*xrq_library\(([A-Za-z0-9_]+) DIRS ([^)]*).*/\1 \2/p' CMakeLists.txt |
        while read -r lib rest; do
            for word in $rest; do
                case $word in EXCLUDE | LIBS) break ;; esac
                echo "$word: $lib"
            done
        done | sort
    ;;
--links)
    edges=$(target_edges)
    mapfile -t ours < <(awk '$1 ~ /^xrq_/ {print $1}' <<<"$edges" | sort -u)
    for lib in "${ours[@]}"; do
        generated "$lib" && continue
        links=()
        while read -r _ to; do
            generated "$to" || links+=("$to")
        done < <(awk -v l="$lib" '$1 == l' <<<"$edges")
        echo "$lib:${links[*]:+ ${links[*]}}"
    done
    ;;
--programs)
    edges=$(target_edges)
    declare -A next
    while read -r from to; do next[$from]+=" $to"; done <<<"$edges"
    for program in "${programs[@]}"; do
        declare -A seen=()
        todo=("$program")
        while [ ${#todo[@]} -gt 0 ]; do
            t=${todo[0]}
            todo=("${todo[@]:1}")
            for n in ${next[$t]:-}; do
                [ -n "${seen[$n]+x}" ] && continue
                seen[$n]=1
                todo+=("$n")
            done
        done
        outside=()
        for n in "${!seen[@]}"; do
            generated "$n" && continue
            # Our own libraries, and the names Qt's and the system's CMake files use inside
            # (Qt6::Platform, WrapOpenGL::..., OpenGL::...), are not what a reader asks for.
            [[ $n == xrq_* || $n == Qt6::Platform || $n == Wrap* || $n == OpenGL::* ]] && continue
            outside+=("$n")
        done
        echo "$program:$(printf ' %s' "${outside[@]}" | tr ' ' '\n' | sort | tr '\n' ' ' | sed 's/ $//')"
        unset seen
    done
    ;;
--sqlite-openers)
    pattern=${2:-}
    [ -n "$pattern" ] || { echo "map-facts: --sqlite-openers needs a pattern" >&2; exit 2; }
    git ls-files '*.cpp' '*.h' | grep -vE '^(tests|bench)/' |
        xargs grep -lE -- "$pattern" 2>/dev/null | sort || true
    ;;
*)
    sed -n '3,23p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
