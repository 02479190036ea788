// Feeds a stream to the decoder in chunks chosen by the input and checks the
// packets against a simple cutter that sees the whole stream at once.

#include "flowgate/transport/ip_stream_decoder.hpp"
#include "runtime/error.hpp"

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

// Whole-stream reference: the packets, or nothing when a header is bad. A
// trailing partial packet is simply not returned.
std::optional<std::vector<std::vector<std::uint8_t>>> referenceCut(const std::uint8_t* data,
                                                                   std::size_t size) {
  std::vector<std::vector<std::uint8_t>> packets;
  std::size_t at = 0;
  while (size - at >= 4) {
    std::size_t ihl = (data[at] & 0x0f) * 4u;
    std::size_t total = (std::size_t{data[at + 2]} << 8) | data[at + 3];
    if ((data[at] >> 4) != 4 || ihl < 20 || total < ihl) return std::nullopt;
    if (total > size - at) break;
    packets.emplace_back(data + at, data + at + total);
    at += total;
  }
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 1) return 0;
  // The first bytes choose chunk sizes; the rest is the stream.
  std::size_t cuts = input[0] % 16;
  if (size < 1 + cuts) return 0;
  const std::uint8_t* sizes = input + 1;
  const std::uint8_t* data = input + 1 + cuts;
  std::size_t dataSize = size - 1 - cuts;

  auto expected = referenceCut(data, dataSize);
  flowgate::IPStreamDecoder decoder;
  std::vector<runtime::SharedBytes> packets;
  bool failed = false;
  std::size_t at = 0;
  for (std::size_t i = 0; at < dataSize && !failed; ++i) {
    std::size_t n = i < cuts ? std::min<std::size_t>(sizes[i] + 1u, dataSize - at) : dataSize - at;
    try {
      decoder.append(runtime::SharedBytes::copy(std::span(data + at, n)), packets);
    } catch (const runtime::SystemError&) {
      failed = true;
    }
    at += n;
  }
  if (!expected) {
    if (!failed) std::abort();  // a bad header must always be found
    return 0;
  }
  if (failed || packets.size() != expected->size()) std::abort();
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const auto& want = (*expected)[i];
    if (packets[i].size() != want.size() ||
        !std::equal(want.begin(), want.end(), packets[i].begin())) {
      std::abort();
    }
  }
  return 0;
}
