#!/usr/bin/env bash
# Builds the tool and creates a database set with the default settings in a
# new temporary directory, without asking. Extra arguments (such as -c) are
# passed on to the tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" release >/dev/null
dir=$(mktemp -d /tmp/vexmon-db-XXXXXX)
status=0
"$root/build/release/server/database/creation_tool/vexmon-dbcreate" -f "$@" -d "$dir" || status=$?
echo "Database directory: $dir (exit code $status)"
ls -l "$dir"
exit "$status"
