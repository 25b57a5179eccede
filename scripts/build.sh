#!/usr/bin/env bash
# Builds one configuration: "release" (default) into build/release, or
# "asan" (AddressSanitizer + UndefinedBehaviorSanitizer) into build/asan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-release}
"$root/scripts/install-deps.sh"
case "$config" in
  release) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVEXMON_SANITIZE=ON) ;;
  *) echo "unknown configuration: $config (release or asan)" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/build/$config" "${flags[@]}" >/dev/null
cmake --build "$root/build/$config" -j"$(nproc)"
