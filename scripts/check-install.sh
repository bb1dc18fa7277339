#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that the scripts install everything the build and the tests use, so that a machine
# with nothing installed builds and tests as CI does. Run after a build (CI runs it after
# all of its builds). Usage:
#   scripts/check-install.sh [BUILD-FOLDER...]   (default: every build*/ folder with a build.ninja)
#   scripts/check-install.sh --self-test         (the package rules on a made-up package database)
#
# Every file of the system that a build folder used must belong, by dpkg's file lists, to a
# package the scripts install (XRQ_PACKAGES, XRQ_PACKAGING_PACKAGES, XRQ_CLANG_PACKAGES in
# scripts/common.sh) or to one that those depend on, as installed (Depends and Pre-Depends,
# through virtual packages and whichever choice of an alternative is installed): the headers
# the compiler read (`ninja -t deps`), the CMake files the configuration read, the libraries
# on the link lines (`-lNAME` found as the linker finds it) and the compiler. So must every
# program the tests start (XRQ_TEST_PROGRAMS), and every program that the tests' sources name
# must be in that list. A file of another package, or of none, fails the check, named with its
# package. The package database is read once (dpkg's file lists, one dpkg-query), so the
# check takes a second or two.
source "$(dirname "$0")/common.sh"

admindir=/var/lib/dpkg

# The installed packages that PACKAGE... bring, themselves included, one a line. Reads the
# whole status database in one dpkg-query.
package_closure() { # ADMINDIR PACKAGE...
    local dir=$1
    shift
    dpkg-query --admindir="$dir" -W \
        -f='${db:Status-Abbrev}\t${Package}\t${Provides}\t${Depends}, ${Pre-Depends}\n' |
        awk -F '\t' -v roots="$*" '
        # "libfoo:any (>= 1.2)" -> "libfoo"
        function bare(s) { sub(/\(.*\)/, "", s); gsub(/[ \t]/, "", s); sub(/:.*/, "", s); return s }
        $1 ~ /^ii/ {
            installed[$2] = 1
            deps[$2] = deps[$2] "," $4 # a package of two architectures: both are installed
            n = split($3, provided, ",")
            for (i = 1; i <= n; i++)
                if ((v = bare(provided[i])) != "") providers[v] = providers[v] " " $2
        }
        END {
            tail = split(roots, queue, " ")
            for (head = 1; head <= tail; head++) {
                p = queue[head]
                if (p in seen) continue
                seen[p] = 1
                if (p in installed) {
                    print p
                    groups = split(deps[p], group, ",")
                    for (g = 1; g <= groups; g++) {
                        # Which choice of "a | b" the install took is not recorded: every
                        # installed one counts.
                        choices = split(group[g], choice, "|")
                        for (c = 1; c <= choices; c++)
                            if ((d = bare(choice[c])) != "" && !(d in seen)) queue[++tail] = d
                    }
                }
                if (p in providers) {
                    n = split(providers[p], by, " ")
                    for (i = 1; i <= n; i++) queue[++tail] = by[i]
                }
            }
        }'
}

