#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ and runs each for a short while
# from its starting corpus; any crash, sanitizer report or broken property fails.
#
# Usage: tests/run_fuzz.sh [seconds per target]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
targets=(integer_rule response_framer url result_file)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELKOR_FUZZ=ON -DVELKOR_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 --target velkor_fuzz_targets

for target in "${targets[@]}"; do
    # New inputs go to a scratch directory, so the starting corpus in the tree
    # stays as committed; a crashing input is kept in build-fuzz/ to replay.
    scratch="build-fuzz/corpus/$target"
    mkdir -p "$scratch"
    echo "== fuzzing $target for ${seconds}s"
    if ! "build-fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build-fuzz/${target}-" "$scratch" "tests/fuzz/corpus/$target" \
        >"build-fuzz/$target.log" 2>&1; then
        tail -n 60 "build-fuzz/$target.log" >&2
        echo "fuzzing $target failed; the input is in build-fuzz/${target}-*" >&2
        exit 1
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE' "build-fuzz/$target.log" || tail -n 3 "build-fuzz/$target.log"
done
