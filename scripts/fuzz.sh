#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of
# seconds (default 5). Findings are written to build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DVESKAR_FUZZ=ON >/dev/null
cmake --build build-fuzz --target fuzzers -j "$(nproc)"

mkdir -p build-fuzz/findings
for fuzzer in $(find build-fuzz/fuzz -maxdepth 3 -type f -executable -name 'fuzz_*' | sort); do
  name=$(basename "$fuzzer")
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  seeds=()
  [[ -d fuzz/seeds/$name ]] && seeds=(fuzz/seeds/"$name")
  echo "== $name (${seconds}s)"
  "$fuzzer" -max_total_time="$seconds" -artifact_prefix=build-fuzz/findings/"$name"- \
    "$corpus" "${seeds[@]}" 2>&1 | tail -n 2
done
