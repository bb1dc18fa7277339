#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The functions of our own rooms longer than a limit (80 lines unless told), each with its
# length, longest first. A function may stay long when the line just above it (or above its
# template line) is a comment beginning "// Whole:" that says why; --check fails on any other.
# Lambdas count inside the function that holds them, not on their own.
# Not checked here: bench/ and tools/ (benchmarks and one-off programs read as scripts),
# tests/, and the units being split apart on their own (STILL_SPLITTING below).
# The functions' extents come from Universal Ctags (Debian's universal-ctags, --fields=+ne:
# each definition's first and last line), a real C++ parser that knows where a body ends
# through strings, comments, templates and nested braces; counting braces in a script
# would not.
# Usage: scripts/long-functions.sh [--check] [LIMIT]
set -euo pipefail
cd "$(dirname "$0")/.."

# Units whose split is its own piece of work: their long functions go with that split.
STILL_SPLITTING='^(series/series_store\.cpp|fleet/pusher\.cpp|register/units_window\.cpp)$'

check=0
if [ "${1:-}" = "--check" ]; then
    check=1
    shift
fi
limit=${1:-80}
command -v ctags >/dev/null || { echo "long-functions: ctags (universal-ctags) is not installed" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -vE '^(bench|tools|tests)/' |
    grep -vE "$STILL_SPLITTING" || true)
[ ${#files[@]} -gt 0 ] || exit 0

# "length file line name", one a function over the limit.
long=$(ctags --languages=C++ --kinds-C++=f --fields=+ne --sort=no -o - "${files[@]}" |
    awk -F'\t' -v limit="$limit" '
        $1 ~ /^__anon/ { next }
        {
            start = 0; end = 0; scope = ""
            for (i = 4; i <= NF; i++) {
                if ($i ~ /^line:/) start = substr($i, 6)
                else if ($i ~ /^end:/) end = substr($i, 5)
                else if ($i ~ /^(class|struct|namespace|function):/) { scope = $i; sub(/^[a-z]+:/, "", scope) }
            }
            if (start && end && end - start + 1 > limit)
                print end - start + 1, $2, start, (scope != "" ? scope "::" : "") $1
        }' | sort -k1,1nr -k2,2 -k3,3n)

bad=0
while read -r length file line name; do
    [ -n "${length:-}" ] || continue
    # The comment that keeps it whole: just above its head, which may begin lines above its
    # name (a template line, a return type of its own): up over every line that is neither
    # blank, a comment, a preprocessor line nor the end of what stands before.
    head=$line
    while [ "$head" -gt 1 ]; do
        prev=$(sed -n "$((head - 1))p" "$file")
        [[ $prev =~ ^[[:space:]]*$ || $prev =~ ^[[:space:]]*(//|#) || $prev =~ [\;\{\}\)][[:space:]]*$ ]] && break
        head=$((head - 1))
    done
    above=$(sed -n "$((head > 1 ? head - 1 : 1))p" "$file")
    if [[ $above =~ ^[[:space:]]*//\ Whole: ]]; then
        mark=whole
    else
        mark=LONG
        bad=1
    fi
    printf '%5d  %-6s %s:%s  %s\n' "$length" "$mark" "$file" "$line" "$name"
done <<<"$long"

if [ $check -eq 1 ]; then
    if [ $bad -eq 0 ]; then
        echo "long-functions: every function over $limit lines says why it stays whole"
    else
        echo "long-functions: functions over $limit lines (marked LONG) without a '// Whole:' comment above them"
    fi
    exit $bad
fi
exit 0
