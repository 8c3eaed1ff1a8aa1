#!/usr/bin/env bash
# Runs the whole-process tests (label "process") against a build under the thread sanitizer: the
# test executable's main thread, its stdin watchdog and the scenario's step thread. Any report, in
# the test programs or in a watcher they start, fails the stage.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$(nproc)"

# Reports go to files as well as ending the process, so that one in a child whose stderr the test
# does not read is still seen.
reports=build/tsan/reports
rm -rf "$reports"
mkdir -p "$reports"
status=0
# The bounds on how soon the process ends are checked in the sanitizer build of scripts/test; under
# the thread sanitizer the exit alone can take most of a second, so those cases are left out here.
GTEST_FILTER='-Process.EndOfInputEndsItWhileABrowserHangs' \
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$root/$reports/tsan" \
  ctest --test-dir build/tsan -L process --output-on-failure --no-tests=error || status=$?
if compgen -G "$reports/tsan.*" >/dev/null; then
  echo "tsan: reports:" >&2
  cat "$reports"/tsan.* >&2
  exit 1
fi
((status == 0)) || exit "$status"
echo "tsan: whole-process tests passed with no report"
