// Misbehaving nodes the relay cannot play: a node that answers with a chosen
// reply, and one that never finishes the TLS handshake in time.

#include "flowgate/transport/frame.hpp"
#include "flowgate/transport/protocol_error.hpp"
#include "session_fixture.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

using namespace sessiontest;
using asio::ip::tcp;
using flowgate::ProtocolError;

namespace {

// Accepts one connection with relay-a's certificate, optionally waits before the
// TLS handshake, reads the authRequest and writes `reply`, then holds the line.
class ScriptedNode {
 public:
  ScriptedNode(asio::io_context& io, const Lab& lab, std::vector<std::uint8_t> reply,
               std::chrono::milliseconds handshakeDelay = {})
      : acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
        context_(asio::ssl::context::tls_server) {
    context_.use_certificate_chain_file(lab.paths().nodeCertificate(lab.nodeName(0)).string());
    context_.use_private_key_file(lab.paths().nodeKey(lab.nodeName(0)).string(),
                                  asio::ssl::context::pem);
    asio::co_spawn(io, serve(std::move(reply), handshakeDelay), asio::detached);
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  bool sawRequest() const { return sawRequest_; }

 private:
  runtime::Task<void> serve(std::vector<std::uint8_t> reply, std::chrono::milliseconds delay) {
    auto socket = co_await acceptor_.async_accept(asio::use_awaitable);
    stream_ = std::make_unique<asio::ssl::stream<tcp::socket>>(std::move(socket), context_);
    asio::steady_timer wait(acceptor_.get_executor(), delay);
    co_await wait.async_wait(asio::use_awaitable);
    auto [handshake] = co_await stream_->async_handshake(asio::ssl::stream_base::server,
                                                         asio::as_tuple(asio::use_awaitable));
    if (handshake) co_return;
    std::array<std::uint8_t, 6> header{};
    co_await asio::async_read(*stream_, asio::buffer(header), asio::use_awaitable);
    std::vector<std::uint8_t> payload(flowgate::checkFrameHeader(header).payloadLength);
    co_await asio::async_read(*stream_, asio::buffer(payload), asio::use_awaitable);
    sawRequest_ = true;
    co_await asio::async_write(*stream_, asio::buffer(reply), asio::use_awaitable);
  }

  tcp::acceptor acceptor_;
  asio::ssl::context context_;
  std::unique_ptr<asio::ssl::stream<tcp::socket>> stream_;
  bool sawRequest_ = false;
};

std::vector<std::uint8_t> reply(std::vector<std::uint8_t> payload,
                                flowgate::FrameType type = flowgate::FrameType::authResponse) {
  return flowgate::Frame{type, std::move(payload)}.encoded();
}

}  // namespace

class ScriptedSessionTest : public SessionTest {};

TEST_F(ScriptedSessionTest, OnlyAnAuthResponseWithTheDeviceIdIsAccepted) {
  {
    ScriptedNode node(io, *lab, reply(flowgate::authResponsePayload(deviceID, {1, 2, 3})));
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
    ScriptedNode node(io, *lab, bytes);
    EXPECT_EQ(connectError({this->node(1, node.port())}), ProtocolError::authenticationFailed);
    EXPECT_TRUE(node.sawRequest());
  }
}

TEST_F(ScriptedSessionTest, ABadFrameHeaderIsInvalidFrame) {
  auto bytes = reply(flowgate::authResponsePayload(deviceID));
  bytes[4] = 2;  // version
  ScriptedNode node(io, *lab, bytes);
  EXPECT_EQ(connectError({this->node(1, node.port())}), ProtocolError::invalidFrame);
}

TEST_F(ScriptedSessionTest, AHandshakeThatNeverCompletesTimesOutExactlyOnce) {
  // The node finishes its handshake only after the start timeout: that late
  // "ready" must not complete the start a second time.
  ScriptedNode node(io, *lab, reply(flowgate::authResponsePayload(deviceID)),
                    std::chrono::milliseconds(600));
  int completions = 0;
  runtime::ErrorCode error;
  asio::co_spawn(
      io,
      Session::connect(io.get_executor(), {this->node(1, node.port())},
                       lab->credential(deviceID, tunnelText), deviceID, bundleFor(*lab), {},
                       flowgate::SessionOptions{.startTimeout = 0.2, .socketMark = {}}),
      [&](std::exception_ptr e, std::shared_ptr<Session>) {
        ++completions;
        try {
          if (e) std::rethrow_exception(e);
        } catch (const runtime::SystemError& failure) {
          error = failure.code();
        }
      });
  runFor(std::chrono::milliseconds(1200));
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(error, ProtocolError::connectionTimedOut);
  EXPECT_FALSE(node.sawRequest());
}
