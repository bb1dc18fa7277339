#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that docs/architecture.md names only what exists: every `path` under one of the
# tree's own top-level folders (braces and globs expanded), and every `Name`, `a::b` or
# `function` the page quotes, which must stand as a word in the sources. Exits 1 and lists
# what is missing, so that the map cannot drift from the code unnoticed.
# Usage: scripts/check-architecture.sh [page]   (default docs/architecture.md)
set -euo pipefail
cd "$(dirname "$0")/.."
page=${1:-docs/architecture.md}
missing=0

# The sources a quoted name must stand in: tracked code, build and script files.
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.sh' '*CMakeLists.txt' '*.cmake' 'CMakePresets.json' \
    '.ci/*')
words=$(cat "${sources[@]}" | grep -oE '[A-Za-z_~][A-Za-z0-9_]*' | sort -u)

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
        for part in ${name//::/ }; do
            if ! grep -qxF -- "$part" <<<"$words"; then
                echo "$page names something the sources do not hold: $token"
                missing=1
                break
            fi
        done
    fi
done < <(grep -oE '`[^`]+`' "$page" | tr -d '`' | sort -u)

[ $missing -eq 0 ] && echo "$page: every path and name it quotes exists"
exit $missing