# Reads lines "KIND<TAB>PATH<TAB>RESOLVED" (RESOLVED: PATH with its links followed) and prints
# "PACKAGE<TAB>KIND<TAB>PATH" for each file that belongs to no package in ALLOWED-FILE
# (PACKAGE "(no package)" for one dpkg does not know). A file counts under its own name, the
# one its links lead to, and each of these with or without /usr in front of bin, sbin and lib*
# (a merged /usr: dpkg may list /lib/x/libc.so.6 and the build see /usr/lib/x/libc.so.6).
foreign_files() { # ADMINDIR ALLOWED-FILE
    local lists=("$1"/info/*.list)
    awk -F '\t' -v allowed="$2" '
        function other(p) {
            if (p ~ /^\/usr\/(bin|sbin|lib|lib32|lib64|libx32)\//) return substr(p, 5)
            if (p ~ /^\/(bin|sbin|lib|lib32|lib64|libx32)\//) return "/usr" p
            return ""
        }
        BEGIN { while ((getline line < allowed) > 0) ok[line] = 1 }
        FILENAME != "-" {
            if (FNR == 1) { # info/libfoo:amd64.list -> libfoo
                pkg = FILENAME; sub(/.*\//, "", pkg); sub(/\.list$/, "", pkg); sub(/:.*/, "", pkg)
            }
            owners[$0] = owners[$0] " " pkg
            next
        }
        {
            names[1] = $2; names[2] = other($2); names[3] = $3; names[4] = other($3)
            found = ""
            for (i = 1; i <= 4; i++) {
                # The link a package holds counts before the file it leads to (libfoo.so of
                # libfoo-dev, leading to libfoo.so.1 of libfoo1); only a link of no package
                # (an alternative such as /usr/bin/c++) counts as the file it leads to.
                if (i == 3 && found != "") break
                if (names[i] == "" || !(names[i] in owners)) continue
                k = split(owners[names[i]], by, " ")
                for (j = 1; j <= k; j++) {
                    if (by[j] in ok) next
                    if (found == "") found = by[j]
                }
            }
            print (found == "" ? "(no package)" : found) "\t" $1 "\t" $2
        }' "${lists[@]}" -
}

# The check on a made-up package database, each rule of the two functions above once.
self_test() {
    local dir
    dir=$(mktemp -d /tmp/xrq-check-install.XXXXXX)
    # shellcheck disable=SC2064 # the folder is known now
    trap "rm -rf '$dir'" RETURN
    mkdir -p "$dir/info" "$dir/updates"
    stanza() { # NAME STATUS [FIELD: VALUE...]
        printf 'Package: %s\nStatus: %s\nVersion: 1\nArchitecture: amd64\nMaintainer: x\nDescription: x\n' "$1" "$2"
        shift 2
        printf '%s\n' "$@"
        echo
    }
    {
        stanza top 'install ok installed' 'Depends: qualified:any (>= 1.0), gone | chosen, virtual' \
            'Pre-Depends: early'
        stanza qualified 'install ok installed' 'Depends: multi:amd64'
        stanza chosen 'install ok installed'
        stanza gone 'deinstall ok config-files' 'Depends: stray'
        stanza provider 'install ok installed' 'Provides: virtual (= 2)'
        stanza early 'install ok installed'
        stanza multi 'install ok installed'
        stanza stray 'install ok installed'
    } >"$dir/status"
    for p in top qualified chosen provider early stray; do
        printf '/usr/include/%s.h\n' "$p" >"$dir/info/$p.list"
    done
    printf '/usr/include/multi.h\n' >"$dir/info/multi:amd64.list"
    printf '/lib/x86_64-linux-gnu/libearly.so\n' >>"$dir/info/early.list"
    printf '/usr/bin/chosen-12\n' >>"$dir/info/chosen.list"
    printf '/usr/lib/libchosen.so.1\n' >>"$dir/info/chosen.list"
    printf '/usr/lib/libchosen.so\n' >>"$dir/info/stray.list"

    local failed=0 closure got expected
    closure=$(package_closure "$dir" top | sort | tr '\n' ' ')
    expected="chosen early multi provider qualified top "
    if [ "$closure" != "$expected" ]; then
        echo "self-test: closure of top is '$closure', expected '$expected'" >&2
        failed=1
    fi
    package_closure "$dir" top >"$dir/allowed"
    got=$(printf '%s\n' \
        "own	/usr/include/top.h	/usr/include/top.h" \
        "arch qualifier and version	/usr/include/qualified.h	/usr/include/qualified.h" \
        "list named with its architecture	/usr/include/multi.h	/usr/include/multi.h" \
        "installed alternative	/usr/include/chosen.h	/usr/include/chosen.h" \
        "virtual package	/usr/include/provider.h	/usr/include/provider.h" \
        "pre-depends, merged /usr	/usr/lib/x86_64-linux-gnu/libearly.so	/usr/lib/x86_64-linux-gnu/libearly.so" \
        "through a link of no package	/usr/bin/c++	/usr/bin/chosen-12" \
        "a link of its own	/usr/lib/libchosen.so	/usr/lib/libchosen.so.1" \
        "not depended on	/usr/include/stray.h	/usr/include/stray.h" \
        "of no package	/usr/local/include/mine.h	/usr/local/include/mine.h" |
        foreign_files "$dir" "$dir/allowed")
    expected=$(printf '%s\n' "stray	a link of its own	/usr/lib/libchosen.so" \
        "stray	not depended on	/usr/include/stray.h" \
        "(no package)	of no package	/usr/local/include/mine.h")
    if [ "$got" != "$expected" ]; then
        printf 'self-test: files outside the packages:\n%s\nexpected:\n%s\n' "$got" "$expected" >&2
        failed=1
    fi
    [ $failed -eq 0 ] && echo "check-install self-test passed"
    return $failed
}

