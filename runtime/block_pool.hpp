#pragma once

// Pooled blocks for packet bytes. A reader asks for room, reads into it and
// hands the bytes on as SharedBytes slices of the block; the block is free
// again once the last slice of it is gone, on whatever thread that happens.
// A block nobody holds a slice of is reused from its start, so a steady flow
// allocates nothing and keeps touching the same memory. Packets read one
// after another lie next to each other, so a batch is usually one range.
//
// One reader at a time (a pool belongs to one strand); slices may go anywhere.

#include "runtime/bytes.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace runtime {

class BlockPool {
 public:
  // Blocks of `blockSize` bytes; at most `keep` of them stay in the pool, more
  // are made when slices hold every kept one and freed with their last slice.
  BlockPool(std::size_t blockSize, std::size_t keep) : blockSize_(blockSize), keep_(keep) {}

  // At least `size` bytes (at most the block size) to write into. They stay
  // the room until the next reserve(); commit() hands out a part of them.
  std::span<std::uint8_t> reserve(std::size_t size) {
    if (current_ && idle(current_, (currentKept_ ? 1 : 0) + 1)) cursor_ = 0;
    if (!current_ || blockSize_ - cursor_ < size) {
      current_ = nullptr;
      current_ = freeBlock();
      cursor_ = 0;
    }
    return {current_.get() + cursor_, blockSize_ - cursor_};
  }

  // The first `size` bytes of the room as a slice; the room starts after them.
  SharedBytes commit(std::size_t size) { return commit(0, size); }

  // Bytes [offset, offset + size) of the room as a slice; the room starts after them.
  SharedBytes commit(std::size_t offset, std::size_t size) {
    SharedBytes slice(current_, current_.get() + cursor_ + offset, size);
    cursor_ += offset + size;
    return slice;
  }

  std::size_t blockSize() const { return blockSize_; }
  // Blocks kept for reuse, for tests and benchmarks.
  std::size_t keptBlocks() const { return blocks_.size(); }

 private:
  using Block = std::shared_ptr<std::uint8_t[]>;

  // No slice holds it: `owners` are the pool's own references.
  static bool idle(const Block& block, long owners) {
    if (block.use_count() != owners) return false;
    // The last slice was dropped with a release; what its holder did with the
    // bytes happens before they are written again.
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
  }

  Block freeBlock() {
    for (const auto& block : blocks_) {
      if (idle(block, 1)) {
        currentKept_ = true;
        return block;
      }
    }
    Block block(new std::uint8_t[blockSize_]);
    currentKept_ = blocks_.size() < keep_;
    if (currentKept_) blocks_.push_back(block);
    return block;
  }

  std::size_t blockSize_;
  std::size_t keep_;
  std::vector<Block> blocks_;
  Block current_;
  bool currentKept_ = false;
  std::size_t cursor_ = 0;
};

}  // namespace runtime
