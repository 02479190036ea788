// The control socket's codec at its edges: what it refuses, how frames are
// cut, and how errors find their way back to the caller's types.

#include "platform/tunnel_host_protocol.hpp"

#include <gtest/gtest.h>

namespace platform::tunnel_protocol {
namespace {

TEST(TunnelHostProtocol, RequestsAreReadStrictly) {
  struct Case {
    const char* payload;
    std::optional<std::uint64_t> id;
    TunnelHostError error;
  };
  const Case cases[] = {
      {"", {}, TunnelHostError::invalidRequest},
      {"\"loadAll\"", {}, TunnelHostError::invalidRequest},
      {R"({"op":"loadAll"})", {}, TunnelHostError::invalidRequest},
      {R"({"id":"1","op":"loadAll"})", {}, TunnelHostError::invalidRequest},
      {R"({"id":1.5,"op":"loadAll"})", {}, TunnelHostError::invalidRequest},
      {R"({"id":-3,"op":"loadAll"})", {}, TunnelHostError::invalidRequest},
      {R"({"id":4,"op":7})", 4, TunnelHostError::invalidRequest},
      {R"({"id":5,"op":"Load"})", 5, TunnelHostError::unknownOperation},
      {R"({"id":6,"op":"load"})", 6, TunnelHostError::invalidRequest},
      {R"({"id":6,"op":"load","identifier":1})", 6, TunnelHostError::invalidRequest},
      {R"({"id":7,"op":"message","identifier":"a","message":"YQ=","wantsReply":true})", 7,
       TunnelHostError::invalidRequest},
      {R"({"id":7,"op":"message","identifier":"a","message":"YQ==","wantsReply":1})", 7,
       TunnelHostError::invalidRequest},
      {R"({"id":8,"op":"start","identifier":"a","options":{"k":{"text":"x","number":1}}})", 8,
       TunnelHostError::invalidRequest},
      {R"({"id":8,"op":"start","identifier":"a","options":{"k":{"bool":true}}})", 8,
       TunnelHostError::invalidRequest},
      {R"({"id":8,"op":"start","identifier":"a","options":{"k":{"number":"1"}}})", 8,
       TunnelHostError::invalidRequest},
      {R"({"id":9,"op":"save","configuration":{"identifier":"","serverAddress":"x"}})", 9,
       TunnelHostError::invalidRequest},
      {R"({"id":10,"op":"setLockdown","enabled":"on"})", 10, TunnelHostError::invalidRequest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    auto decoded = decodeRequest(c.payload);
    EXPECT_EQ(decoded.id, c.id);
    EXPECT_EQ(decoded.error, c.error);
  }
}

TEST(TunnelHostProtocol, EveryRequestSurvivesTheWire) {
  TunnelConfiguration configuration{"c-1",         "com.example.tunnel",
                                    "203.0.113.9", boost::json::object{{"protocolVersion", 3}},
                                    "Work",        true};
  const Request requests[] = {
      {.id = 1, .operation = Operation::loadAll},
      {.id = 2, .operation = Operation::save, .configuration = configuration},
      {.id = 3, .operation = Operation::remove, .identifier = "c-1"},
      {.id = 4,
       .operation = Operation::start,
       .identifier = "c-1",
       .options = {{"d", TunnelOptionData{std::string("\0\x80", 2)}},
                   {"t", std::string("text")},
                   {"n", 0.5}}},
      {.id = 5,
       .operation = Operation::message,
       .identifier = "c-1",
       .message = std::string("\0\xff", 2),
       .wantsReply = true},
      {.id = 6, .operation = Operation::setLockdown, .enabled = true},
      {.id = std::numeric_limits<std::uint64_t>::max(), .operation = Operation::subscribe},
  };
  for (const auto& request : requests) {
    auto decoded = decodeRequest(encodeRequest(request));
    EXPECT_FALSE(decoded.error) << decoded.error.message();
    EXPECT_EQ(decoded.request, request);
  }
}

TEST(TunnelHostProtocol, RepliesAndEventsAreReadStrictly) {
  const char* refused[] = {
      R"({"id":1})",
      R"({"id":1,"result":null,"error":{"domain":"system","code":13,"message":"x"}})",
      R"({"id":1,"error":{"domain":"system","code":1.5,"message":"x"}})",
      R"({"id":1,"error":{"domain":"system","code":4294967296,"message":"x"}})",
      R"({"event":"status","identifier":"a","status":"paused"})",
      R"({"event":"progress","identifier":"a","status":"connected"})",
  };
  for (const char* payload : refused) {
    SCOPED_TRACE(payload);
    EXPECT_THROW(decodeIncoming(payload), runtime::SystemError);
  }
  auto event = decodeIncoming(encodeEvent({"a", TunnelStatus::reasserting}));
  EXPECT_EQ(std::get<TunnelStatusChange>(event),
            (TunnelStatusChange{"a", TunnelStatus::reasserting}));
  EXPECT_THROW(decodeConnection(boost::json::object{{"status", "up"}}), runtime::SystemError);
  EXPECT_THROW(decodeMessageReply(boost::json::object{{"reply", "a b"}}), runtime::SystemError);
}

TEST(TunnelHostProtocol, FramesAreCutWhereverTheBytesBreak) {
  std::string stream = frame("{\"a\":1}") + frame("[]");
  FrameDecoder decoder;
  std::vector<std::string> payloads;
  for (char byte : stream) {
    decoder.append(std::span(&byte, 1));
    while (auto payload = decoder.next()) payloads.push_back(*payload);
  }
  EXPECT_EQ(payloads, (std::vector<std::string>{"{\"a\":1}", "[]"}));
  EXPECT_FALSE(decoder.broken());

  struct Case {
    std::size_t length;
    bool broken;
  };
  for (auto [length, broken] :
       {Case{0, true}, Case{maxFrameLength, false}, Case{maxFrameLength + 1, true}}) {
    SCOPED_TRACE(length);
    const char header[] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                           static_cast<char>(length >> 8), static_cast<char>(length)};
    FrameDecoder edge;
    edge.append(header);
    EXPECT_EQ(edge.next(), std::nullopt);
    EXPECT_EQ(edge.broken(), broken);
  }
}

TEST(TunnelHostProtocol, ErrorsComeBackAsTheCallersTypes) {
  auto thrown = [](const TunnelErrorInfo& info) -> std::exception_ptr {
    try {
      throwError(info);
    } catch (...) {
      return std::current_exception();
    }
  };
  auto refused = errorInfo(runtime::ErrorCode(EACCES, boost::system::generic_category()));
  EXPECT_EQ(refused, (TunnelErrorInfo{"system", 13, "Permission denied"}));
  try {
    std::rethrow_exception(thrown(refused));
  } catch (const runtime::SystemError& e) {
    EXPECT_EQ(e.code(), boost::system::errc::permission_denied);
    EXPECT_EQ(e.code().message(), "Permission denied");
  }
  auto hostError = errorInfo(runtime::makeErrorCode(TunnelHostError::disabled));
  EXPECT_EQ(hostError.domain, "flowgate.tunnel-host");
  try {
    std::rethrow_exception(thrown(hostError));
  } catch (const runtime::SystemError& e) {
    EXPECT_EQ(e.code(), TunnelHostError::disabled);
  }
  TunnelErrorInfo provider{"flowgate.session", 4, "Node refused the session"};
  EXPECT_EQ(errorInfo(thrown(provider)), provider);
  EXPECT_EQ(errorInfo(std::make_exception_ptr(std::runtime_error("broken"))),
            (TunnelErrorInfo{"flowgate.daemon", 1, "broken"}));
}

}  // namespace
}  // namespace platform::tunnel_protocol
