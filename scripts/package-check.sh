#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the Debian package as a packager and a desktop user would: builds it
# (scripts/package.sh), runs lintian (no error, no warning), desktop-file-validate (no
# output) and appstreamcli validate --strict, installs it with apt-get, checks the installed
# files and the desktop entry, verifies the systemd examples (systemd-analyze, where
# installed), runs the installed xrq-collect --help (exit 0, the exit status listed), starts
# the installed xrq offscreen as an ordinary user with a HOME of its own and ends it with
# SIGTERM (it must exit 0 and close its run log), purges the package and checks that none of
# its files is left. Usage: scripts/package-check.sh [PRESET]
# Needs root (it installs the package); exits non-zero on the first failure, naming it.
source "$(dirname "$0")/common.sh"

[ "$(id -u)" -eq 0 ] || { echo "$0 installs a package: run it as root" >&2; exit 1; }
fail() { echo "PACKAGE CHECK FAILED: $*" >&2; exit 1; }

if dpkg-query -W -f='${Status}' xrq 2>/dev/null | grep -q 'install ok installed'; then
    fail "the package xrq is installed already; remove it first: apt-get purge xrq"
fi

deb=$(bash "$XRQ_ROOT/scripts/package.sh" "$@" | tail -n 1)
[ -f "$deb" ] || fail "no package built"
say "Package: $deb ($(stat -c %s "$deb") bytes)"
dpkg-deb --field "$deb" Depends

say "lintian $(basename "$deb")"
# Root is how CI runs it; lintian's note about that is not about the package.
lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2) ||
    fail "lintian reported errors or warnings"
echo "lintian: no errors, no warnings"

say "desktop-file-validate packaging/xrq.desktop"
out=$(desktop-file-validate "$XRQ_ROOT/packaging/xrq.desktop" 2>&1) || true
[ -z "$out" ] || fail "desktop-file-validate: $out"
echo "desktop-file-validate: no output"

metainfo=io.github.xrq_control.Control.metainfo.xml
say "appstreamcli validate --strict --no-net packaging/$metainfo"
appstreamcli validate --strict --no-net "$XRQ_ROOT/packaging/$metainfo" ||
    fail "appstreamcli validate --strict"
