#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Puts the licence's SPDX line at the head of every source file of the project that lacks
# one. Usage: scripts/spdx.sh [--check]
#   (no option)  adds the line where it is missing; running it again changes nothing
#   --check      changes nothing; lists the files without the line and exits 1 if there are any
#
# The files are the project's own: those git tracks or would track (not ignored), so build
# folders and anything a .gitignore leaves out are never touched. C++ sources and headers
# get "// SPDX-License-Identifier: GPL-3.0-or-later" as their first line; shell scripts
# (*.sh, or a "#!" line naming sh or bash), CMake files and systemd units (*.service,
# *.timer) get "# SPDX-..." as their first line, or their second after a "#!" line, which
# must stay first. A file that already names
# any SPDX licence in its first lines is left as it is: a file taken from elsewhere keeps
# its own terms.
set -euo pipefail
cd "$(dirname "$0")/.."

license=GPL-3.0-or-later
check=0
case "${1:-}" in
"") ;;
--check) check=1 ;;
*)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac

# The comment style of a file, or nothing when the file is not one we mark.
style_of() { # FILE
    case "$1" in
    *.cpp | *.h) echo cpp ;;
    *.sh | */CMakeLists.txt | CMakeLists.txt | *.cmake | *.service | *.timer) echo hash ;;
    *)
        if head -n 1 -- "$1" 2>/dev/null | grep -Eq '^#!.*\b(ba)?sh\b'; then echo hash; fi
        ;;
    esac
}

has_spdx() { # FILE: an identifier in the first three lines (after a "#!" line, say)
    head -n 3 -- "$1" | grep -q 'SPDX-License-Identifier:'
}

add_spdx() { # FILE STYLE
    local file=$1 line
    if [ "$2" = cpp ]; then line="// SPDX-License-Identifier: $license"; else line="# SPDX-License-Identifier: $license"; fi
    if [ ! -s "$file" ]; then
        printf '%s\n' "$line" >"$file"
    elif [ "$2" = hash ] && head -n 1 -- "$file" | grep -q '^#!'; then
        sed -i "1a $line" -- "$file"
    else
        sed -i "1i $line" -- "$file"
    fi
}

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -d '' files < <(git ls-files -z --cached --others --exclude-standard)
else
    mapfile -d '' files < <(find . -path ./.git -prune -o -path './build*' -prune -o -type f -printf '%P\0')
fi

missing=()
for f in "${files[@]}"; do
    [ -f "$f" ] || continue # listed by git but deleted in the work tree
    style=$(style_of "$f")
    [ -n "$style" ] || continue
    has_spdx "$f" && continue
    missing+=("$f")
    [ $check -eq 1 ] || add_spdx "$f" "$style"
done

if [ $check -eq 1 ]; then
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Files without an SPDX-License-Identifier line (scripts/spdx.sh adds it):" >&2
        printf '  %s\n' "${missing[@]}" >&2
        exit 1
    fi
    echo "SPDX lines: every source file has one"
else
    echo "SPDX lines added to ${#missing[@]} file(s)"
fi
