#!/usr/bin/env bash
# Builds both configurations (release, and asan with AddressSanitizer and
# UndefinedBehaviorSanitizer), runs the whole test suite in each, and ends
# with one line that totals both: "N passed, N failed". Exits non-zero when
# a build or a test failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
passed=0
failed=0
status=0
for config in release asan; do
  echo "== $config build" >&2
  if ! "$root/scripts/build.sh" "$config"; then
    echo "== $config build failed" >&2
    status=1
    continue
  fi
  echo "== $config tests" >&2
  log=$(mktemp)
  (cd "$root/build/$config" && ctest --output-on-failure -j2) | tee "$log" ||
    status=1
  # ctest ends with "P% tests passed, F tests failed out of T".
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  else
    echo "== $config: no test summary from ctest" >&2
    status=1
  fi
done
echo "$passed passed, $failed failed"
if [ "$failed" -ne 0 ]; then status=1; fi
exit "$status"
