#!/usr/bin/env bash
# The Windows build: cross-compiles the executable and the tests with mingw-w64 (the "mingw" preset,
# -Wall -Wextra -Werror, so any warning fails), checks that selection-watcher.exe imports the system
# calls it is built on, and runs the tests under Wine, headless, in a Wine prefix of its own: the
# core on the simulated desktop, the browsers' identities, and the Windows process layer with both
# executables (Wine has no UI Automation client: the real one must refuse to start).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

cmake --preset mingw >/dev/null
log=build/mingw/build.log
status=0
cmake --build --preset mingw -j"$(nproc)" >"$log" 2>&1 || status=$?
grep -E 'warning|error' "$log" || true
warnings=$(grep -c 'warning:' "$log" || true)
echo "wine: mingw-w64 build status $status, $warnings warnings"
((status == 0 && warnings == 0)) || exit 1

exe=build/mingw/selection-watcher.exe
imports=$(x86_64-w64-mingw32-objdump -p "$exe")
for call in CoCreateInstance SetWinEventHook QueryFullProcessImageNameW RegisterRawInputDevices; do
  grep -qw "$call" <<<"$imports" || { echo "wine: $exe does not import $call" >&2; exit 1; }
done
echo "wine: $exe imports CoCreateInstance, SetWinEventHook, QueryFullProcessImageNameW and RegisterRawInputDevices"

# A prefix of our own, and its server started first and apart, so that no test's output pipe is
# held open by the server that outlives it.
prefix=$(mktemp -d /tmp/sw-wine-XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineserver=$(command -v wineserver64 || command -v wineserver || echo /usr/lib/wine/wineserver64)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT
"$wineserver" -p >/dev/null 2>&1 </dev/null
"$wine" wineboot -i >/dev/null 2>&1 </dev/null || true
# Windows without any display (the backend test makes a browser's): Wine's null display driver,
# taken up by a server started afresh, and its desktop started once, which every window of a
# process otherwise waits for.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 </dev/null
"$wine" explorer /desktop=Default,1024x768 >/dev/null 2>&1 </dev/null &
ctest --preset mingw
echo "wine: the Windows build's tests passed under Wine"
