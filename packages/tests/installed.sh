#!/usr/bin/env bash
# The packages as users install them: the npm tarballs into an empty project with no registry, the
# wheel into a fresh venv, the .deb extracted. Each must carry the version and start its own
# watcher, which finds no accessibility bus (exit status 2); the package's tests then run on the
# installed package against the simulated desktop. The Windows packages, where they were built,
# are checked for the executable and that both wrappers find it; Wine, where it is installed, runs
# it (it has no UI Automation: exit status 2). Every package carries the MIT licence, and the Linux
# executables need nothing newer than Ubuntu 22.04 has (floor.sh).
#   installed.sh VERSION PACKAGES_DIR SIMULATED_DESKTOP_EXECUTABLE        (Linux)
set -euo pipefail
version=$1 packages=$(cd "$2" && pwd) sim=$(realpath "$3")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/npm" "$tmp/run" && cd "$tmp"

echo '{"private": true}' >npm/package.json
platform=$(node -p 'process.platform + "-" + process.arch')
(cd npm && npm install --offline --no-audit --no-fund --silent "$packages/selection-watcher-$version.tgz" \
  "$packages/selection-watcher-$platform-$version.tgz")
grep -q "\"version\": \"$version\"" npm/node_modules/selection-watcher/package.json
for module in selection-watcher selection-watcher-$platform; do
  grep -q '"license": "MIT"' "npm/node_modules/$module/package.json"
  grep -q '^MIT License' "npm/node_modules/$module/LICENSE"
done
cp "$here"/../node/test/{usage.ts,node-shim.d.ts} npm/
tsc --noEmit --strict --target es2020 --module commonjs --moduleResolution node npm/usage.ts npm/node-shim.d.ts
SELECTION_WATCHER=$sim SELECTION_WATCHER_PACKAGE=$tmp/npm/node_modules/selection-watcher \
  node --test "$here/../node/test/watcher.test.js"

"${PYTHON:-/usr/bin/python3}" -m venv venv
venv/bin/pip install --quiet --no-index --no-deps $(ls "$packages"/*.whl | grep -v -e '-win_' -e '-macosx_')
venv/bin/python -c 'import importlib.metadata as m, sys; sys.exit(m.version("selection-watcher") != sys.argv[1] or m.metadata("selection-watcher")["License"] != "MIT")' "$version"
SELECTION_WATCHER=$sim SELECTION_WATCHER_PACKAGE=$tmp/venv venv/bin/python -m unittest discover -s "$here/../python/tests"

deb=$packages/selection-watcher_${version}_$(dpkg --print-architecture).deb
dpkg-deb -x "$deb" deb
dpkg-deb -f "$deb" Depends
grep -q '^License: Expat' deb/usr/share/doc/selection-watcher/copyright
bash "$here/floor.sh" deb/usr/bin/selection-watcher npm/node_modules/selection-watcher-"$platform"/bin/selection-watcher \
  venv/lib/python3*/site-packages/selection_watcher/bin/selection-watcher
echo "Linux executables: nothing above glibc 2.35 and GCC 12's libstdc++; the licence in every package"
# Nothing of this environment may reach it, a session bus least of all.
out=$(env -i XDG_RUNTIME_DIR="$tmp/run" deb/usr/bin/selection-watcher </dev/null) && status=0 || status=$?
[[ $out == '{"error":"ax_permission_denied"}' && $status == 2 ]] || { echo "deb: $out, status $status" >&2; exit 1; }

zip=$packages/selection-watcher-$version-windows-x64.zip
if [[ -e $zip ]]; then
  mkdir -p win/node_modules win/wheel
  "${PYTHON:-/usr/bin/python3}" -m zipfile -e "$zip" win/zip
  "${PYTHON:-/usr/bin/python3}" -m zipfile -e "$packages"/selection_watcher-"$version"-py3-none-win_amd64.whl win/wheel
  for tgz in selection-watcher-"$version" selection-watcher-win32-x64-"$version"; do
    tar -xzf "$packages/$tgz.tgz" -C win && mv win/package "win/node_modules/${tgz%-"$version"}"
  done
  exe=win/zip/selection-watcher-$version-windows-x64/selection-watcher.exe
  cmp "$exe" win/node_modules/selection-watcher-win32-x64/bin/selection-watcher.exe
  cmp "$exe" win/wheel/selection_watcher/bin/selection-watcher.exe
  grep -q '^MIT License' "win/zip/selection-watcher-$version-windows-x64/LICENSE"
  found=$(cd win && node -p "require('selection-watcher').findExecutable(undefined, {}, {platform: 'win32', arch: 'x64'})")
  [[ $found == "$tmp/win/node_modules/selection-watcher-win32-x64/bin/selection-watcher.exe" ]] ||
    { echo "npm on Windows would run $found" >&2; exit 1; }
  found=$(cd win/wheel && "${PYTHON:-/usr/bin/python3}" -c 'import selection_watcher as s; print(s.find_executable(None, {}, "win32"))')
  [[ $found == "$tmp/win/wheel/selection_watcher/bin/selection-watcher.exe" ]] ||
    { echo "the wheel on Windows would run $found" >&2; exit 1; }
  if command -v wine >/dev/null; then
    out=$(WINEPREFIX=$tmp/wine WINEDEBUG=-all DISPLAY= wine "$exe" </dev/null 2>/dev/null) && status=0 || status=$?
    [[ $out == '{"error":"ax_permission_denied"}' && $status == 2 ]] ||
      { echo "Windows executable under Wine: $out, status $status" >&2; exit 1; }
  fi
  echo "Windows packages: the executable in each, found by both wrappers"
fi
echo "installed packages: all passed"
