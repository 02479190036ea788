#include "flowgate/transport/ip_stream_decoder.hpp"

#include "flowgate/errors/protocol_error.hpp"

#include <algorithm>

#include <boost/endian/conversion.hpp>

namespace flowgate {

namespace {

constexpr std::size_t kMinimumHeader = 20;
constexpr std::size_t kPendingLimit = 65536;

// Reads only bytes 0, 2 and 3; 0 means the header is unusable.
inline std::size_t validLength(const std::uint8_t* p) {
  auto headerLength = static_cast<std::size_t>(p[0] & 0x0f) * 4;
  auto total = static_cast<std::size_t>(boost::endian::load_big_u16(p + 2));
  if ((p[0] >> 4) != 4 || headerLength < kMinimumHeader || total < headerLength) return 0;
  return total;
}

}  // namespace

std::size_t IPStreamDecoder::packetLength(std::span<const std::uint8_t> buffer,
                                          std::size_t offset) {
  if (offset > buffer.size() || buffer.size() - offset < 4) {
    runtime::fail(ProtocolError::invalidFrame);
  }
  auto length = validLength(buffer.data() + offset);
  if (length == 0) runtime::fail(ProtocolError::invalidFrame);
  return length;
}

std::size_t IPStreamDecoder::takePending(std::span<std::uint8_t> into) {
  const std::size_t count = pending_.size();
  std::copy(pending_.begin(), pending_.end(), into.begin());
  pending_.clear();  // keeps its capacity for the next straddling packet
  return count;
}

std::vector<runtime::SharedBytes> IPStreamDecoder::append(const runtime::SharedBytes& chunk) {
  std::vector<runtime::SharedBytes> packets;
  append(chunk, packets);
  return packets;
}

void IPStreamDecoder::append(const runtime::SharedBytes& chunk,
                             std::vector<runtime::SharedBytes>& packets) {
  const std::uint8_t* data = chunk.data();
  const std::size_t size = chunk.size();
  const std::size_t resultStart = packets.size();
  std::size_t cursor = 0;

  auto take = [&](std::size_t wanted) {
    auto n = std::min(wanted, size - cursor);
    pending_.insert(pending_.end(), data + cursor, data + cursor + n);
    cursor += n;
  };

  if (!pending_.empty()) {
    if (pending_.size() < 4) {
      take(4 - pending_.size());
      if (pending_.size() < 4) return;
    }
    auto length = packetLength(pending_, 0);
    if (pending_.capacity() < length) pending_.reserve(length);
    take(length - pending_.size());
    if (pending_.size() < length) return;
    packets.emplace_back(std::move(pending_));
    pending_ = {};
  }

  bool storedRemainder = false;
  while (cursor < size) {
    auto left = size - cursor;
    if (left < 4) {
      take(left);
      storedRemainder = true;
      break;
    }
    auto length = validLength(data + cursor);
    if (length == 0) {
      packets.resize(resultStart);
      runtime::fail(ProtocolError::invalidFrame);
    }
    if (length > left) {
      pending_.reserve(length);
      take(left);
      storedRemainder = true;
      break;
    }
    packets.push_back(chunk.slice(cursor, length));
    cursor += length;
  }

  if (storedRemainder && pending_.size() >= kPendingLimit) {
    packets.resize(resultStart);
    runtime::fail(ProtocolError::invalidFrame);
  }
}

}  // namespace flowgate
