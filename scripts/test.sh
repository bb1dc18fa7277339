#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds and runs all tests. Usage: scripts/test.sh [normal|asan|tsan|all]
#   normal (default)  the ordinary build in build/
#   asan              AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   tsan              ThreadSanitizer build in build-tsan/
#   all               the three, one after the other
# Exits non-zero on any failure; ends with CTest's summary.
#
# The tests run as an ordinary user, who is the one running the program: root ignores file
# permissions and the exclusive-open lock of a serial device, so a fault an operator meets
# can pass as root. Run as root, this script creates (once) the system user xrqtest in the
# group that owns serial devices and runs the suite as that user, then runs the few tests
# that need root in a short pass of their own. Run as an ordinary user, it runs the suite as
# that user and names the root-only tests it leaves out.
source "$(dirname "$0")/common.sh"

mode=${1:-normal}
case "$mode" in
normal | asan | tsan | all) ;;
*)
    echo "usage: $0 [normal|asan|tsan|all]" >&2
    exit 2
    ;;
esac

# Tests that need root carry the CTest label "root" (their suite's name ends in "AsRoot", see
# tests/CMakeLists.txt): they mount a small tmpfs to give the program a read-only or a full
# disk. They fail, not skip, where mounting is refused, and one moved to another suite runs
# in the ordinary user's pass and so fails there: neither goes unnoticed. Tests labelled
# "also-root" run in both passes: as the ordinary user the priority test checks that a
# lowered priority stays lowered (and skips the rest, saying so); as root it checks that the
# exact nice value comes back.
root_tests_why="they mount a tmpfs (a read-only and a full disk), which needs root"
test_user=xrqtest
serial_group=dialout # owns /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* on Debian

install_missing_packages

# The tests' environment (headless Qt, the sanitizers' options) is the test presets' in
# CMakePresets.json: `ctest --preset asan` is the run this script makes as the ordinary user,
# and `ctest --preset asan-root` its root pass.

# Set to 1 by any failing test run; a failing build or setup ends the script at once.
status=0

# The test user and its group membership; idempotent. The checkout (and its build folders)
# is made readable to all; nothing outside it is changed.
prepare_test_user() {
    getent group "$serial_group" >/dev/null || groupadd --system "$serial_group"
    if ! id -u "$test_user" >/dev/null 2>&1; then
        say "Creating the system user $test_user (group $serial_group) to run the tests as"
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
            --groups "$serial_group" "$test_user"
    elif ! id -nG "$test_user" | tr ' ' '\n' | grep -qx "$serial_group"; then
        usermod -a -G "$serial_group" "$test_user"
    fi
    chmod -R a+rX "$XRQ_ROOT"
}

# The folder nearest the root above the checkout that the test user cannot pass through
# (a checkout under /root, say), or nothing when the user reaches the checkout.
blocked_folder() {
    local d=$XRQ_ROOT blocked=""
    while [ "$d" != / ]; do
        d=$(dirname "$d")
        runuser -u "$test_user" -- test -x "$d" || blocked=$d
    done
    printf '%s' "$blocked"
}

# Runs COMMAND... where the test user reaches the checkout at its own path. When a folder
# above it is closed to that user, the command runs in a mount namespace of its own in which
# that folder is covered by a bare skeleton leading to the checkout (a bind mount of it);
# the folders' permissions stay as they are and the covering ends with the command. Root
# mounts anyway for the tests that need it, so this asks for nothing more.
with_checkout_reachable() { # COMMAND...
    local blocked
    blocked=$(blocked_folder)
    if [ -z "$blocked" ]; then
        "$@"
        return
    fi
    say "$test_user cannot pass through $blocked: running its pass in a mount namespace" \
        "where only the way to $XRQ_ROOT is open"
    local skeleton
    skeleton=$(mktemp -d /tmp/xrqtest-path.XXXXXX)
    chmod 755 "$skeleton"
    local inner=$skeleton/${XRQ_ROOT#"$blocked"/}
    (umask 022 && mkdir -p "$inner")
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --mount --propagation private -- bash -c '
        set -e
        mount --bind "$1" "$2"
        mount --rbind "$3" "$4" # with the checkout bound inside it
        shift 4
        exec "$@"' _ "$XRQ_ROOT" "$inner" "$skeleton" "$blocked" "$@" || {
        local rc=$?
        rm -rf "$skeleton"
        if ! unshare --mount true 2>/dev/null; then
            echo "error: $test_user cannot reach $XRQ_ROOT (it cannot pass through $blocked)," \
                "and no mount namespace can be had here to open the way. Put the checkout" \
                "where every user can pass (under /srv or /tmp, say), or open $blocked" \
                "to $test_user yourself." >&2
        fi
        return $rc
    }
    rm -rf "$skeleton"
}

# CTest keeps its logs in the build folder's Testing/; each pass runs with a HOME and XDG
# folders of its own, removed afterwards.
run_as_test_user() { # PRESET CTEST-ARGS...
    local preset=$1 dir=$XRQ_ROOT/$2
    shift 2
    mkdir -p "$dir/Testing"
    chown -R "$test_user" "$dir/Testing"
    local home
    home=$(mktemp -d /tmp/xrqtest-home.XXXXXX)
    mkdir -p "$home/.config" "$home/.local/share" "$home/.cache" "$home/runtime"
    chmod 700 "$home/runtime"
    chown -R "$test_user:" "$home"
    # shellcheck disable=SC2016 # expanded by the inner shell
    with_checkout_reachable runuser -u "$test_user" -- env -i PATH="$PATH" HOME="$home" \
        XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
        XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/runtime" \
        ${LANG:+LANG="$LANG"} \
        bash -c 'cd "$1" && shift && exec ctest "$@"' _ "$XRQ_ROOT" --preset "$preset" "$@" ||
        status=1
    rm -rf "$home"
}

ctest_preset() { # PRESET CTEST-ARGS...
    (cd "$XRQ_ROOT" && ctest --preset "$@") || status=1
}

root_test_names() { # DIR
    ctest --test-dir "$1" -N -L '^root$' | sed -n 's/^ *Test *#[0-9]*: /    /p'
}

run_one() { # PRESET DIR
    local preset=$1 dir=$XRQ_ROOT/$2
    build_tree "$preset"
    if [ "$(id -u)" -eq 0 ]; then
        prepare_test_user
        say "Running tests in $dir as the ordinary user $test_user (group $serial_group):" \
            "root would pass what an operator's permissions refuse"
        run_as_test_user "$preset" "$2"
        say "Running the tests that need root in $dir, as root: $root_tests_why;" \
            "and those that run as root as well (only root may raise a priority back)"
        root_test_names "$dir"
        ctest_preset "$preset-root"
    else
        say "Running tests in $dir as $(id -un)"
        ctest_preset "$preset"
        say "NOT RUN: the tests that need root, because $root_tests_why." \
            "Run this script as root (sudo) to run them, and the rest as an ordinary user:"
        root_test_names "$dir"
    fi
}

case "$mode" in
normal) run_one normal build ;;
asan) run_one asan build-asan ;;
tsan) run_one tsan build-tsan ;;
all)
    run_one normal build
    run_one asan build-asan
    run_one tsan build-tsan
    ;;
esac
exit $status
