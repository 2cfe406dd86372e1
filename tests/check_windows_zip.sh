#!/usr/bin/env bash
# Makes the Windows zip from build-win/ and checks it as a Windows user meets
# it: the programs need no DLL beyond Windows' own, the zip holds the programs,
# README.txt and LICENSE.txt, and velkor.exe, run under Wine from a folder
# holding only the zip's contents, loads the Linux target server.
# Run by tests/run_windows.sh, inside its Wine environment (WINEPREFIX and a
# persistent wineserver); usage: tests/check_windows_zip.sh WINE TARGET_SERVER
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/support/target_server.sh
wine=$1
target_server=$2

rm -rf build-win/packages
(cd build-win && cpack -G ZIP >/dev/null)
zips=(build-win/packages/velkor-*-win64.zip)
((${#zips[@]} == 1)) || { echo "expected one zip, found: ${zips[*]}" >&2; exit 1; }
zip=${zips[0]}
echo "package: $zip"

expected=(LICENSE.txt README.txt velkor.exe)
[[ -e build-win/velkor-report.exe ]] && expected+=(velkor-report.exe uPlot-LICENSE.txt)
listed=$(unzip -Z1 "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
wanted=$(printf '%s\n' "${expected[@]}" | sort | tr '\n' ' ')
[[ $listed == "$wanted" ]] || { echo "the zip holds: $listed; wanted: $wanted" >&2; exit 1; }

# Linked statically against libstdc++, libgcc and winpthread: only DLLs that
# every Windows has may be imported.
# secur32 and crypt32: Schannel and CryptoAPI, for https; ncrypt: CNG's key
# storage (every Windows since Vista), for a client certificate's key.
system_dlls=' kernel32.dll msvcrt.dll ws2_32.dll winmm.dll advapi32.dll ntdll.dll bcrypt.dll '
system_dlls+='user32.dll secur32.dll crypt32.dll ncrypt.dll '
for exe in "${expected[@]}"; do
  [[ $exe == *.exe ]] || continue
  for dll in $(x86_64-w64-mingw32-objdump -p "build-win/$exe" | sed -n 's/.*DLL Name: //p'); do
    dll=${dll,,}
    [[ $system_dlls == *" $dll "* || $dll == api-ms-win-* ]] ||
      { echo "$exe needs $dll, which Windows does not have" >&2; exit 1; }
  done
done

root=$(mktemp -d)
log=$(mktemp)
target=
cleanup() {
  [[ -n $target ]] && kill "$target" 2>/dev/null || true
  rm -rf "$root" "$log"
}
trap cleanup EXIT
unzip -q "$zip" -d "$root"
folder=$(echo "$root"/velkor-*-win64)
cd "$folder"
[[ $(head -c 200 README.txt | grep -c $'\r$') -gt 0 ]] || { echo "README.txt has no CRLF" >&2; exit 1; }

version=$(sed -n 's/^project(velkor VERSION \([^ ]*\).*/\1/p' "$OLDPWD/CMakeLists.txt")
for exe in "${expected[@]}"; do
  [[ $exe == *.exe ]] || continue
  printed=$("$wine" "$exe" --version | tr -d '\r')
  [[ $printed == "${exe%.exe} $version" ]] || { echo "$exe --version: $printed" >&2; exit 1; }
done

start_target_server "$target_server" "$log"
summary=$("$wine" velkor.exe -t 2 -c 4 "http://$address/" --save run.json | tr -d '\r')
grep -q '^Total errors:        0$' <<<"$summary" || { echo "$summary" >&2; exit 1; }
completed=$(sed -n 's/^Completed requests:  //p' <<<"$summary")
((completed > 0)) || { echo "$summary" >&2; exit 1; }
echo "velkor.exe from the unpacked zip under Wine: version $version, 2-second run: $completed requests, 0 errors"
if [[ -e velkor-report.exe ]]; then
  reprinted=$("$wine" velkor-report.exe run.json | tr -d '\r')
  [[ $reprinted == *"Target URL:"* && $summary == *"$reprinted" ]] ||
    { echo "velkor-report.exe does not reprint the run's summary: $reprinted" >&2; exit 1; }
  echo "velkor-report.exe from the zip reprints it"
fi
