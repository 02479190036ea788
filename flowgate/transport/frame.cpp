#include "flowgate/transport/frame.hpp"

#include "flowgate/errors/protocol_error.hpp"

namespace flowgate {

namespace {

void putUInt(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

std::uint64_t readBE(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | bytes[at + i];
  return value;
}

}  // namespace

std::vector<std::uint8_t> Frame::encoded() const {
  if (payload.size() > maxLength - headerSize) runtime::fail(ProtocolError::frameTooLarge);
  std::vector<std::uint8_t> out;
  out.reserve(headerSize + payload.size());
  putUInt(out, payload.size() + headerSize, 4);
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
  putUInt(payload, credential.size(), 2);
  payload.insert(payload.end(), credential.begin(), credential.end());
  for (auto hop = laterNodes.rbegin(); hop != laterNodes.rend(); ++hop) {
    putUInt(payload, hop->address, 4);
    putUInt(payload, hop->port, 2);
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
  putUInt(payload, deviceID, 8);
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
