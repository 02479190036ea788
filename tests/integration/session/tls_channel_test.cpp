// The channel's records against the TLS library's own server, in each suite:
// data both ways in records of every size, tickets, key updates from either
// side and a close.

#include "flowgate/transport/tls_channel.hpp"
#include "flowgate/transport/node_tls.hpp"
#include "runtime/spawn.hpp"
#include "session_fixture.hpp"

#include <boost/asio/read.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include <numeric>

using namespace sessiontest;
using asio::ip::tcp;
using flowgate::TLSChannel;

namespace {

constexpr std::size_t kEchoed = 50000;  // four records
const std::string kUpdated = "sent after key updates it asks to be answered";
const std::string kAnswer = "answered";

// Echoes kEchoed bytes, then asks twice for a key update as it writes kUpdated, takes
// kAnswer and closes with TLS's close.
class EchoServer {
 public:
  EchoServer(asio::io_context& io, const Lab& lab, const char* suite)
      : acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
        context_(asio::ssl::context::tls_server) {
    context_.use_certificate_chain_file(lab.paths().nodeCertificate(lab.nodeName(0)).string());
    context_.use_private_key_file(lab.paths().nodeKey(lab.nodeName(0)).string(),
                                  asio::ssl::context::pem);
    SSL_CTX_set_ciphersuites(context_.native_handle(), suite);
    runtime::spawn(io.get_executor(), serve());
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  bool done = false;
  std::string answer;
  int keyUpdatesReceived = 0;

 private:
  runtime::Task<void> serve() {
    auto socket = co_await acceptor_.async_accept(asio::use_awaitable);
    asio::ssl::stream<tcp::socket> stream(std::move(socket), context_);
    SSL_set_msg_callback(stream.native_handle(), [](int writing, int, int type, const void* bytes,
                                                    std::size_t size, SSL*, void* self) {
      const bool keyUpdate = size > 0 && static_cast<const std::uint8_t*>(bytes)[0] == 24;
      if (!writing && type == SSL3_RT_HANDSHAKE && keyUpdate) {
        ++static_cast<EchoServer*>(self)->keyUpdatesReceived;
      }
    });
    SSL_set_msg_callback_arg(stream.native_handle(), this);
    co_await stream.async_handshake(asio::ssl::stream_base::server, asio::use_awaitable);
    std::vector<std::uint8_t> echoed(kEchoed);
    co_await asio::async_read(stream, asio::buffer(echoed), asio::use_awaitable);
    co_await asio::async_write(stream, asio::buffer(echoed), asio::use_awaitable);
    for (const auto& part : {kUpdated.substr(0, 10), kUpdated.substr(10)}) {
      SSL_key_update(stream.native_handle(), SSL_KEY_UPDATE_REQUESTED);
      co_await asio::async_write(stream, asio::buffer(part), asio::use_awaitable);
    }
    answer.resize(kAnswer.size());
    co_await asio::async_read(stream, asio::buffer(answer), asio::use_awaitable);
    // Waits for the client's close, which it answers by closing the socket.
    co_await stream.async_shutdown(runtime::asTuple);
    done = true;
  }

  tcp::acceptor acceptor_;
  asio::ssl::context context_;
};

}  // namespace

using TLSChannelTest = SessionTest;

TEST_F(TLSChannelTest, RecordsKeyUpdatesAndACloseAgreeWithTheTLSLibrary) {
  auto context = flowgate::makeNodeTLSContext(bundleFor(*lab));
  for (const char* suite :
       {"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384", "TLS_CHACHA20_POLY1305_SHA256"}) {
    SCOPED_TRACE(suite);
    EchoServer server(io, *lab, suite);
    tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    // A new key every three records: the echo's four records cross one.
    TLSChannel channel(std::move(socket), context, 3);
    flowgate::setNodeServerName(channel.nativeHandle(), "127.0.0.1");
    ASSERT_FALSE(await(channel.handshake()));
    auto readExactly = [&](std::size_t size, std::size_t room) {
      std::vector<std::uint8_t> got(size);
      for (std::size_t at = 0; at < size;) {
        auto [ec, n] = await(channel.read(std::span(got).subspan(at, std::min(room, size - at))));
        if (ec) ADD_FAILURE() << ec.message();
        at = ec ? size : at + n;
      }
      return got;
    };

    std::vector<std::uint8_t> sent(kEchoed);
    std::iota(sent.begin(), sent.end(), std::uint8_t{0});
    ASSERT_TRUE(channel.encrypt(sent));
    ASSERT_FALSE(await(channel.flush()));
    // Short reads leave most of each record for the next; the tickets the
    // server sends first are passed over.
    EXPECT_EQ(readExactly(kEchoed, 1000), sent);

    // The server's updates are followed, and answered once, before the next data.
    EXPECT_EQ(readExactly(kUpdated.size(), 65536),
              std::vector<std::uint8_t>(kUpdated.begin(), kUpdated.end()));
    ASSERT_TRUE(
        channel.encrypt({reinterpret_cast<const std::uint8_t*>(kAnswer.data()), kAnswer.size()}));
    ASSERT_FALSE(await(channel.flush()));

    std::array<std::uint8_t, 16> rest{};
    EXPECT_EQ(await(channel.read(rest)), std::pair(runtime::ErrorCode(asio::error::eof), 0ul));
    channel.close();
    ASSERT_TRUE(runUntil([&] { return server.done; }));
    EXPECT_EQ(server.answer, kAnswer);
    EXPECT_EQ(server.keyUpdatesReceived, 2);  // one after three records, one answer
  }
}
