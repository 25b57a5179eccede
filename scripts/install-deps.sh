#!/usr/bin/env bash
# Installs the build tools, zlib, libblkid, GoogleTest and (for bench/) Google
# Benchmark and SQLite when a fresh machine lacks them.
set -euo pipefail
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
[ -e /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] ||
  [ -e /usr/lib/cmake/GTest/GTestConfig.cmake ] ||
  ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1 ||
  missing+=(libgtest-dev)
[ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
[ -e /usr/include/blkid/blkid.h ] || missing+=(libblkid-dev)
[ -e /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
[ -e /usr/include/sqlite3.h ] || missing+=(libsqlite3-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
