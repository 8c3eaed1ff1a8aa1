#!/usr/bin/env bash
# Fuzzes the watcher on the simulated desktop for a bounded time (FUZZ_SECONDS, 60 by default),
# starting from the committed seeds in tests/fuzz/corpus. A crash, a sanitizer report, a leak or a
# broken protocol rule fails the stage; the input that caused it is left in build/fuzz/findings/.
# For a longer run that keeps its corpus, see scripts/fuzz-long.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

work=build/fuzz/stage
findings=build/fuzz/findings
rm -rf "$work"
mkdir -p "$work/corpus" "$findings"
status=0
build/fuzz/tests/fuzz/fuzz_selection -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$work/corpus" tests/fuzz/corpus >"$work/log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -1 || true)
echo "fuzz: ${runs:-?} executions in ${seconds} s (${rate:-?}/s), ${cov:-no coverage figure}," \
     "corpus $(find "$work/corpus" -type f | wc -l) new inputs over $(find tests/fuzz/corpus -type f | wc -l) seeds"
if ((status != 0)); then
  echo "fuzz: FAILED (status $status):" >&2
  grep -E '^\*\*\*|ERROR|SUMMARY|Test unit written' "$work/log" >&2 || true
  echo "fuzz: the full log is $work/log; its end:" >&2
  grep -vE '^#[0-9]+.*(NEW|REDUCE|pulse)' "$work/log" | tail -60 >&2
  echo "fuzz: inputs in $findings (replay: build/fuzz/tests/fuzz/fuzz_selection FILE):" >&2
  ls -1 "$findings" >&2
  exit 1
fi
echo "fuzz: no crash, leak or broken rule"
