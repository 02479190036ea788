// Misbehaving nodes the relay cannot play: a node that answers with a chosen
// reply or none, and one that never finishes the TLS handshake in time.

#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/transport/frame.hpp"
#include "runtime/spawn.hpp"
#include "session_fixture.hpp"

#include <boost/asio/read.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <thread>

using namespace sessiontest;
using asio::ip::tcp;
using flowgate::ProtocolError;

namespace {

struct Script {
  std::vector<std::uint8_t> reply;
  std::chrono::milliseconds handshakeDelay{};
  std::string listen = "127.0.0.1";
  int maxTLSVersion = 0;  // 0: any
};

// Accepts one connection with relay-a's certificate, optionally waits before the
// TLS handshake, reads the authRequest and writes the reply, then holds the line.
class ScriptedNode {
 public:
  ScriptedNode(asio::io_context& io, const Lab& lab, Script script)
      : acceptor_(io, tcp::endpoint(asio::ip::make_address(script.listen), 0)),
        context_(asio::ssl::context::tls_server) {
    context_.use_certificate_chain_file(lab.paths().nodeCertificate(lab.nodeName(0)).string());
    context_.use_private_key_file(lab.paths().nodeKey(lab.nodeName(0)).string(),
                                  asio::ssl::context::pem);
    if (script.maxTLSVersion) {
      SSL_CTX_set_max_proto_version(context_.native_handle(), script.maxTLSVersion);
    }
    runtime::spawn(io.get_executor(), serve(std::move(script)));
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  bool sawRequest() const { return sawRequest_; }
  bool handshakeDone() const { return handshakeDone_; }

 private:
  runtime::Task<void> serve(Script script) {
    auto socket = co_await acceptor_.async_accept(asio::use_awaitable);
    stream_ = std::make_unique<asio::ssl::stream<tcp::socket>>(std::move(socket), context_);
    asio::steady_timer wait(acceptor_.get_executor(), script.handshakeDelay);
    co_await wait.async_wait(asio::use_awaitable);
    auto [handshake] =
        co_await stream_->async_handshake(asio::ssl::stream_base::server, runtime::asTuple);
    if (handshake) co_return;
    handshakeDone_ = true;
    try {
      std::array<std::uint8_t, 6> header{};
      co_await asio::async_read(*stream_, asio::buffer(header), asio::use_awaitable);
      std::vector<std::uint8_t> payload(flowgate::checkFrameHeader(header).payloadLength);
      co_await asio::async_read(*stream_, asio::buffer(payload), asio::use_awaitable);
      sawRequest_ = true;
      co_await asio::async_write(*stream_, asio::buffer(script.reply), asio::use_awaitable);
    } catch (const runtime::SystemError&) {
      // The client hung up mid-script, as some tests make it do.
    }
  }

  tcp::acceptor acceptor_;
  asio::ssl::context context_;
  std::unique_ptr<asio::ssl::stream<tcp::socket>> stream_;
  std::atomic<bool> sawRequest_ = false;
  std::atomic<bool> handshakeDone_ = false;
};

std::vector<std::uint8_t> reply(std::vector<std::uint8_t> payload,
                                flowgate::FrameType type = flowgate::FrameType::authResponse) {
  return flowgate::Frame{type, std::move(payload)}.encoded();
}

}  // namespace

class ScriptedSessionTest : public SessionTest {};

TEST_F(ScriptedSessionTest, OnlyAnAuthResponseWithTheDeviceIdIsAccepted) {
  {
    ScriptedNode node(io, *lab, {reply(flowgate::authResponsePayload(deviceID, {1, 2, 3}))});
    auto session = connect({this->node(1, node.port())});
    EXPECT_TRUE(await(session->isActive()));
  }
  auto longer = flowgate::authResponsePayload(deviceID);
  longer.push_back(0);
  std::vector<std::vector<std::uint8_t>> refused = {
      reply(flowgate::authResponsePayload(deviceID + 1)),
      reply(longer),
      reply(flowgate::authResponsePayload(deviceID), flowgate::FrameType::authRequest),
  };
  for (auto& bytes : refused) {
    ScriptedNode node(io, *lab, {bytes});
    EXPECT_EQ(connectError({this->node(1, node.port())}), ProtocolError::authenticationFailed);
    EXPECT_TRUE(node.sawRequest());
  }
}

TEST_F(ScriptedSessionTest, ABadFrameHeaderIsInvalidFrame) {
  auto bytes = reply(flowgate::authResponsePayload(deviceID));
  bytes[4] = 2;  // version
  ScriptedNode node(io, *lab, {bytes});
  EXPECT_EQ(connectError({this->node(1, node.port())}), ProtocolError::invalidFrame);
}

TEST_F(ScriptedSessionTest, AHandshakeCompletedAfterTheDeadlineIsIgnored) {
  // The node runs on a thread of its own and answers while this thread does not
  // run the client: when it runs again, the start timer and the handshake's
  // last step are both due. The timeout wins; the late "ready" changes nothing.
  asio::io_context nodeIO;
  ScriptedNode node(
      nodeIO, *lab,
      {reply(flowgate::authResponsePayload(deviceID)), std::chrono::milliseconds(150)});
  std::thread nodeThread([&] { nodeIO.run_for(std::chrono::seconds(3)); });
  int completions = 0;
  runtime::ErrorCode error;
  flowgate::SessionOptions options{.startTimeout = std::chrono::milliseconds(200),
                                   .routingMark = {}};
  auto credential = lab->credential(deviceID, tunnelText);
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    try {
      std::vector path{this->node(1, node.port())};
      auto bundle = bundleFor(*lab);
      co_await Session::connect(io.get_executor(), path, credential, deviceID, bundle, {}, options);
    } catch (const runtime::SystemError& failure) {
      error = failure.code();
    }
    ++completions;
  });
  runFor(std::chrono::milliseconds(50));  // connected, the client hello sent
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  runFor(std::chrono::milliseconds(500));
  nodeIO.stop();
  nodeThread.join();
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(error, ProtocolError::connectionTimedOut) << error.message();
  EXPECT_TRUE(node.handshakeDone());  // the client did finish its handshake, too late
  EXPECT_FALSE(node.sawRequest());
}

