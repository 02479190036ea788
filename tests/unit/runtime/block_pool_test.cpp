#include "runtime/block_pool.hpp"

#include <gtest/gtest.h>

#include <cstring>

using runtime::BlockPool;
using runtime::SharedBytes;

namespace {

SharedBytes write(BlockPool& pool, std::size_t size, std::uint8_t value) {
  auto room = pool.reserve(size);
  std::memset(room.data(), value, size);
  return pool.commit(size);
}

bool holds(const SharedBytes& slice, std::uint8_t value) {
  for (auto byte : slice)
    if (byte != value) return false;
  return true;
}

}  // namespace

TEST(BlockPool, HeldSlicesKeepTheirBytesAndAFreedBlockIsReusedFromItsStart) {
  BlockPool pool(64, 2);
  auto first = write(pool, 24, 1);
  auto second = write(pool, 24, 2);
  std::vector<SharedBytes> both{first, second};
  ASSERT_TRUE(runtime::contiguous(both));
  EXPECT_EQ(runtime::contiguous(both)->size(), 48u);

  // No room left behind them: another block, while the first is held.
  auto third = write(pool, 24, 3);
  EXPECT_FALSE(third.sharesStorageWith(first));
  EXPECT_FALSE(runtime::contiguous(std::vector<SharedBytes>{second, third}));
  EXPECT_TRUE(holds(first, 1) && holds(second, 2) && holds(third, 3));

  // Slices hold more blocks than are kept: the pool does not grow.
  auto fourth = write(pool, 48, 4);
  const auto* start = fourth.data();
  EXPECT_EQ(pool.keptBlocks(), 2u);
  EXPECT_TRUE(holds(first, 1) && holds(third, 3) && holds(fourth, 4));

  // Once nothing holds it, each read lands at the same start again.
  first = second = third = fourth = {};
  both.clear();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(write(pool, 48, 5).data(), start);
  EXPECT_EQ(pool.keptBlocks(), 2u);
}
