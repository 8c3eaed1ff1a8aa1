#!/usr/bin/env bash
# The packages as users install them: the npm tarballs into an empty project with no registry, the
# wheel into a fresh venv, the .deb extracted. Each must carry the version and start its own
# watcher, which finds no accessibility bus (exit status 2); the package's tests then run on the
# installed package against the simulated desktop.
#   installed.sh VERSION PACKAGES_DIR SIMULATED_DESKTOP_EXECUTABLE        (Linux)
set -euo pipefail
version=$1 packages=$(cd "$2" && pwd) sim=$(realpath "$3")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/npm" "$tmp/run" && cd "$tmp"

echo '{"private": true}' >npm/package.json
(cd npm && npm install --offline --no-audit --no-fund --silent "$packages"/selection-watcher-*.tgz)
grep -q "\"version\": \"$version\"" npm/node_modules/selection-watcher/package.json
cp "$here"/../node/test/{usage.ts,node-shim.d.ts} npm/
tsc --noEmit --strict --target es2020 --module commonjs --moduleResolution node npm/usage.ts npm/node-shim.d.ts
SELECTION_WATCHER=$sim SELECTION_WATCHER_PACKAGE=$tmp/npm/node_modules/selection-watcher \
  node --test "$here/../node/test/watcher.test.js"

"${PYTHON:-/usr/bin/python3}" -m venv venv
venv/bin/pip install --quiet --no-index --no-deps "$packages"/*.whl
venv/bin/python -c 'import importlib.metadata as m, sys; sys.exit(m.version("selection-watcher") != sys.argv[1])' "$version"
SELECTION_WATCHER=$sim SELECTION_WATCHER_PACKAGE=$tmp/venv venv/bin/python -m unittest discover -s "$here/../python/tests"

deb=$packages/selection-watcher_${version}_$(dpkg --print-architecture).deb
dpkg-deb -x "$deb" deb
dpkg-deb -f "$deb" Depends
# Nothing of this environment may reach it, a session bus least of all.
out=$(env -i XDG_RUNTIME_DIR="$tmp/run" deb/usr/bin/selection-watcher </dev/null) && status=0 || status=$?
[[ $out == '{"error":"ax_permission_denied"}' && $status == 2 ]] || { echo "deb: $out, status $status" >&2; exit 1; }
echo "installed packages: all passed"
