#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the Release build the
# benchmarks use, the sanitizer build (ASan + UBSan) over the unit and
# integration tests, and a ThreadSanitizer build over the runtime, connector
# and session tests.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/format.sh --check

jobs=$(nproc)

# The benchmarks' build (see bench/): proving it builds is part of the test.
cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build-rel -j "$jobs"
(cd build-rel && ctest --output-on-failure -j "$jobs") | tee build-rel/ctest.log

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESKAR_SANITIZE=ON -DVESKAR_BENCH=OFF
# Only what the unit and integration tests run: the namespace tests and their
# helpers are the Release run's.
cmake --build build-asan -j "$jobs" --target tests_unit tests_integration
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -L 'unit|integration') | tee build-asan/ctest.log

tsan_tests='unit_runtime|integration_connector|integration_session|integration_tunnel_host_socket'
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKAR_TSAN=ON \
  -DVESKAR_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target unit_runtime integration_connector integration_session \
  integration_tunnel_host_socket
tsan_options="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
(cd build-tsan && TSAN_OPTIONS="$tsan_options" \
  ctest --output-on-failure -j "$jobs" -R "^(${tsan_tests})\.") | tee build-tsan/ctest.log

# The app's screens as the Release run rendered them.
rm -rf build/screenshots
mkdir -p build
cp -r build-rel/screenshots build/screenshots

# The fuzz targets must build; each runs a few seconds as a smoke test.
./scripts/fuzz.sh 5

# One closing line over every test run.
total=0
for log in build-rel/ctest.log build-asan/ctest.log build-tsan/ctest.log; do
  count=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  total=$((total + ${count:-0}))
done
echo "tests: ${total} passed, 0 failed"