if [ "${1:-}" = --self-test ]; then
    self_test
    exit
fi

started=$(date +%s%N)
if [ $# -gt 0 ]; then
    builds=("$@")
else
    builds=()
    for f in "$XRQ_ROOT"/build*/build.ninja; do
        [ -f "$f" ] && builds+=("$(dirname "$f")")
    done
fi
[ ${#builds[@]} -gt 0 ] || { echo "check-install: no build folder with a build.ninja" >&2; exit 2; }

work=$(mktemp -d /tmp/xrq-check-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
packages=("${XRQ_PACKAGES[@]}" "${XRQ_PACKAGING_PACKAGES[@]}" "${XRQ_CLANG_PACKAGES[@]}")
package_closure "$admindir" "${packages[@]}" >"$work/allowed"

# A used file outside the checkout, with its kind: KIND<TAB>PATH.
outside() { awk -v root="$XRQ_ROOT/" -v kind="$1" '/^\// && index($0, root) != 1 { print kind "\t" $0 }'; }

# The library the linker takes for -lNAME (or -l:FILE): the first folder of the -L folders,
# then the compiler's own, that holds libNAME.so or else libNAME.a.
find_library() { # NAME FOLDER...
    local name=$1 d f
    shift
    for d in "$@"; do
        if [[ $name == :* ]]; then
            f=$d/${name#:}
            [ -e "$f" ] && { echo "$f"; return; }
        else
            for f in "$d/lib$name.so" "$d/lib$name.a"; do
                [ -e "$f" ] && { echo "$f"; return; }
            done
        fi
    done
    return 1
}

unresolved=()
for build in "${builds[@]}"; do
    [ -f "$build/build.ninja" ] || { echo "check-install: $build has no build.ninja" >&2; exit 2; }
    cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
    [ -z "$cxx" ] || printf 'compiler\t%s\n' "$cxx"
    # Headers: each record's lines after its "target: #deps" line (the tree's own are relative).
    ninja -C "$build" -t deps | sed -n 's/^    //p' | sort -u | outside header
    # What CMake read to write build.ninja (its packages' configurations, its modules).
    ninja -C "$build" -t query build.ninja | sed -n 's/^    | //p' | outside "CMake file"
    # Link lines: the libraries named by path, and -lNAME found in -L and the compiler's folders.
    mapfile -t search < <("$cxx" -print-search-dirs | sed -n 's/^libraries: =//p' | tr ':' '\n')
    while IFS= read -r line; do
        read -ra words <<<"$line"
        dirs=()
        for w in "${words[@]}"; do [[ $w == -L?* ]] && dirs+=("${w#-L}"); done
        for w in "${words[@]}"; do
            case "$w" in
            /*.so | /*.so.* | /*.a) printf '%s\n' "$w" ;;
            -l?*)
                find_library "${w#-l}" "${dirs[@]}" "${search[@]}" ||
                    unresolved+=("$w (a link line in $build)")
                ;;
            esac
        done
    done < <(ninja -C "$build" -t commands | grep -v -e ' -c ' | grep -e ' -o ' | sort -u) \
        >"$work/linked"
    sort -u "$work/linked" | outside library
done >"$work/used"

# The tests' programs: each found (on PATH, or newest in its folder) and added as used.
missing_programs=()
listed=" "
for entry in "${XRQ_TEST_PROGRAMS[@]}"; do
    read -r name package folder <<<"$entry"
    listed+="$name "
    if [ -n "${folder:-}" ]; then
        path=$(compgen -G "$folder/$name" | sort -V | tail -n 1) || true
    else
        path=$(type -P "$name") || true
    fi
    if [ -n "$path" ] && [ -x "$path" ]; then
        printf 'program %s\t%s\n' "$name" "$path" >>"$work/used"
    else
        missing_programs+=("$name (package $package): not found${folder:+ in $folder}")
    fi
done
# Programs the tests' sources start by name, by the ways they have of doing it.
mapfile -t named < <(grep -rhoE \
    -e 'programOnPath\("[^"]+"\)' \
    -e 'findExecutable\(QStringLiteral\("[^"]+"\)\)' \
    -e '"/usr/bin/env", "[^"]+"' \
    -e 'm_binDir \+ "/[^"]+"' \
    -e 'commandOutput\("[^" ]+' \
    -e '"(/usr)?/s?bin/[^"/ ]+"' \
    "$XRQ_ROOT/tests" | sed -E 's/[")]+$//; s/.*"//; s|.*/||' | sort -u)
unlisted=()
for name in "${named[@]}"; do
    [[ $listed == *" $name "* ]] || unlisted+=("$name")
done

# Each path once, with the one its links lead to: KIND, PATH, RESOLVED. A file that is gone
# since the build (a stale record of a header since removed) is left out and counted.
gone=0
while IFS=$'\t' read -r kind path; do
    if [ -e "$path" ]; then printf '%s\t%s\n' "$kind" "$path"; else gone=$((gone + 1)); fi
done < <(sort -t $'\t' -k 2,2 -u "$work/used") >"$work/unique"
cut -f 2 "$work/unique" | xargs -d '\n' realpath -m -s -- >"$work/lexical"
cut -f 2 "$work/unique" | xargs -d '\n' realpath -m -- >"$work/resolved"
paste <(cut -f 1 "$work/unique") "$work/lexical" "$work/resolved" >"$work/query"
foreign_files "$admindir" "$work/allowed" <"$work/query" | sort >"$work/foreign"

declare -A count
while IFS=$'\t' read -r kind _; do count[${kind%% *}]=$((${count[${kind%% *}]:-0} + 1)); done <"$work/query"
left_out=""
[ $gone -eq 0 ] || left_out=", $gone files gone since the build left out"
took=$((($(date +%s%N) - started) / 1000000))
summary="${count[header]:-0} headers, ${count[CMake]:-0} CMake files, ${count[library]:-0} libraries, ${count[compiler]:-0} compilers and ${count[program]:-0} test programs from ${#builds[@]} build folder(s), $(wc -l <"$work/allowed") packages allowed${left_out}; $((took / 1000)).$(printf '%03d' $((took % 1000))) s"

if [ ! -s "$work/foreign" ] && [ ${#unresolved[@]} -eq 0 ] && [ ${#missing_programs[@]} -eq 0 ] &&
    [ ${#unlisted[@]} -eq 0 ]; then
    echo "check-install: everything used comes from the scripts' packages ($summary)"
    exit 0
fi
{
    echo "CHECK-INSTALL FAILED ($summary)"
    if [ -s "$work/foreign" ]; then
        echo "Used, but from a package the scripts do not install (add it to XRQ_PACKAGES in scripts/common.sh):"
        # At most three files a package, with the number of the rest.
        awk -F '\t' '{ n[$1]++; if (n[$1] <= 3) print "  " $1 ": " $3 " (" $2 ")" }
                     END { for (p in n) if (n[p] > 3) print "  " p ": and " n[p] - 3 " more files" }' \
            "$work/foreign"
    fi
    for m in "${unresolved[@]}"; do echo "  a library not found as the linker finds it: $m"; done
    for m in "${missing_programs[@]}"; do echo "  a test program is missing: $m"; done
    for m in "${unlisted[@]}"; do
        echo "  the tests start '$m', which XRQ_TEST_PROGRAMS in scripts/common.sh does not list"
    done
} >&2
exit 1
