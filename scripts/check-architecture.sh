#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that docs/architecture.md names only what exists: every `path` under one of the
# tree's own top-level folders (braces and globs expanded), and every `Name`, `a::b` or
# `function` the page quotes, which must stand as a word in the sources; a qualified name
# `a::b` stands whole: as written in the sources, or `b` in a file that declares or defines
# in `a` (namespace, class, struct or enum `a`, or `a::` before a name), with `a` itself
# checked so. Then that the page's table of rooms and README's layout table name every room
# of the layering (scripts/room-graph.sh) and every top-level folder, and nothing that is not
# one. Exits 1 and lists what is missing, so that the map cannot drift from the code
# unnoticed.
# Usage: scripts/check-architecture.sh [page]   (default docs/architecture.md)
set -euo pipefail
cd "$(dirname "$0")/.."
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

[ $missing -eq 0 ] && echo "$page: every path and name it quotes exists; README's and its tables name every room"
exit $missing
