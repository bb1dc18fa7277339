#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that docs/architecture.md names only what exists: every `path` under one of the
# tree's own top-level folders (braces and globs expanded), and every `Name`, `a::b` or
# `function` the page quotes, which must stand as a word in the sources; a qualified name
# `a::b` stands whole: as written in the sources, or `b` in a file that declares or defines
# in `a` (namespace, class, struct or enum `a`, or `a::` before a name), with `a` itself
# checked so. Then that the page's table of rooms and README's layout table name every room
# of the layering (scripts/room-graph.sh) and every top-level folder, and nothing that is not
# one. Then that what the page says of the build and the stores is what the code gives
# (scripts/map-facts.sh): each room's library in the table of rooms, the `links` block (each
# library's own links), the `programs` block (each program's outside libraries) and the
# `sqlite-openers` block (the files that open a SQLite store). Exits 1 and lists what is
# missing or differs, so that the map cannot drift from the code unnoticed.
# Usage: scripts/check-architecture.sh [page]      (default docs/architecture.md)
#        scripts/check-architecture.sh --self-test (room-graph.sh and the blocks' comparison
#                                                   on a made-up tree with planted faults)
set -euo pipefail
cd "$(dirname "$0")/.."

# The lines of the page's fenced block `name` (```name ... ```), its comment lines left out.
block() { # PAGE NAME
    awk -v b="$2" '$0 == "```" b {on = 1; next} on && /^```/ {exit} on' "$1" | grep -v '^#' || true
}

# Whether the page's block NAME says what the code gives (DRAWN); tells each differing line.
block_agrees() { # PAGE NAME DRAWN
    local said
    said=$(block "$1" "$2")
    [ "$said" = "$3" ] && return 0
    echo "$1's $2 block is not what the code gives (< the page says, > the code gives):"
    diff <(printf '%s\n' "$said") <(printf '%s\n' "$3") | grep '^[<>]' || true
    return 1
}

# The pattern of the files that open a SQLite store, from the first line of the page's block.
opener_pattern() { # PAGE
    awk '$0 == "```sqlite-openers" {on = 1; next} on && /^```/ {exit} on' "$1" |
        sed -nE 's/^# opens a store: //p' | head -n 1
}

if [ "${1:-}" = "--self-test" ]; then
    tree=$(mktemp -d /tmp/xrq-check-architecture.XXXXXX)
    # shellcheck disable=SC2064 # the folder is known now
    trap "rm -rf '$tree'" EXIT
    failed=0
    expect() { # WHAT EXPECTED-STATUS EXPECTED-TEXT COMMAND...
        local what=$1 status=$2 text=$3 out rc=0
        shift 3
        out=$("$@" 2>&1) || rc=$?
        if [ "$rc" -ne "$status" ] || ! grep -qF -- "$text" <<<"$out"; then
            echo "self-test: $what: status $rc, expected $status with '$text'; said:" >&2
            echo "$out" >&2
            failed=1
        fi
    }
    scripts=$(pwd)/scripts
    mkdir -p "$tree/docs" "$tree/low" "$tree/mid" "$tree/high"
    git -C "$tree" init -q
    printf '%s\n' '# Map' '```layering' 'low < mid' '  < high' '```' '```sqlite-openers' \
        '# opens a store: QSqlDatabase::addDatabase' 'mid/store.cpp' '```' >"$tree/docs/architecture.md"
    echo '#include "low/a.h"' >"$tree/mid/store.cpp"
    echo 'auto db = QSqlDatabase::addDatabase("QSQLITE");' >>"$tree/mid/store.cpp"
    echo '#include "mid/b.h"' >"$tree/high/c.cpp"
    touch "$tree/low/a.h" "$tree/mid/b.h"
    git -C "$tree" add -A
    run_graph() { XRQ_MAP_ROOT=$tree bash "$scripts/room-graph.sh"; }
    openers() { XRQ_MAP_ROOT=$tree bash "$scripts/map-facts.sh" --sqlite-openers "$(opener_pattern "$tree/docs/architecture.md")"; }
    expect "rooms read from the page's block" 0 "low mid high" \
        bash -c "XRQ_MAP_ROOT=$tree bash $scripts/room-graph.sh --rooms | tr '\n' ' '"
    expect "arrows that point down" 0 "no circle, no arrow up" run_graph
    echo '#include "high/d.h"' >"$tree/low/up.cpp" && touch "$tree/high/d.h"
    git -C "$tree" add -A
    expect "an arrow up" 1 "low                -> high                1  UP" run_graph
    git -C "$tree" rm -qf low/up.cpp
    echo '#include "high/d.h"' >"$tree/mid/e.cpp" # with high/c.cpp's: a circle mid <-> high
    git -C "$tree" add -A
    expect "a circle" 1 "mid                -> high                1  UP" run_graph
    git -C "$tree" rm -qf mid/e.cpp
    mkdir -p "$tree/loose" && touch "$tree/loose/f.cpp" && git -C "$tree" add -A
    expect "a file outside the rooms" 1 "not in a room of the layering: loose/f.cpp" run_graph
    git -C "$tree" rm -qf loose/f.cpp
    expect "the openers as the page says" 0 "" \
        block_agrees "$tree/docs/architecture.md" sqlite-openers "$(openers)"
    echo 'QSqlDatabase::addDatabase("QSQLITE", "second");' >"$tree/high/g.cpp" && git -C "$tree" add -A
    expect "an opener the page does not name" 1 "> high/g.cpp" \
        block_agrees "$tree/docs/architecture.md" sqlite-openers "$(openers)"
    [ $failed -eq 0 ] && echo "check-architecture self-test: passed"
    exit $failed
fi

page=${1:-docs/architecture.md}
missing=0

