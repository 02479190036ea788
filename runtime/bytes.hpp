#pragma once

// An immutable byte range that shares its storage: copies and slices are cheap,
// so packets cut from one received block are views into it, not copies.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace runtime {

class SharedBytes {
 public:
  SharedBytes() = default;

  // Takes the vector's storage without copying it.
  explicit SharedBytes(std::vector<std::uint8_t> bytes) {
    auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    data_ = owner->data();
    size_ = owner->size();
    owner_ = std::move(owner);
  }

  // Shares what `owner` keeps alive: [data, data + size) must lie within it.
  SharedBytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size)
      : owner_(std::move(owner)), data_(data), size_(size) {}

  static SharedBytes copy(std::span<const std::uint8_t> bytes) {
    return SharedBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  }
  static SharedBytes copy(std::string_view text) {
    return copy(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }

  // Shares this range's storage; offset + length must lie within it.
  SharedBytes slice(std::size_t offset, std::size_t length) const {
    SharedBytes part;
    part.owner_ = owner_;
    part.data_ = data_ + offset;
    part.size_ = length;
    return part;
  }

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::uint8_t operator[](std::size_t i) const { return data_[i]; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }
  const std::uint8_t* begin() const { return data_; }
  const std::uint8_t* end() const { return data_ + size_; }
  // Whether two ranges share one storage (zero-copy paths and their tests).
  bool sharesStorageWith(const SharedBytes& other) const { return owner_ == other.owner_; }

  friend bool operator==(const SharedBytes& a, const SharedBytes& b) {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
  }

 private:
  std::shared_ptr<const void> owner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// How many of the first parts lie one right behind another in one storage.
inline std::size_t leadingRun(std::span<const SharedBytes> parts) {
  std::size_t count = parts.empty() ? 0 : 1;
  while (count < parts.size() && parts[count].sharesStorageWith(parts.front()) &&
         parts[count].data() == parts[count - 1].data() + parts[count - 1].size()) {
    ++count;
  }
  return count;
}

// The bytes of `parts` as one range when each part follows the one before in
// the same storage (packets read one after another into one block); nothing
// otherwise, or when there are no parts.
inline std::optional<std::span<const std::uint8_t>> contiguous(std::span<const SharedBytes> parts) {
  if (parts.empty() || leadingRun(parts) != parts.size()) return std::nullopt;
  return std::span(parts.front().data(), parts.back().data() + parts.back().size());
}

}  // namespace runtime
