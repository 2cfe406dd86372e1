#!/usr/bin/env bash
# Builds velkor and runs every test: the unit tests and the end-to-end runs.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
ctest --test-dir build --output-on-failure
bash tests/run_packages.sh
bash tests/run_sanitizers.sh
# Five seconds a target keeps the whole run inside CI's time; longer
# campaigns: bash tests/run_fuzz.sh 600
bash tests/run_fuzz.sh 5
bash tests/run_windows.sh
