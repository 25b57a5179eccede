#!/usr/bin/env bash
# Builds both configurations (release, and asan with AddressSanitizer and
# UndefinedBehaviorSanitizer), runs the whole test suite in each, and ends
# with one line that totals both: "N passed, N failed, N skipped", counting
# GoogleTest cases (a test program that is not a GoogleTest program, such
# as a fuzz regression replay, counts as one case; a program that fails
# without reporting a failed case, by a crash or a time-out, counts as one
# failed case). Exits non-zero when a build or a test failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
passed=0
failed=0
skipped=0
status=0

# Counts the cases of one configuration's run: the XML reports in $1, the
# ctest log in $2.
count_cases() {
  local reports=$1 log=$2 name report cases bad skips
  while read -r name verdict; do
    report="$reports/$name.xml"
    if [ -f "$report" ]; then
      cases=$(grep -c '<testcase ' "$report")
      bad=$(grep -c '<failure ' "$report")
      skips=$(grep -c 'result="skipped"' "$report")
      # A program that failed with no failed case in its report crashed
      # or timed out after writing it.
      if [ "$verdict" = failed ] && [ "$bad" -eq 0 ]; then bad=1; fi
      failed=$((failed + bad))
      skipped=$((skipped + skips))
      passed=$((passed + cases - bad - skips))
    elif [ "$verdict" = passed ]; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
    fi
  done < <(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) \.+ *(\*\*\*)?([A-Za-z]+).*/\1 \3/p' "$log" |
           sed -E 's/ Passed$/ passed/; s/ [A-Z][A-Za-z]*$/ failed/')
}

for config in release asan; do
  echo "== $config build" >&2
  if ! "$root/scripts/build.sh" "$config"; then
    echo "== $config build failed" >&2
    status=1
    failed=$((failed + 1))
    continue
  fi
  echo "== $config tests" >&2
  log=$(mktemp)
  reports=$(mktemp -d)
  (cd "$root/build/$config" && GTEST_OUTPUT="xml:$reports/" ctest --output-on-failure -j2) |
    tee "$log" || status=1
  if ! grep -qE '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log"; then
    echo "== $config: no test summary from ctest" >&2
    status=1
  fi
  count_cases "$reports" "$log"
  rm -rf "$log" "$reports"
done
echo "$passed passed, $failed failed, $skipped skipped"
if [ "$failed" -ne 0 ]; then status=1; fi
exit "$status"
