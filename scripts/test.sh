#!/usr/bin/env bash
# Builds both configurations and runs the whole test suite in each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for config in release asan; do
  echo "== $config build" >&2
  "$root/scripts/build.sh" "$config"
  echo "== $config tests" >&2
  (cd "$root/build/$config" && ctest --output-on-failure -j2)
done
