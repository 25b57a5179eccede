#!/usr/bin/env bash
# Builds the tool alone (no tests) and creates a database set with the
# default settings in a new temporary directory, without asking. Extra
# arguments (such as -c or -n) are passed on to the tool. The build lives in
# build/tool, apart from the test builds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/tool"
"$root/scripts/install-deps.sh"
echo "== Building vexmon-dbcreate in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXMON_TESTS=OFF >/dev/null
cmake --build "$build" --target vexmon-dbcreate -j"$(nproc)"
dir=$(mktemp -d /tmp/vexmon-db-XXXXXX)
echo "== Creating the default database set in $dir"
status=0
"$build/server/database/creation_tool/vexmon-dbcreate" -f "$@" -d "$dir" || status=$?
ls -l "$dir"
if [ "$status" -eq 0 ]; then
  echo "Database set created in $dir"
else
  echo "Creation failed (exit code $status); what was written is in $dir"
fi
exit "$status"
