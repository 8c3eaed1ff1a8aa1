#!/usr/bin/env bash
# One run of the whole-process test executable (the real main on the simulated desktop, built
# without sanitizers) under valgrind's memcheck: activations of browsers and other applications,
# observers that fail, odd answers, a burst of 2,000 selection changes, and the end of input. Any
# memory error, or any block definitely or indirectly lost, fails the stage.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
build=build/valgrind

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSW_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target selection-watcher-sim

work=$build/run
rm -rf "$work"
mkdir -p "$work"
# Steps far enough apart that each has run before the next is due, even under memcheck.
cat >"$work/scenario" <<'SCENARIO'
app 501 org.mozilla.firefox
app 502 com.apple.TextEdit
app 503 com.google.Chrome
app 504 com.brave.Browser
app 505 com.apple.Safari
app 506 -
front 501
text 501 hello world
bounds 501 10.5 -3.5 100.4 20.6
create 503 -25204
create 504 0 none
register 505 AXFocusedUIElementChanged -25200
text 505 safari text
bounds 505 nan 1 2 3
at 200 activate 502
at 400 activate 503
at 600 activate 501
at 800 burst 501 2000
at 6000 focus 501 number
at 6100 notify 501 AXFocusedUIElementChanged
at 6200 activate 505
at 6300 bounds 505 point 1 2
at 6400 select 505
at 6500 activate 504
at 6600 activate 506
at 6700 activate -
at 6800 text 505 again
at 6900 activate 505
SCENARIO
# Lines: the first (present), TextEdit (cleared), Chrome (none: its observer failed), Firefox
# (present), the burst (cleared first, present last), the focus on a number (cleared), Safari
# (present, no bounds), its selection emptied (cleared), Brave, no bundle identifier and nothing in
# front (none), Safari again (present).
expected=$((1 + 1 + 1 + 2000 + 1 + 1 + 1 + 1))
# Chrome's and Brave's observers, Safari's registration twice.
expectedDiagnostics=4

# Input stays open (we hold the FIFO's writing end) until every line is out, then ends.
mkfifo "$work/stdin"
SELECTION_WATCHER_SCENARIO="$work/scenario" \
  valgrind --log-file="$work/memcheck.log" --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
  "$build/tests/selection-watcher-sim" <"$work/stdin" >"$work/stdout" 2>"$work/stderr" &
watcher=$!
exec 3>"$work/stdin"
for ((i = 0; i < 600; i++)); do
  (($(wc -l <"$work/stdout") >= expected)) && break
  kill -0 "$watcher" 2>/dev/null || break
  sleep 0.1
done
exec 3>&-
status=0
wait "$watcher" || status=$?

lines=$(wc -l <"$work/stdout")
diagnostics=$(wc -l <"$work/stderr")
echo "valgrind: $lines lines (expected $expected), $diagnostics diagnostics (expected" \
     "$expectedDiagnostics), exit status $status"
sed -nE 's/^==[0-9]+== +//; /in use at exit|total heap usage|All heap blocks|definitely lost|indirectly lost|possibly lost|still reachable|ERROR SUMMARY/p' \
  "$work/memcheck.log"
if ((status != 0 || lines != expected || diagnostics != expectedDiagnostics)) ||
   grep -qvE '^\{"(app|selection)"' "$work/stdout"; then
  echo "valgrind: FAILED; memcheck's log is $work/memcheck.log" >&2
  grep -E '^==[0-9]+== ' "$work/memcheck.log" | tail -40 >&2
  exit 1
fi
echo "valgrind: no memory error, nothing definitely or indirectly lost"
