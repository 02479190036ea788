#include "flowgate/transport/frame.hpp"
#include "flowgate/errors/protocol_error.hpp"

#include <gtest/gtest.h>

using namespace flowgate;

namespace {

template <class F>
runtime::ErrorCode errorOf(F f) {
  try {
    f();
  } catch (const runtime::SystemError& e) {
    return e.code();
  }
  return {};
}

std::array<std::uint8_t, 6> header(std::uint32_t total, std::uint8_t version, std::uint8_t type) {
  return {static_cast<std::uint8_t>(total >> 24),
          static_cast<std::uint8_t>(total >> 16),
          static_cast<std::uint8_t>(total >> 8),
          static_cast<std::uint8_t>(total),
          version,
          type};
}

}  // namespace

TEST(FrameEncoding, EmptyPayloadIsTheBareHeader) {
  EXPECT_EQ((Frame{FrameType::authResponse, {}}.encoded()),
            (std::vector<std::uint8_t>{0, 0, 0, 6, 1, 2}));
  EXPECT_EQ((Frame{FrameType::authRequest, {9}}.encoded()),
            (std::vector<std::uint8_t>{0, 0, 0, 7, 1, 1, 9}));
}

TEST(FrameEncoding, LargestFrameIs65536BytesInAll) {
  Frame largest{FrameType::authRequest, std::vector<std::uint8_t>(65530, 1)};
  auto bytes = largest.encoded();
  EXPECT_EQ(bytes.size(), 65536u);
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4)),
            (std::vector<std::uint8_t>{0, 1, 0, 0}));
  Frame tooLarge{FrameType::authRequest, std::vector<std::uint8_t>(65531, 1)};
  EXPECT_EQ(errorOf([&] { tooLarge.encoded(); }), ProtocolError::frameTooLarge);
}

TEST(FrameHeaderCheck, AcceptsOnlyValidLengthVersionAndType) {
  auto accepted = checkFrameHeader(header(6, 1, 2));
  EXPECT_EQ(accepted.type, FrameType::authResponse);
  EXPECT_EQ(accepted.payloadLength, 0u);
  EXPECT_EQ(checkFrameHeader(header(65536, 1, 1)).payloadLength, 65530u);

  for (auto bad : {header(5, 1, 1), header(0, 1, 1), header(65537, 1, 1), header(0xffffffff, 1, 1),
                   header(22, 2, 2), header(22, 0, 2), header(22, 1, 0), header(22, 1, 3)}) {
    EXPECT_EQ(errorOf([&] { checkFrameHeader(bad); }), ProtocolError::invalidFrame);
  }
}

TEST(AuthRequest, ListsLaterNodesLastFirst) {
  // Path [A, B, C]: the client connects to A and lists C, then B.
  const HopEndpoint b{0xc6336401, 443}, c{0xcb007105, 8443};
  const HopEndpoint later[] = {b, c};
  auto payload = authRequestPayload("tok", later);
  EXPECT_EQ(payload, (std::vector<std::uint8_t>{0, 3, 't', 'o', 'k',                    //
                                                0xcb, 0x00, 0x71, 0x05, 0x20, 0xfb,     // C
                                                0xc6, 0x33, 0x64, 0x01, 0x01, 0xbb}));  // B
  auto parsed = parseAuthRequestPayload(payload);
  EXPECT_EQ(parsed.credential, "tok");
  EXPECT_EQ(parsed.hops, (std::vector<HopEndpoint>{c, b}));

  // Path [A]: the payload ends after the credential.
  EXPECT_EQ(authRequestPayload("tok", {}), (std::vector<std::uint8_t>{0, 3, 't', 'o', 'k'}));
}

TEST(AuthRequest, CredentialLimits) {
  std::string longest(65535, 'x');
  auto payload = authRequestPayload(longest, {});
  EXPECT_EQ(payload.size(), 65537u);
  // It builds, but no frame can carry it.
  EXPECT_EQ(errorOf([&] {
              Frame{FrameType::authRequest, payload}.encoded();
            }),
            ProtocolError::frameTooLarge);
  std::string tooLong(65536, 'x');
  EXPECT_EQ(errorOf([&] { authRequestPayload(tooLong, {}); }), ProtocolError::frameTooLarge);
}

TEST(AuthRequest, NodeSideRejectsPartialEntries) {
  for (std::vector<std::uint8_t> bad :
       {std::vector<std::uint8_t>{0}, std::vector<std::uint8_t>{0, 5, 'a'},
        std::vector<std::uint8_t>{0, 1, 'a', 1, 2, 3}}) {
    EXPECT_EQ(errorOf([&] { parseAuthRequestPayload(bad); }), ProtocolError::invalidFrame);
  }
}

TEST(AuthResponse, OnlyTheDeviceIdIsChecked) {
  const std::uint64_t id = 0x0102030405060708;
  Frame ok{FrameType::authResponse, authResponsePayload(id, {9, 9, 9, 9, 9, 9, 9, 9})};
  EXPECT_NO_THROW(checkAuthResponse(ok, id));
  EXPECT_EQ(readUInt64BE(ok.payload, 0), id);

  Frame otherID{FrameType::authResponse, authResponsePayload(id + 1)};
  Frame wrongType{FrameType::authRequest, authResponsePayload(id)};
  auto longer = authResponsePayload(id);
  longer.push_back(0);
  Frame seventeen{FrameType::authResponse, longer};
  Frame fifteen{FrameType::authResponse,
                std::vector<std::uint8_t>(longer.begin(), longer.begin() + 15)};
  for (const auto* frame : {&otherID, &wrongType, &seventeen, &fifteen}) {
    EXPECT_EQ(errorOf([&] { checkAuthResponse(*frame, id); }), ProtocolError::authenticationFailed);
  }
}
