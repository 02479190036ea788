#include "tests/support/relay/node_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

#include <stdexcept>

namespace testsupport {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using asio::ip::tcp;

NodeClient::NodeClient(std::uint16_t port, const std::string& nodeCAFile, TLSVersion version)
    : tls_(ssl::context::tls_client) {
  setUp(nodeCAFile, version);
  tcp::endpoint target(asio::ip::address_v4::loopback(), port);
  stream_->lowest_layer().connect(target);
}

NodeClient::NodeClient(int connectedSocket, const std::string& nodeCAFile)
    : tls_(ssl::context::tls_client) {
  setUp(nodeCAFile, TLSVersion::tls13);
  stream_->lowest_layer().assign(tcp::v4(), connectedSocket);
}

void NodeClient::setUp(const std::string& nodeCAFile, TLSVersion version) {
  auto version_ = version == TLSVersion::tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
  SSL_CTX_set_min_proto_version(tls_.native_handle(), version_);
  SSL_CTX_set_max_proto_version(tls_.native_handle(), version_);
  tls_.load_verify_file(nodeCAFile);
  tls_.set_verify_mode(ssl::verify_peer);
  stream_.emplace(io_, tls_);
}

bool NodeClient::handshake() {
  boost::system::error_code result = asio::error::timed_out;
  bool done = false;
  stream_->async_handshake(ssl::stream_base::client, [&](boost::system::error_code error) {
    result = error;
    done = true;
  });
  io_.restart();
  io_.run_for(5s);
  if (!done) {
    stream_->lowest_layer().close();
    io_.restart();
    io_.run();
  }
  return !result;
}

void NodeClient::write(std::span<const std::uint8_t> bytes) {
  asio::write(*stream_, asio::buffer(bytes.data(), bytes.size()));
}

void NodeClient::sendAuthRequest(const std::string& credential,
                                 std::vector<flowgate::HopEndpoint> laterNodes) {
  writeFrame(
      {flowgate::FrameType::authRequest, flowgate::authRequestPayload(credential, laterNodes)});
}

ReadEnd NodeClient::readSome(std::chrono::steady_clock::time_point deadline) {
  std::array<std::uint8_t, 65536> buffer;
  boost::system::error_code result;
  std::size_t got = 0;
  bool done = false;
  stream_->async_read_some(asio::buffer(buffer),
                           [&](boost::system::error_code error, std::size_t n) {
                             result = error;
                             got = n;
                             done = true;
                           });
  io_.restart();
  io_.run_until(deadline);
  if (!done) {
    // Give up the read without closing: cancel and let it complete.
    stream_->lowest_layer().cancel();
    io_.restart();
    io_.run();
    if (got == 0) return ReadEnd::timedOut;
  }
  received_.insert(received_.end(), buffer.begin(), buffer.begin() + got);
  if (got > 0) return ReadEnd::data;
  return result ? ReadEnd::closed : ReadEnd::data;
}

std::optional<flowgate::Frame> NodeClient::readFrame(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (received_.size() >= flowgate::Frame::headerSize) {
      auto header = flowgate::checkFrameHeader(
          std::span<const std::uint8_t, 6>(received_.data(), flowgate::Frame::headerSize));
      auto total = flowgate::Frame::headerSize + header.payloadLength;
      if (received_.size() >= total) {
        flowgate::Frame frame{header.type, Bytes(received_.begin() + 6, received_.begin() + total)};
        received_.erase(received_.begin(), received_.begin() + total);
        return frame;
      }
    }
    if (readSome(deadline) != ReadEnd::data) return std::nullopt;
  }
}

bool NodeClient::authenticate(const std::string& credential, std::uint64_t deviceID,
                              std::vector<flowgate::HopEndpoint> laterNodes) {
  if (!handshake()) return false;
  sendAuthRequest(credential, std::move(laterNodes));
  auto frame = readFrame();
  if (!frame) return false;
  flowgate::checkAuthResponse(*frame, deviceID);
  return true;
}

std::vector<Bytes> NodeClient::readPackets(std::size_t count, std::chrono::milliseconds timeout,
                                           ReadEnd* end) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<Bytes> result;
  auto take = [&] {
    while (!packets_.empty() && result.size() < count) {
      result.emplace_back(packets_.front().begin(), packets_.front().end());
      packets_.erase(packets_.begin());
    }
  };
  take();
  while (result.size() < count) {
    auto how = readSome(deadline);
    if (!received_.empty()) {
      decoder_.append(runtime::SharedBytes::copy(received_), packets_);
      received_.clear();
      take();
    }
    if (how != ReadEnd::data) {
      if (end) *end = how;
      return result;
    }
  }
  if (end) *end = ReadEnd::data;
  return result;
}

bool NodeClient::closedWithoutAnswer(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!received_.empty()) return false;
  auto how = readSome(deadline);
  return how == ReadEnd::closed && received_.empty();
}

}  // namespace testsupport