# The sources a quoted name must stand in: tracked code, build and script files.
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.sh' '*CMakeLists.txt' '*.cmake' 'CMakePresets.json' \
    '.ci/*')
words=$(cat "${sources[@]}" | grep -oE '[A-Za-z_~][A-Za-z0-9_]*' | sort -u)

# Whether `a::b::c` stands whole in the sources (see the head of this file).
qualified_exists() {
    local name=$1
    if [[ $name != *::* ]]; then
        grep -qxF -- "$name" <<<"$words"
        return
    fi
    grep -qF -- "$name" "${sources[@]}" && return 0
    # Qt's own (QWindow::frameMargins): its headers are not ours; each part must stand.
    if [[ $name =~ ^Q[A-Z] ]]; then
        local part
        for part in ${name//::/ }; do grep -qxF -- "$part" <<<"$words" || return 1; done
        return 0
    fi
    local scope=${name%::*} last=${name##*::}
    local inner=${scope##*::}
    qualified_exists "$scope" || return 1
    local files
    files=$(grep -lw -- "$last" "${sources[@]}" 2>/dev/null) || return 1
    # shellcheck disable=SC2086 # one file a word
    grep -qE "(namespace|class|struct|enum( class)?)[[:space:]]+([A-Za-z_0-9]+::)*$inner\b|\b$inner::" $files
}

# Every backquoted text of the page, one a line.
while IFS= read -r token; do
    [ -n "$token" ] || continue
    if [[ $token =~ ^[A-Za-z0-9_.{},*/-]+$ && $token == */* ]]; then
        top=${token%%/*}
        [ -d "$top" ] || continue # a runtime folder (downloads/, ports/...), not the tree's
        found=""
        # shellcheck disable=SC2086 # the expansion of braces and globs is the point
        for p in $(eval "echo ${token//\*/\\*}" 2>/dev/null); do
            for q in $p; do
                if compgen -G "${q%/}" >/dev/null; then found=yes; else found=""; break 2; fi
            done
        done
        if [ -z "$found" ]; then
            echo "$page names a path that does not exist: $token"
            missing=1
        fi
    elif [[ $token =~ ^[A-Za-z_~][A-Za-z0-9_]*(::[A-Za-z_~][A-Za-z0-9_]*)*(\(\))?$ ]]; then
        name=${token%()}
        # A test program is named after its folder: tests/<area>/ becomes test_<area>.
        [[ $name == test_* && -d tests/${name#test_} ]] && continue
        if ! qualified_exists "$name"; then
            echo "$page names something the sources do not hold: $token"
            missing=1
        fi
    fi
done < <(grep -oE '`[^`]+`' "$page" | tr -d '`' | sort -u)

# The rooms and the folders: the page's table of rooms names each room of the layering, and
# README's layout table each top-level folder and each room, and neither a folder that is not.
mapfile -t rooms < <(scripts/room-graph.sh --rooms)
mapfile -t folders < <(git ls-files | grep / | cut -d/ -f1 | grep -v '^\.' | sort -u)
table_folders() { # the first column's `folder/` of the table after the heading $2 in $1
    awk -v head="$2" '$0 ~ head {on = 1; next} on && /^## / {exit} on && /^\| `[^`]+\/` \|/' "$1" |
        sed -E 's/^\| `([^`]+)\/`.*/\1/'
}
mapfile -t pageRooms < <(table_folders "$page" '^## Folders as rooms')
mapfile -t readmeRooms < <(table_folders README.md '^## Layout')
for room in "${rooms[@]}"; do
    grep -qxF -- "$room" <<<"$(printf '%s\n' "${pageRooms[@]}")" ||
        { echo "$page's table of rooms lacks the room $room/"; missing=1; }
done
for folder in "${folders[@]}" "${rooms[@]}"; do
    [ "$folder" = tools/sim ] && continue # under tools/ in README
    grep -qxF -- "$folder" <<<"$(printf '%s\n' "${readmeRooms[@]}")" ||
        { echo "README.md's layout table lacks the folder $folder/"; missing=1; }
done
for named in "${pageRooms[@]}" "${readmeRooms[@]}"; do
    [ -d "$named" ] || { echo "a layout table names $named/, which is no folder"; missing=1; }
done

# What the page says of the build and the stores, against what the code gives.
# The table of rooms' first two columns as "room: library".
drawn=$(awk '/^## Folders as rooms/ {on = 1; next} on && /^## / {exit} on && /^\| `[^`]+\/` \| `[^`]+` \|/' "$page" |
    sed -E 's/^\| `([^`]+)\/` \| `([^`]+)`.*/\1: \2/' | sort)
libraries=$(scripts/map-facts.sh --libraries) || missing=1
if [ "$drawn" != "$libraries" ]; then
    echo "$page's table of rooms names libraries that CMakeLists.txt does not (< the page, > CMakeLists.txt):"
    diff <(printf '%s\n' "$drawn") <(printf '%s\n' "$libraries") | grep '^[<>]' || true
    missing=1
fi
links=$(scripts/map-facts.sh --links) || { echo "scripts/map-facts.sh --links failed"; missing=1; }
block_agrees "$page" links "$links" || missing=1
programs=$(scripts/map-facts.sh --programs) || { echo "scripts/map-facts.sh --programs failed"; missing=1; }
block_agrees "$page" programs "$programs" || missing=1
pattern=$(opener_pattern "$page")
if [ -z "$pattern" ]; then
    echo "$page's sqlite-openers block has no first line '# opens a store: PATTERN'"
    missing=1
else
    block_agrees "$page" sqlite-openers "$(scripts/map-facts.sh --sqlite-openers "$pattern")" || missing=1
fi

[ $missing -eq 0 ] && echo "$page: every path and name it quotes exists; README's and its tables name every room; its libraries, links and SQLite openers are the code's"
exit $missing
