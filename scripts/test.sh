#!/usr/bin/env bash
# Installs what is needed, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. Exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/setup.sh

build=${QRV_BUILD_DIR:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQRV_SANITIZE=ON -DQRV_WERROR=ON -DQRV_BUILD_TESTS=ON -DQRV_BUILD_BENCH=ON \
  -DQRV_TEST_HOOKS=ON
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600

# The Debian package: a Release build of the programs, packed and checked
# unpacked (nothing is installed on this machine).
QRV_BUILD_DIR="$build" bash scripts/check_package.sh
