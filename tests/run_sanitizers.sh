#!/usr/bin/env bash
# Builds velkor, its target server and its tests with clang under
# AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/) and under
# ThreadSanitizer (build-tsan/), and runs the test suite in each. Any sanitizer
# report fails the script, whichever process it came from.
#
# Usage: tests/run_sanitizers.sh [asan] [tsan]   (both when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

suites=("$@")
((${#suites[@]})) || suites=(asan tsan)

# Every report also goes to a file under the build directory: a report in a
# process whose exit status no test looks at (a server the tests start) is
# still found there afterwards. exitcode=66 makes a reporting process fail
# where it would otherwise have ended with 0.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:exitcode=66
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=66
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:exitcode=66
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0

# Fails when any process of the suite wrote a sanitizer report.
check_reports() {
    local report_dir=$1
    local reports=("$report_dir"/*)
    [[ -e ${reports[0]} ]] || return 0
    echo "sanitizer reports found:" >&2
    for report in "${reports[@]}"; do
        echo "==== $report" >&2
        head -n 60 "$report" >&2
    done
    return 1
}

# build_and_test DIR SANITIZERS SLOWDOWN [ctest arguments...]
build_and_test() {
    local dir=$1 sanitize=$2 slowdown=$3
    shift 3
    local report_dir="$PWD/$dir/sanitizer-reports"
    echo "== $dir: -fsanitize=$sanitize"
    CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELKOR_SANITIZE="$sanitize" -DCMAKE_CXX_FLAGS="-fno-sanitize-recover=all" >/dev/null
    cmake --build "$dir" -j2
    rm -rf "$report_dir"
    mkdir -p "$report_dir"
    local status=0
    ASAN_OPTIONS=$ASAN_OPTIONS:log_path=$report_dir/asan \
        UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$report_dir/ubsan \
        TSAN_OPTIONS=$TSAN_OPTIONS:log_path=$report_dir/tsan \
        VELKOR_SLOW=$slowdown \
        ctest --test-dir "$dir" --output-on-failure "$@" || status=$?
    check_reports "$report_dir" || status=1
    return "$status"
}

for suite in "${suites[@]}"; do
    case $suite in
        asan)
            # The unit tests, and the end-to-end files that drive each kind
            # of input and connection: the runs that check timing or output
            # alone (the run's edges, rate plans, latency figures, reports,
            # the poller choice, the chart page, the Kubernetes job) are the
            # plain build's, and the code they drive runs here through these.
            build_and_test build-asan address,undefined 3 \
                -E 'e2e\.test_(run_timing|rate_plan|latency|report|report_plot|poller_choice|kubernetes_job)$'
            ;;
        tsan)
            # ThreadSanitizer slows socket-heavy runs five to fifteen times:
            # the unit tests and the end-to-end files whose runs exercise the
            # threads (the progress line, the metrics endpoint, TLS, faults,
            # the connections' counts) run here; the rest run under ASan or
            # in the plain build.
            build_and_test build-tsan thread 10 \
                -R '^([A-Z]|e2e\.test_(faults|https|latency|connections|metrics|hostile_input|command_line)$)'
            ;;
        *)
            echo "unknown suite '$suite' (asan or tsan)" >&2
            exit 2
            ;;
    esac
done
