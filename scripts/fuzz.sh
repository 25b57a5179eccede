#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz, writes their seed corpora,
# and runs each target for VEXMON_FUZZ_SECONDS seconds (default 60) over
# its corpus, its seeds and its regression inputs. Fails when any target
# reports a crash, a sanitizer finding, a leak, a hang (10 s per input) or
# runaway memory; the input is left in build/fuzz/fuzz-run/findings.
# Without clang++ it does nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v clang++ >/dev/null; then
  echo "clang++ not found: fuzzing skipped" >&2
  exit 0
fi
seconds=${VEXMON_FUZZ_SECONDS:-60}
build=$root/build/fuzz
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXMON_FUZZ=ON -DVEXMON_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

bin=$build/server/database/fuzz
run=$build/fuzz-run
rm -rf "$run/seeds"
mkdir -p "$run/findings"
"$bin/make_seeds" "$run/seeds" 2>/dev/null
failed=()
for target in mdb_open mdb_lookup tool_reopen tsdb_header checker; do
  echo "== fuzzing $target for ${seconds} s" >&2
  # The first folder takes the new inputs; the others are only read.
  folders=("$run/corpus/$target" "$run/seeds/$target")
  regressions=$root/server/database/fuzz/regressions/$target
  [[ -d $regressions ]] && folders+=("$regressions")
  mkdir -p "${folders[0]}"
  if ! "$bin/${target}_fuzz" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$run/findings/$target-" \
      "${folders[@]}" >"$run/$target.log" 2>&1; then
    tail -n 40 "$run/$target.log" >&2
    failed+=("$target")
  fi
  grep -E '^Done|DONE' "$run/$target.log" | tail -n 1 >&2 || true
done
if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $run/findings)" >&2
  exit 1
fi
