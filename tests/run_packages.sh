#!/usr/bin/env bash
# Builds the Debian package from build/ and checks it as a user meets it:
# lintian finds no error, and from the package's files unpacked into a
# throwaway root, `velkor --version`, the man pages and a 2-second run against
# the target server work. The Windows zip is checked by tests/run_windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/support/target_server.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2
rm -rf build/packages
(cd build && cpack -G DEB >/dev/null)
debs=(build/packages/velkor_*.deb)
((${#debs[@]} == 1)) || { echo "expected one .deb, found: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends
# https links OpenSSL, so dpkg-shlibdeps must have found libssl3.
depends=$(dpkg-deb --field "$deb" Depends)
grep -q '\blibssl3\b' <<<"$depends" ||
  { echo "the package does not depend on libssl3: $depends" >&2; exit 1; }
# io_uring comes from liburing, found by dpkg-shlibdeps like the C library.
dpkg-deb --field "$deb" Depends | grep -q 'liburing' ||
  { echo "the package does not depend on liburing" >&2; exit 1; }

# Errors fail; the warnings accepted are listed in docs/packages.md.
if ! findings=$(lintian --fail-on error "$deb" 2>&1); then
  echo "lintian: $findings" >&2
  exit 1
fi
echo "lintian: no errors${findings:+; }$(grep -v 'root privileges' <<<"$findings" | tr '\n' ' ')"

root=$(mktemp -d)
log=$(mktemp)
target=
cleanup() {
  [[ -n $target ]] && kill "$target" 2>/dev/null || true
  rm -rf "$root" "$log"
}
trap cleanup EXIT
dpkg -x "$deb" "$root"
bin=$root/usr/bin
man1=$root/usr/share/man/man1

version=$(sed -n 's/^project(velkor VERSION \([^ ]*\).*/\1/p' CMakeLists.txt)
programs=(velkor)
[[ -x build/velkor-report ]] && programs+=(velkor-report)
for program in "${programs[@]}"; do
  [[ $("$bin/$program" --version) == "$program $version" ]] ||
    { echo "$program --version does not print \"$program $version\"" >&2; exit 1; }
  # `man` by name from the installed tree, and lintian's own render check:
  # any warning of groff fails.
  MANPATH=$root/usr/share/man man -P cat "$program" | grep -q "^NAME" ||
    { echo "man $program finds no page" >&2; exit 1; }
  warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$man1/$program.1.gz" 2>&1 >/dev/null)
  [[ -z $warnings ]] || { echo "man $program: $warnings" >&2; exit 1; }
done
echo "installed programs: ${programs[*]}, version $version, man pages render cleanly"

start_target_server build/velkor_target "$log"
summary=$("$bin/velkor" -t 2 -c 4 "http://$address/" --save "$root/run.json")
grep -q '^Total errors:        0$' <<<"$summary" || { echo "$summary" >&2; exit 1; }
completed=$(sed -n 's/^Completed requests:  //p' <<<"$summary")
((completed > 0)) || { echo "$summary" >&2; exit 1; }
echo "2-second run of the installed velkor: $completed requests, 0 errors"
saved_version=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["velkor_version"])' \
  "$root/run.json")
[[ $saved_version == "$version" ]] || { echo "the result file says version $saved_version" >&2; exit 1; }
if [[ -x $bin/velkor-report ]]; then
  reprinted=$("$bin/velkor-report" "$root/run.json")
  [[ $reprinted == *"Target URL:"* && $summary == *"$reprinted" ]] ||
    { echo "velkor-report does not reprint the run's summary" >&2; exit 1; }
  echo "the installed velkor-report reprints it"
fi
