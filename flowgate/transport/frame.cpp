#include "flowgate/transport/frame.hpp"

#include "flowgate/errors/protocol_error.hpp"

#include <boost/endian/conversion.hpp>

namespace flowgate {

namespace {

namespace endian = boost::endian;

// Appends `value` big-endian.
template <class T>
void putUInt(std::vector<std::uint8_t>& out, T value) {
  auto at = out.size();
  out.resize(at + sizeof(T));
  endian::endian_store<T, sizeof(T), endian::order::big>(out.data() + at, value);
}

// Big-endian, `count` of 2, 4 or 8; the caller has checked the length.
std::uint64_t readBE(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t count) {
  const std::uint8_t* p = bytes.data() + at;
  switch (count) {
    case 2: return endian::load_big_u16(p);
    case 4: return endian::load_big_u32(p);
    default: return endian::load_big_u64(p);
  }
}

}  // namespace

std::vector<std::uint8_t> Frame::encoded() const {
  if (payload.size() > maxLength - headerSize) runtime::fail(ProtocolError::frameTooLarge);
  std::vector<std::uint8_t> out;
  out.reserve(headerSize + payload.size());
  putUInt(out, static_cast<std::uint32_t>(payload.size() + headerSize));
  out.push_back(version);
  out.push_back(static_cast<std::uint8_t>(type));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

FrameHeader checkFrameHeader(std::span<const std::uint8_t, Frame::headerSize> header) {
  auto total = readBE(header, 0, 4);
  auto type = header[5];
  if (total < Frame::headerSize || total > Frame::maxLength || header[4] != Frame::version ||
      (type != static_cast<std::uint8_t>(FrameType::authRequest) &&
       type != static_cast<std::uint8_t>(FrameType::authResponse))) {
    runtime::fail(ProtocolError::invalidFrame);
  }
  return FrameHeader{static_cast<FrameType>(type),
                     static_cast<std::size_t>(total) - Frame::headerSize};
}

std::vector<std::uint8_t> authRequestPayload(std::string_view credential,
                                             std::span<const HopEndpoint> laterNodes) {
  if (credential.size() >= 65536) runtime::fail(ProtocolError::frameTooLarge);
  std::vector<std::uint8_t> payload;
  payload.reserve(2 + credential.size() + 6 * laterNodes.size());
  putUInt(payload, static_cast<std::uint16_t>(credential.size()));
  payload.insert(payload.end(), credential.begin(), credential.end());
  for (auto hop = laterNodes.rbegin(); hop != laterNodes.rend(); ++hop) {
    putUInt(payload, hop->address);
    putUInt(payload, hop->port);
  }
  return payload;
}

AuthRequest parseAuthRequestPayload(std::span<const std::uint8_t> payload) {
  if (payload.size() < 2) runtime::fail(ProtocolError::invalidFrame);
  auto length = static_cast<std::size_t>(readBE(payload, 0, 2));
  if (payload.size() < 2 + length || (payload.size() - 2 - length) % 6 != 0) {
    runtime::fail(ProtocolError::invalidFrame);
  }
  AuthRequest request;
  request.credential.assign(reinterpret_cast<const char*>(payload.data()) + 2, length);
  for (std::size_t at = 2 + length; at < payload.size(); at += 6) {
    request.hops.push_back(HopEndpoint{static_cast<std::uint32_t>(readBE(payload, at, 4)),
                                       static_cast<std::uint16_t>(readBE(payload, at + 4, 2))});
  }
  return request;
}

std::vector<std::uint8_t> authResponsePayload(std::uint64_t deviceID,
                                              std::array<std::uint8_t, 8> rest) {
  std::vector<std::uint8_t> payload;
  payload.reserve(authResponsePayloadSize);
  putUInt(payload, deviceID);
  payload.insert(payload.end(), rest.begin(), rest.end());
  return payload;
}

void checkAuthResponse(const Frame& frame, std::uint64_t deviceID) {
  if (frame.type != FrameType::authResponse || frame.payload.size() != authResponsePayloadSize ||
      readUInt64BE(frame.payload, 0) != deviceID) {
    runtime::fail(ProtocolError::authenticationFailed);
  }
}

std::uint64_t readUInt64BE(std::span<const std::uint8_t> bytes, std::size_t at) {
  return readBE(bytes, at, 8);
}

}  // namespace flowgate
