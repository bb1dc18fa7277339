#!/usr/bin/env bash
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

# Tests that need root: they mount a small tmpfs to give the program a read-only or a full
# disk. They fail, not skip, where mounting is refused, and a renamed one no longer matches
# here and so fails in the ordinary user's pass: neither goes unnoticed.
root_tests='^Faults\.(DataDirectoryThatCannotTakeFilesIsReportedAndLosesNothing|FullWorkingDirectoryIsNotReportedAsACollection)$'
root_tests_why="they mount a tmpfs (a read-only and a full disk), which needs root"
# Runs in both passes: as the ordinary user it checks that a lowered priority stays lowered
# (and skips the rest, saying so); as root it checks that the exact nice value comes back.
both_tests='^ComPortPriority\.CloseGivesBackTheExactNiceValue$'
test_user=xrqtest
serial_group=dialout # owns /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* on Debian

install_missing_packages

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Qt and the C library are not built with ThreadSanitizer: their own memory accesses are
# never seen, and neither are their futex-based locks. What it would see of them is only the
# string and allocation calls they make (Qt's painter handing fills to its thread pool, for
# one), always under those invisible locks, so every such report would be false. It ignores
# those calls; every access our own code makes is still checked, and no suppression is
# needed.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1}
# Leaks inside the platform's GUI libraries are not ours to fix.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$XRQ_ROOT/tests/lsan.supp:print_suppressions=0}

# Set to 1 by any failing test run; a failing build or setup ends the script at once.
status=0

ctest_in() { # DIR CTEST-ARGS...
    local dir=$1
    shift
    ctest --test-dir "$dir" --output-on-failure --parallel 2 --timeout 600 "$@" || status=1
}

# The test user, its group membership and its way to the build folder; idempotent.
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
    local d=$XRQ_ROOT
    while [ "$d" != / ]; do
        d=$(dirname "$d")
        if ! runuser -u "$test_user" -- test -x "$d"; then
            say "Letting $test_user pass through $d to reach the build folder"
            setfacl -m "u:$test_user:x" "$d" 2>/dev/null || chmod o+x "$d"
        fi
    done
}

# CTest keeps its logs in the build folder's Testing/; each pass runs with a HOME and XDG
# folders of its own, removed afterwards.
run_as_test_user() { # DIR CTEST-ARGS...
    local dir=$1
    shift
    mkdir -p "$dir/Testing"
    chown -R "$test_user" "$dir/Testing"
    local home
    home=$(mktemp -d /tmp/xrqtest-home.XXXXXX)
    mkdir -p "$home/.config" "$home/.local/share" "$home/.cache" "$home/runtime"
    chmod 700 "$home/runtime"
    chown -R "$test_user:" "$home"
    runuser -u "$test_user" -- env -i PATH="$PATH" HOME="$home" \
        XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
        XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/runtime" \
        ${LANG:+LANG="$LANG"} QT_QPA_PLATFORM="$QT_QPA_PLATFORM" ASAN_OPTIONS="$ASAN_OPTIONS" \
        UBSAN_OPTIONS="$UBSAN_OPTIONS" TSAN_OPTIONS="$TSAN_OPTIONS" LSAN_OPTIONS="$LSAN_OPTIONS" \
        ctest --test-dir "$dir" --output-on-failure --parallel 2 --timeout 600 "$@" ||
        status=1
    rm -rf "$home"
}

root_test_names() { # DIR
    ctest --test-dir "$1" -N -R "$root_tests" | sed -n 's/^ *Test *#[0-9]*: /    /p'
}

run_one() {
    local preset=$1 dir=$XRQ_ROOT/$2
    build_tree "$preset"
    if [ "$(id -u)" -eq 0 ]; then
        prepare_test_user
        say "Running tests in $dir as the ordinary user $test_user (group $serial_group):" \
            "root would pass what an operator's permissions refuse"
        run_as_test_user "$dir" -E "$root_tests"
        say "Running the tests that need root in $dir, as root: $root_tests_why"
        root_test_names "$dir"
        ctest_in "$dir" --no-tests=error -R "$root_tests"
        say "Running the priority test in $dir as root as well: only root may raise a priority back"
        ctest_in "$dir" --no-tests=error -R "$both_tests"
    else
        say "Running tests in $dir as $(id -un)"
        ctest_in "$dir" -E "$root_tests"
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
