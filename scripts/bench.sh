#!/usr/bin/env bash
# Builds the tool and the benchmarks (build/bench, tests off) and prints, from
# one run on this machine, how creation and the MDB engine compare with
# their peers:
#   - creation runs (default set; 1000 checks at 8 KiB and 1 KiB TSDB
#     blocks) against dd with fsync and fallocate of the same bytes;
#   - object rates and lookups against SQLite (bench/sqlite_bench.cc);
#   - reopen and map-scan times (bench/mdb_bench.cc).
# Nothing here is a test: timings vary with the machine and its load.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXMON_TESTS=OFF \
  -DVEXMON_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target vexmon-dbcreate mdb_bench sqlite_bench >/dev/null
work=$(mktemp -d /tmp/vexmon-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$build/bench/mdb_bench" --benchmark_format=json >"$work/mdb.json" 2>/dev/null
"$build/bench/sqlite_bench" --benchmark_format=json >"$work/sqlite.json" 2>/dev/null

python3 - "$build/server/database/creation_tool/vexmon-dbcreate" "$work" <<'EOF'
import json, os, shutil, statistics, subprocess, sys, time

tool, work = sys.argv[1], sys.argv[2]

def timed(command, stdin=None, setup=None):
    """Median wall time of five runs of `command` in a fresh directory,
    each after the writes of the run before reached the disk."""
    times = []
    for _ in range(5):
        d = os.path.join(work, "run")
        shutil.rmtree(d, ignore_errors=True)
        os.mkdir(d)
        os.sync()
        start = time.perf_counter()
        subprocess.run([c.replace("DIR", d) for c in command], check=True,
                       input=None if stdin is None else stdin.replace("DIR", d),
                       text=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
        size = sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))
    shutil.rmtree(d)
    return statistics.median(times), size

def peers(size):
    dd, _ = timed(["dd", "if=/dev/zero", "of=DIR/f", "bs=1M", "count=%d" % (size >> 20),
                   "conv=fsync", "status=none"])
    fa, _ = timed(["fallocate", "-l", str(size), "DIR/f"])
    return dd, fa

def dialogue(checks, block):
    return "DIR\ne\nDIR\n8\ny\n3\n%d\n%d\nDIR\ny\n" % (block, checks)

print("%-44s %10s %10s %10s %8s %8s" % ("creation", "ours (s)", "dd (s)", "fallocate", "/dd", "/falloc"))
for label, command, stdin in [
        ("default run -f -d (3 files)", [tool, "-f", "-d", "DIR"], None),
        ("1000 checks, 8 KiB blocks", [tool, "-i", "-f"], dialogue(1000, 8192)),
        ("1000 checks, 1 KiB blocks", [tool, "-i", "-f"], dialogue(1000, 1024))]:
    ours, size = timed(command, stdin)
    dd, fa = peers(size)
    print("%-44s %10.3f %10.3f %10.3f %8.2f %8.1f" % (label + " %d MiB" % (size >> 20),
                                                     ours, dd, fa, ours / dd, ours / fa))

def results(path):
    with open(path) as f:
        return {b["name"].split("/")[0]: b for b in json.load(f)["benchmarks"]}

mdb, peer = results(os.path.join(work, "mdb.json")), results(os.path.join(work, "sqlite.json"))
print()
print("%-44s %14s %14s %8s" % ("objects per second (wall time)", "MDB", "SQLite", "ratio"))
for name in ["BM_CreateObjectOneTransactionEach", "BM_Create1000ObjectsPerTransaction", "BM_LookupById"]:
    ours, theirs = mdb[name]["items_per_second"], peer[name]["items_per_second"]
    print("%-44s %14.0f %14.0f %8.2f" % (name[3:], ours, theirs, ours / theirs))
print()
for name in ["BM_ReopenAfterLongTurn", "BM_ReopenWithEmptyTurn", "BM_AllocationMapScan"]:
    b = mdb[name]
    print("%-44s %10.1f %s (wall)" % (name[3:], b["real_time"], b["time_unit"]))
b = mdb["BM_ReopenAfterLongTurn"]
print("%-44s %10.1f ms for %.0f MB; reopen / copy = %.2f" % (
    "  peer: read + write + fsync of the turn", b["raw_copy_ms"], b["turn_mb"],
    b["real_time"] / b["raw_copy_ms"]))
EOF
