#pragma once

// One authenticated TLS connection to the first node of a path. After the
// authentication frames it carries IPv4 packets both ways: each outbound batch
// is one send, inbound bytes are cut into packets and handed to the packet
// handler on the session's strand.

#include "flowgate/config/records.hpp"
#include "flowgate/control/trust_bundle.hpp"
#include "flowgate/transport/tls_channel.hpp"
#include "platform/connector.hpp"
#include "runtime/async.hpp"
#include "runtime/bytes.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flowgate {

struct SessionOptions {
  // Until the session must be ready: name lookup, connect, TLS handshake and
  // authentication.
  std::chrono::milliseconds startTimeout = std::chrono::seconds(12);
  // The mark of the daemon's own sockets (platform::kRoutingMark), or none.
  std::optional<std::uint32_t> routingMark;
  // Looks a node's host name up; none: the system's resolver.
  platform::NameLookup nameLookup = {};
};

class Session : public runtime::Serialized, public std::enable_shared_from_this<Session> {
 public:
  using Packets = std::vector<runtime::SharedBytes>;
  // The packets are slices of the session's read blocks: a handler that keeps
  // some holds a block, so it should be done with them when it returns.
  using PacketHandler = std::function<void(const Packets&)>;
  using StateHandler = std::function<void(const boost::uuids::uuid&)>;

  static constexpr std::size_t receiveSize = 131072;
  // A read waits for no less room than one TLS record's plaintext.
  static constexpr std::size_t minimumReceiveSize = TLSChannel::recordSize;
  // Unsent bytes the socket takes before a write waits.
  static constexpr int notSentLowWater = 65536;

  // Connects to path[0], authenticates through the path and starts reading.
  // Given a strand as its executor, the session runs on that strand (a pool
  // shares its own, so a batch reaches the socket without a hop between
  // threads); given any other executor, on a strand of its own.
  // The node's certificate must name its tlsServerName, or else the host of
  // its address.
  // Errors: ProtocolError (invalidAddress, connectionTimedOut, connectionClosed,
  // frameTooLarge, invalidFrame, authenticationFailed), the trust bundle's
  // error, or the platform's network and TLS errors as they are.
  static runtime::Task<std::shared_ptr<Session>> connect(
      runtime::Executor executor, std::vector<ExtensionNode> path, std::string credential,
      std::uint64_t deviceID, TrustBundle trustBundle, StateHandler stateHandler,
      SessionOptions options = {});

  Session(runtime::Executor executor, StateHandler stateHandler);
  ~Session();

  const boost::uuids::uuid& id() const { return id_; }

  // True when the whole batch was written; false when closed, empty or failed.
  runtime::Task<bool> sendBatch(Packets packets);
  // sendBatch and close for callers already on the session's strand (the
  // pool's): no hop.
  runtime::Task<bool> sendOnStrand(Packets packets);
  void closeOnStrand();
  // The same for a caller that keeps the packets alive until it completes, so
  // no list is moved or copied; on the session's strand it runs without a hop.
  runtime::Task<bool> sendPackets(std::span<const runtime::SharedBytes> packets);
  runtime::Task<void> setPacketHandler(PacketHandler handler);
  // Idempotent; does not call the state handler.
  runtime::Task<void> close();
  runtime::Task<bool> isActive();
  // The same answer from any thread without a hop onto the session's strand;
  // a session may close just after it answers false.
  bool isClosed() const noexcept { return closedFlag_.load(std::memory_order_acquire); }

 private:
  using Self = std::shared_ptr<Session>;
  static runtime::Task<void> establish(Self self, std::vector<ExtensionNode> path,
                                       std::string credential, std::uint64_t deviceID,
                                       std::shared_ptr<boost::asio::ssl::context> context,
                                       SessionOptions options);
  // Connects, completes TLS and authenticates, all within the start timeout.
  runtime::Task<void> start(std::string host, std::uint16_t port, std::string serverName,
                            SessionOptions options, std::vector<std::uint8_t> authPayload,
                            std::uint64_t deviceID);
  runtime::Task<void> authenticate(std::vector<std::uint8_t> payload, std::uint64_t deviceID);
  runtime::Task<void> receiveExactly(std::uint8_t* data, std::size_t count);
  static runtime::Task<bool> send(Self self, std::span<const runtime::SharedBytes> packets);
  static runtime::Task<void> readLoop(std::weak_ptr<Session> weak,
                                      std::shared_ptr<TLSChannel> channel);
  // Into the channel; false if TLS refused.
  bool encryptBatch(std::span<const runtime::SharedBytes> packets);
  void closeNow();
  void failEstablished();

  std::shared_ptr<boost::asio::ssl::context> context_;
  boost::uuids::uuid id_;
  StateHandler stateHandler_;
  PacketHandler packetHandler_;
  std::shared_ptr<TLSChannel> channel_;
  bool closed_ = false;
  std::atomic<bool> closedFlag_{false};  // closed_, for readers off the strand
  bool writing_ = false;
  boost::asio::steady_timer writeDone_;   // woken when a send finishes
  std::vector<std::uint8_t> sendBuffer_;  // short runs of a batch, gathered
};

}  // namespace flowgate
