#!/usr/bin/env bash
# Builds and runs all tests. Usage: scripts/test.sh [normal|asan|tsan|all]
#   normal (default)  the ordinary build in build/
#   asan              AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   tsan              ThreadSanitizer build in build-tsan/
#   all               the three, one after the other
# Exits non-zero on any failure; ends with CTest's summary.
source "$(dirname "$0")/common.sh"

mode=${1:-normal}
case "$mode" in
normal | asan | tsan | all) ;;
*)
    echo "usage: $0 [normal|asan|tsan|all]" >&2
    exit 2
    ;;
esac

install_missing_packages

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$XRQ_ROOT/tests/tsan.supp}
# Leaks inside the platform's GUI libraries are not ours to fix.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$XRQ_ROOT/tests/lsan.supp:print_suppressions=0}

run_one() {
    local dir=$1 sanitize=${2:-}
    build_tree "$XRQ_ROOT/$dir" "$sanitize"
    say "Running tests in $dir"
    (cd "$XRQ_ROOT/$dir" && ctest --output-on-failure --parallel 2 --timeout 600)
}

status=0
case "$mode" in
normal) run_one build || status=$? ;;
asan) run_one build-asan address || status=$? ;;
tsan) run_one build-tsan thread || status=$? ;;
all)
    run_one build || status=$?
    run_one build-asan address || status=$?
    run_one build-tsan thread || status=$?
    ;;
esac
exit $status
