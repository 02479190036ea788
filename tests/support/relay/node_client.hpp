#pragma once

// The client side of a node connection for tests: TLS over TCP against the lab's
// node CA, the authentication frames, then IPv4 packets both ways. Every wait is
// bounded; a test never hangs on a silent relay.

#include "flowgate/transport/frame.hpp"
#include "flowgate/transport/ip_stream_decoder.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// How a read ended when it did not return what was asked for.
enum class ReadEnd { data, closed, timedOut };

class NodeClient {
 public:
  enum class TLSVersion { tls12, tls13 };

  // Connects to 127.0.0.1:port, or adopts an already connected socket.
  NodeClient(std::uint16_t port, const std::string& nodeCAFile,
             TLSVersion version = TLSVersion::tls13);
  NodeClient(int connectedSocket, const std::string& nodeCAFile);

  // False when the handshake fails (or does not finish within 5 s).
  bool handshake();

  void write(std::span<const std::uint8_t> bytes);
  void writeFrame(const flowgate::Frame& frame) { write(frame.encoded()); }
  // Writes one authRequest for a path whose later nodes are `laterNodes`.
  void sendAuthRequest(const std::string& credential,
                       std::vector<flowgate::HopEndpoint> laterNodes = {});

  // The authResponse, or nothing when the relay closed (or stayed silent).
  std::optional<flowgate::Frame> readFrame(std::chrono::milliseconds timeout = 5s);
  // Handshake, request and the check of the answer; true when authenticated.
  bool authenticate(const std::string& credential, std::uint64_t deviceID,
                    std::vector<flowgate::HopEndpoint> laterNodes = {});

  // Collects `count` packets; fewer when the stream closes or the time runs out
  // (`end` tells which). A bad IPv4 header throws ProtocolError::invalidFrame.
  std::vector<Bytes> readPackets(std::size_t count, std::chrono::milliseconds timeout = 5s,
                                 ReadEnd* end = nullptr);

  // Waits for the relay to close the connection; false when bytes arrive
  // first or nothing happens within the timeout.
  bool closedWithoutAnswer(std::chrono::milliseconds timeout = 5s);

  // For pipelined traffic (benchmarks): the stream and its context, once
  // authenticated and with nothing buffered.
  boost::asio::ssl::stream<boost::asio::ip::tcp::socket>& stream() { return *stream_; }
  boost::asio::io_context& context() { return io_; }

 private:
  void setUp(const std::string& nodeCAFile, TLSVersion version);
  // Reads some bytes into `received_`; the result tells how the wait ended.
  ReadEnd readSome(std::chrono::steady_clock::time_point deadline);

  boost::asio::io_context io_;
  boost::asio::ssl::context tls_;
  std::optional<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>> stream_;
  std::vector<std::uint8_t> received_;
  flowgate::IPStreamDecoder decoder_;
  std::vector<runtime::SharedBytes> packets_;
};

}  // namespace testsupport
