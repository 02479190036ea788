#pragma once

// The authentication frames of a node connection: a 6-byte header (total length
// u32 big-endian including the header, version 1, type) and a payload. After one
// frame each way the stream carries bare IPv4 packets.

#include "runtime/bytes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace flowgate {

enum class FrameType : std::uint8_t {
  authRequest = 1,
  authResponse = 2,
};

struct Frame {
  static constexpr std::size_t headerSize = 6;
  static constexpr std::size_t maxLength = 65536;  // the whole frame, header included
  static constexpr std::uint8_t version = 1;

  FrameType type;
  std::vector<std::uint8_t> payload;

  // Throws ProtocolError::frameTooLarge past maxLength.
  std::vector<std::uint8_t> encoded() const;

  friend bool operator==(const Frame&, const Frame&) = default;
};

// An accepted header: its type and how many payload bytes follow.
struct FrameHeader {
  FrameType type;
  std::size_t payloadLength;
};

// Total length 6 to 65,536, version 1, type 1 or 2; anything else throws
// ProtocolError::invalidFrame.
FrameHeader checkFrameHeader(std::span<const std::uint8_t, Frame::headerSize> header);

// An IPv4 address and port of a node, as listed in an authRequest.
struct HopEndpoint {
  std::uint32_t address;
  std::uint16_t port;
  friend bool operator==(const HopEndpoint&, const HopEndpoint&) = default;
};

// The authRequest payload: credential length u16, the credential's UTF-8 bytes,
// then 6 bytes per onward hop. `laterNodes` are the path's nodes after the first,
// in path order; they are written last node first. A credential of 65,536 bytes
// or more throws ProtocolError::frameTooLarge.
std::vector<std::uint8_t> authRequestPayload(std::string_view credential,
                                             std::span<const HopEndpoint> laterNodes);

// What a node reads from an authRequest payload; hops as written (next hop last).
struct AuthRequest {
  std::string credential;
  std::vector<HopEndpoint> hops;
};

// Throws ProtocolError::invalidFrame when the payload is not credential plus
// whole hop entries.
AuthRequest parseAuthRequestPayload(std::span<const std::uint8_t> payload);

static constexpr std::size_t authResponsePayloadSize = 16;

// The node's answer: the device id big-endian, then 8 bytes the client ignores.
std::vector<std::uint8_t> authResponsePayload(std::uint64_t deviceID,
                                              std::array<std::uint8_t, 8> rest = {});

// Throws ProtocolError::authenticationFailed unless `frame` is an authResponse of
// 16 bytes carrying `deviceID`.
void checkAuthResponse(const Frame& frame, std::uint64_t deviceID);

std::uint64_t readUInt64BE(std::span<const std::uint8_t> bytes, std::size_t at);

}  // namespace flowgate
