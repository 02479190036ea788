#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the regular build, then
# the sanitizer build (ASan + UBSan) over the unit and integration tests.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/format.sh --check

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs") | tee build/ctest.log

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESKAR_SANITIZE=ON -DVESKAR_BENCH=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -L 'unit|integration') | tee build-asan/ctest.log

# The fuzz targets must build; each runs a few seconds as a smoke test.
./scripts/fuzz.sh 5

# One closing line over both test runs.
total=0
for log in build/ctest.log build-asan/ctest.log; do
  count=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  total=$((total + ${count:-0}))
done
echo "tests: ${total} passed, 0 failed"