TEST_F(ScriptedSessionTest, TheStartTimeoutBoundsANodeSilentAfterTLS) {
  ScriptedNode node(io, *lab, {});  // takes the authRequest, answers nothing
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(connectError({this->node(1, node.port())}, {},
                         {.startTimeout = std::chrono::milliseconds(300), .routingMark = {}}),
            ProtocolError::connectionTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  EXPECT_TRUE(node.sawRequest());
}

TEST_F(ScriptedSessionTest, ANodeOfferingOnlyTLS12IsRefused) {
  ScriptedNode node(
      io, *lab, {reply(flowgate::authResponsePayload(deviceID)), {}, "127.0.0.1", TLS1_2_VERSION});
  auto error = connectError({this->node(1, node.port())});
  EXPECT_EQ(error.category(), asio::error::get_ssl_category()) << error.message();
  EXPECT_FALSE(node.sawRequest());
}

TEST_F(ScriptedSessionTest, WithoutAServerNameTheAddressHostIsVerified) {
  // relay-a's certificate names relay-a and 127.0.0.1, not 127.0.0.2.
  ScriptedNode named(io, *lab, {reply(flowgate::authResponsePayload(deviceID)), {}, "127.0.0.2"});
  auto error = connectError(
      {ExtensionNode{1, "n", "127.0.0.2:" + std::to_string(named.port()), std::nullopt, 0}});
  EXPECT_EQ(error.category(), asio::error::get_ssl_category()) << error.message();
  EXPECT_FALSE(named.sawRequest());

  ScriptedNode renamed(io, *lab, {reply(flowgate::authResponsePayload(deviceID)), {}, "127.0.0.2"});
  EXPECT_NO_THROW(connect(
      {ExtensionNode{1, "n", "127.0.0.2:" + std::to_string(renamed.port()), "relay-a", 0}}));
}