# The metainfo, desktop entry and icon as they lie in the package, together.
tree=$(mktemp -d /tmp/xrq-package-tree.XXXXXX)
work=$(mktemp -d /tmp/xrq-package-run.XXXXXX)
installed=0
cleanup() {
    rm -rf "$tree" "$work"
    if [ $installed -eq 1 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -qq xrq >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$tree"
say "appstreamcli validate-tree --no-net (the package's files)"
appstreamcli validate-tree --no-net "$tree" || fail "appstreamcli validate-tree"

say "Installing the package with apt-get"
installed=1
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$deb" ||
    fail "apt-get install $deb"
dpkg-query -W -f='${Status}\n' xrq | grep -q 'install ok installed' || fail "xrq not installed"
dpkg -L xrq >"$work/files"
echo "$(wc -l <"$work/files") paths installed"

say "Checking the installed files"
programs=(xrq xrq-unit-sim xrq-view xrq-collect xrq-series xrq-office)
for prog in "${programs[@]}"; do
    f=/usr/bin/$prog
    [ -x "$f" ] || fail "$f is missing or not executable"
    file "$f" | grep -q ', stripped' || fail "$f is not stripped"
done
for prog in "${programs[@]}"; do
    page=$(man -w "$prog" 2>/dev/null) || fail "no manual page for $prog"
    [ "$page" = "/usr/share/man/man1/$prog.1.gz" ] || fail "man -w $prog gives $page"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || true
    [ -z "$warnings" ] || fail "manual page $prog(1): $warnings"
done
doc=/usr/share/doc/xrq
examples=(examples/xrq-collect.service examples/xrq-collect.timer examples/xrq-office.service)
for f in copyright changelog.gz guide.html "${examples[@]}"; do
    [ -f "$doc/$f" ] || fail "$doc/$f is missing"
done
zcat "$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version | grep -qx "$(dpkg-deb --field "$deb" Version)" ||
    fail "the changelog's newest version is not the package's"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright" ||
    fail "$doc/copyright is not machine-readable"
# Every picture and page the guide points at is installed beside it.
for ref in $(grep -o '\(src\|href\)="[^":#]*"' "$doc"/*.html | sed 's/.*="\(.*\)"/\1/' | sort -u); do
    [ -f "$doc/$ref" ] || fail "the guide refers to $ref, which is not installed"
done
for size in 16 22 24 32 48 64 128 256; do
    png=/usr/share/icons/hicolor/${size}x${size}/apps/xrq.png
    file "$png" | grep -q "PNG image data, $size x $size," || fail "$png is missing or not $size x $size"
done
[ -f /usr/share/icons/hicolor/scalable/apps/xrq.svg ] || fail "the scalable icon is missing"
[ -f /usr/share/metainfo/$metainfo ] || fail "the AppStream metadata is missing"
if find /usr/bin /usr/share -newer "$deb" -name '*xrq*' -perm /022 -print -quit | grep -q .; then
    fail "a file of the package is writable by group or others"
fi
echo "programs, manual pages, guide, copyright, changelog, systemd examples, icons and metadata in place"

say "Checking the installed desktop entry"
entry=/usr/share/applications/xrq.desktop
out=$(desktop-file-validate "$entry" 2>&1) || true
[ -z "$out" ] || fail "desktop-file-validate $entry: $out"
exec_prog=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ "$(command -v "$exec_prog")" = /usr/bin/xrq ] || fail "Exec=$exec_prog is not the installed /usr/bin/xrq"
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon has no installed icon"
echo "$entry: valid, Exec=$exec_prog is /usr/bin/xrq, Icon=$icon installed"

say "Verifying the systemd examples in $doc/examples"
# As the user units they are meant to be, once copied: the commands they name and their
# manual pages must be installed. The check needs a runtime folder of its own.
if command -v systemd-analyze >/dev/null; then
    mkdir -m 700 "$work/systemd-runtime"
    out=$(cd "$work" && XDG_RUNTIME_DIR="$work/systemd-runtime" \
        systemd-analyze verify --user "${examples[@]/#/$doc/}" 2>&1) ||
        fail "systemd-analyze verify --user: $out"
    [ -z "$out" ] || fail "systemd-analyze verify --user: $out"
    echo "systemd-analyze verify --user: no output"
else
    echo "systemd-analyze not installed (Debian package systemd): the examples were not verified"
fi

say "Running the installed xrq-collect --help as an ordinary user"
status=0
help=$(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups env -i PATH=/usr/bin:/bin \
    HOME=/nonexistent /usr/bin/xrq-collect --help 2>&1) || status=$?
[ $status -eq 0 ] || fail "xrq-collect --help exited with status $status: $help"
grep -q '^Exit status' <<<"$help" || fail "xrq-collect --help lists no exit status: $help"
for code in $(seq 0 10); do
    grep -qE "^  $code +[a-z]" <<<"$help" || fail "xrq-collect --help does not explain exit status $code"
done
echo "xrq-collect --help: status 0, $(grep -cE '^  [0-9]+ ' <<<"$help") exit codes listed"

say "Starting the installed xrq offscreen as an ordinary user, then SIGTERM"
# nobody, with a HOME of its own: what an operator's first start finds.
user=nobody
home=$work/home
chmod 755 "$work" # mktemp's 700 would keep the user out of its own HOME
mkdir -p "$home/Desktop" "$home/start" "$home/runtime"
chmod 700 "$home/runtime"
chown -R "$user:" "$home"
log=$home/.local/share/Quorvant/XRQ/XRQ_log.txt
# setpriv execs the program in place (runuser would stay between, and take the signal).
(cd "$home/start" && exec setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups env -i PATH=/usr/bin:/bin HOME="$home" \
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$home/runtime" /usr/bin/xrq >"$work/xrq.out" 2>&1) &
pid=$!
# The run log's start line says the window is up; tail -F follows the file once it exists.
# (Only grep's answer counts: tail ends by SIGPIPE once grep has its line.)
grep -q -m 1 -F '***** Program Start *****' < <(timeout 60 tail -n +1 -F "$log" 2>/dev/null) ||
    { cat "$work/xrq.out" >&2; fail "the installed xrq did not start within 60 s"; }
kill -TERM "$pid"
status=0
timeout 30 tail --pid="$pid" -f /dev/null || fail "xrq did not end within 30 s of SIGTERM"
wait "$pid" || status=$?
[ $status -eq 0 ] || { cat "$work/xrq.out" >&2; fail "xrq exited with status $status after SIGTERM"; }
tail -n 1 "$log" | grep -qF '***** Program End *****' || fail "the run log does not end with the end line"
echo "xrq started, and ended by SIGTERM with status 0; run log:"
sed 's/^/    /' "$log"

say "Purging the package"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -qq xrq ||
    fail "apt-get purge xrq"
installed=0
! dpkg-query -W -f='${Status}' xrq 2>/dev/null | grep -q 'installed' || fail "xrq still installed"
left=()
while read -r path; do
    # Shared folders (/usr, /usr/bin ...) stay; every file, and every folder of ours, goes.
    if [ -e "$path" ] || [ -L "$path" ]; then
        if [ ! -d "$path" ] || [[ $path == *xrq* ]]; then left+=("$path"); fi
    fi
done <"$work/files"
[ ${#left[@]} -eq 0 ] || fail "left behind after purge: ${left[*]}"
[ ! -e /var/lib/dpkg/info/xrq.list ] || fail "dpkg still lists files of xrq"
echo "nothing of the package is left ($(wc -l <"$work/files") paths checked)"

say "Package check passed"
