#!/usr/bin/env bash
# Cross builds velkor for Windows with mingw-w64 into build-win/ and runs its
# tests under Wine: the unit tests, then whole runs of velkor.exe against the
# Linux target server (build/velkor_target, made here if the Linux build has not),
# under the poller Wine gets by default (WSAPoll) and again under the
# completion port (VELKOR_POLLER=iocp); CTest runs the unit tests under both.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j2
if [[ ! -x build/velkor_target ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
  cmake --build build -j2 --target velkor_target
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$PWD/build-win/wine-prefix"
export WINEDEBUG=-all
# Mono and Gecko are not needed, and their installers would reach for the network.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The first program on a fresh Wine server starts the prefix's services, and
# they inherit its standard output and error. Started here, once, they hold
# this log open rather than the pipes a test reads to their end; a persistent
# server keeps them for every run that follows. The first boot also creates
# the prefix, which takes a while.
mkdir -p "$WINEPREFIX"
"$wineserver" -k 2>/dev/null || true # one left from an earlier run may not be persistent
"$wineserver" -p
trap '"$wineserver" -k || true' EXIT
started=$SECONDS
"$wine" wineboot -i >build-win/wineboot.log 2>&1
echo "Wine prefix ready in $((SECONDS - started)) s"

ctest --test-dir build-win --output-on-failure

root=$PWD
cd tests/e2e/windows
VELKOR_BIN="$root/build-win/velkor.exe" \
  VELKOR_REPORT_BIN="$root/build-win/velkor-report.exe" \
  VELKOR_TARGET_BIN="$root/build/velkor_target" \
  VELKOR_LAUNCHER="$wine" \
  VELKOR_ENCODING=gbk \
  python3 -m unittest -v test_windows_runs test_windows_https test_windows_reach \
  test_windows_pollers
echo "The same runs under the completion port poller:"
VELKOR_POLLER=iocp \
  VELKOR_BIN="$root/build-win/velkor.exe" \
  VELKOR_REPORT_BIN="$root/build-win/velkor-report.exe" \
  VELKOR_TARGET_BIN="$root/build/velkor_target" \
  VELKOR_LAUNCHER="$wine" \
  VELKOR_ENCODING=gbk \
  python3 -m unittest -v test_windows_runs test_windows_https test_windows_reach

cd "$root"
bash tests/check_windows_zip.sh "$wine" "$root/build/velkor_target"
