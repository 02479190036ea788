#include "flowgate/control/stored_token_state.hpp"
#include "flowgate/errors/protocol_error.hpp"
#include "runtime/json_codec.hpp"

#include <gtest/gtest.h>

using namespace flowgate;
namespace json = runtime::json;

TEST(ProtocolErrors, DescriptionsInOrder) {
  const std::pair<ProtocolError, const char*> expected[] = {
      {ProtocolError::invalidAddress, "Invalid node address"},
      {ProtocolError::invalidFrame, "Invalid frame"},
      {ProtocolError::frameTooLarge, "Frame too large"},
      {ProtocolError::connectionClosed, "Node connection closed"},
      {ProtocolError::connectionTimedOut, "Node connection timed out"},
      {ProtocolError::authenticationFailed, "Node authentication failed"},
  };
  int value = 1;
  for (auto [error, text] : expected) {
    runtime::ErrorCode code = error;
    EXPECT_TRUE(code.failed());
    EXPECT_EQ(code.value(), value++);
    EXPECT_EQ(code.message(), text);
    EXPECT_EQ(code, error);
    EXPECT_NE(code, ProtocolError::invalidFrame == error ? ProtocolError::invalidAddress
                                                         : ProtocolError::invalidFrame);
  }
}

TEST(StoredTokens, ZeroDateRoundTripsAsTheReferenceDate) {
  StoredTokenState state{"a", "r", runtime::Date{0}};
  auto text = json::encodeText(state);
  EXPECT_EQ(text, R"({"accessToken":"a","refreshToken":"r","accessExpiresAt":0})");
  auto back = json::decodeText<StoredTokenState>(text);
  EXPECT_EQ(back, state);
  EXPECT_DOUBLE_EQ(back.accessExpiresAt.unixSeconds(), 978307200.0);
}

TEST(StoredTokens, FractionalSecondsSurviveTheRoundTrip) {
  StoredTokenState state{"a", "r", runtime::Date{786543210.123456}};
  auto back = json::decodeText<StoredTokenState>(json::encodeText(state));
  EXPECT_EQ(back.accessExpiresAt, state.accessExpiresAt);
}

TEST(StoredTokens, MissingRefreshTokenDoesNotDecode) {
  EXPECT_THROW(json::decodeText<StoredTokenState>((R"({"accessToken":"a","accessExpiresAt":1.5})")),
               runtime::SystemError);
  // Snake_case keys are not this record's form.
  EXPECT_THROW(json::decodeText<StoredTokenState>(
                   (R"({"access_token":"a","refresh_token":"r","access_expires_at":1})")),
               runtime::SystemError);
}
