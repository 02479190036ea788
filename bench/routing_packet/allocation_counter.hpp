#pragma once

// Counts calls of the global operator new and of aligned_alloc in this
// benchmark program, so a benchmark can show that its measured loop allocates
// nothing.

#include <benchmark/benchmark.h>

#include <cstdint>

namespace bench {

std::uint64_t allocationCount() noexcept;

// Reports allocations per item and fails the benchmark if there were any.
class AllocationGuard {
 public:
  explicit AllocationGuard(benchmark::State& state) : state_(state), start_(allocationCount()) {}

  void finish(double items) {
    const auto allocations = static_cast<double>(allocationCount() - start_);
    state_.counters["allocs_per_item"] = allocations / items;
    if (allocations != 0) state_.SkipWithError("the measured loop allocated");
  }

 private:
  benchmark::State& state_;
  std::uint64_t start_;
};

}  // namespace bench
