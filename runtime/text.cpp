#include "runtime/text.hpp"

namespace runtime {

std::vector<std::string_view> splitOmittingEmpty(std::string_view text, char separator,
                                                 std::size_t maxSplits) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size() && pieces.size() < maxSplits; ++i) {
    if (text[i] != separator) continue;
    if (i > start) pieces.push_back(text.substr(start, i - start));
    start = i + 1;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (digit > limit || value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace runtime
