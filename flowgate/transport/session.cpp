#include "flowgate/transport/session.hpp"

#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/transport/frame.hpp"
#include "flowgate/transport/ip_stream_decoder.hpp"
#include "flowgate/transport/node_endpoint.hpp"
#include "flowgate/transport/node_tls.hpp"
#include "platform/connector.hpp"
#include "runtime/block_pool.hpp"
#include "runtime/deadline.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/uuid/random_generator.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <exception>

namespace flowgate {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using asio::ip::tcp;
using runtime::Task;

namespace {

bool isEndOfStream(const runtime::ErrorCode& ec) {
  return ec == asio::error::eof || ec == ssl::error::stream_truncated;
}

}  // namespace

Session::Session(runtime::Executor executor, StateHandler stateHandler)
    : Serialized(executor),
      id_(boost::uuids::random_generator()()),
      stateHandler_(std::move(stateHandler)),
      writeDone_(strand(), asio::steady_timer::time_point::max()) {}

Session::~Session() {
  // The socket belongs to the strand; close it there, after anything queued.
  if (auto channel = channel_) asio::post(strand(), [channel] { channel->close(); });
}

Task<std::shared_ptr<Session>> Session::connect(runtime::Executor executor,
                                                std::vector<ExtensionNode> path,
                                                std::string credential, std::uint64_t deviceID,
                                                TrustBundle trustBundle, StateHandler stateHandler,
                                                SessionOptions options) {
  if (path.empty() || !hostPort(path.front())) runtime::fail(ProtocolError::invalidAddress);
  auto context = std::make_shared<ssl::context>(makeNodeTLSContext(trustBundle));
  auto session = std::make_shared<Session>(executor, std::move(stateHandler));
  auto established =
      establish(session, std::move(path), std::move(credential), deviceID, context, options);
  co_await runtime::runOn<void>(session->strand(), std::move(established));
  co_return session;
}

Task<void> Session::establish(Self self, std::vector<ExtensionNode> path, std::string credential,
                              std::uint64_t deviceID, std::shared_ptr<ssl::context> context,
                              SessionOptions options) {
  self->context_ = std::move(context);
  auto target = *hostPort(path.front());
  try {
    std::vector<HopEndpoint> laterNodes;
    for (std::size_t i = 1; i < path.size(); ++i) {
      auto endpoint = ipv4Endpoint(path[i]);
      if (!endpoint) runtime::fail(ProtocolError::invalidAddress);
      laterNodes.push_back(*endpoint);
    }
    auto payload = authRequestPayload(credential, laterNodes);
    auto serverName = path.front().tlsServerName.value_or(target.host);
    co_await self->start(target.host, target.port, std::move(serverName), options,
                         std::move(payload), deviceID);
  } catch (...) {
    // A session that is not returned must not leave its connection open.
    self->closeNow();
    throw;
  }
  // Bytes the socket has not sent wait in the interface's queue rather than
  // in the socket behind everything written before them: a ping or a DNS
  // answer waits behind little of a bulk flow.
  const int notSent = notSentLowWater;
  ::setsockopt(self->channel_->socket().native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &notSent,
               sizeof notSent);
  // Whatever escapes the read loop (a throwing packet handler) ends the session
  // as a dropped connection would; it runs on the strand, as the loop did.
  std::weak_ptr<Session> weak = self;
  runtime::spawn(self->strand(), readLoop(weak, self->channel_), [weak](std::exception_ptr) {
    if (auto session = weak.lock()) session->failEstablished();
  });
}

Task<void> Session::start(std::string host, std::uint16_t port, std::string serverName,
                          SessionOptions options, std::vector<std::uint8_t> authPayload,
                          std::uint64_t deviceID) {
  auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
  platform::SocketOptions socketOptions{options.routingMark, true, true, options.nameLookup};
  try {
    auto socket = co_await platform::connectTCP(strand(), std::move(host), port, socketOptions,
                                                options.startTimeout);
    channel_ = std::make_shared<TLSChannel>(std::move(socket), *context_);
  } catch (const runtime::SystemError& e) {
    if (e.code() == asio::error::timed_out) runtime::fail(ProtocolError::connectionTimedOut);
    throw;
  }
  setNodeServerName(channel_->nativeHandle(), serverName);

  // Exactly one of ready, failure or timeout ends the start: a handshake or an
  // answer that completes once the deadline has passed is ignored. A node that
  // finishes TLS and then stays silent must not hold the start forever.
  std::exception_ptr failure;
  {
    runtime::Deadline watchdog(strand(), deadline, [channel = channel_] { channel->close(); });
    try {
      auto handshaking = channel_->handshake();
      if (auto ec = co_await std::move(handshaking)) throw runtime::SystemError(ec);
      // A write that fits the socket goes out before a watchdog already due
      // has run: a late start must not send the credential.
      if (std::chrono::steady_clock::now() >= deadline) {
        runtime::fail(ProtocolError::connectionTimedOut);
      }
      co_await authenticate(std::move(authPayload), deviceID);
    } catch (...) {
      failure = std::current_exception();
    }
    if (watchdog.expired()) runtime::fail(ProtocolError::connectionTimedOut);
  }
  if (failure) std::rethrow_exception(failure);
}

Task<void> Session::authenticate(std::vector<std::uint8_t> payload, std::uint64_t deviceID) {
  auto request = Frame{FrameType::authRequest, std::move(payload)}.encoded();
  if (!channel_->encrypt(request)) runtime::fail(ProtocolError::connectionClosed);
  auto flushing = channel_->flush();
  if (auto ec = co_await std::move(flushing)) throw runtime::SystemError(ec);

  std::array<std::uint8_t, Frame::headerSize> header{};
  co_await receiveExactly(header.data(), header.size());
  auto accepted = checkFrameHeader(header);
  Frame reply{accepted.type, std::vector<std::uint8_t>(accepted.payloadLength)};
  co_await receiveExactly(reply.payload.data(), reply.payload.size());
  checkAuthResponse(reply, deviceID);
}

Task<void> Session::receiveExactly(std::uint8_t* data, std::size_t count) {
  std::size_t received = 0;
  while (received < count) {
    auto reading = channel_->read(std::span(data + received, count - received));
    auto [ec, n] = co_await std::move(reading);
    if (isEndOfStream(ec) || (!ec && n == 0)) runtime::fail(ProtocolError::connectionClosed);
    if (ec) throw runtime::SystemError(ec);
    received += n;
  }
}

Task<void> Session::readLoop(std::weak_ptr<Session> weak, std::shared_ptr<TLSChannel> channel) {
  IPStreamDecoder decoder;
  // Reads land in pooled blocks right behind the start of a packet that the
  // last read cut short, so every packet, that one too, is a slice of a block.
  // Once the handler is done with a read's packets their block is free again,
  // and the next read reuses it from its start.
  runtime::BlockPool blocks(2 * receiveSize, 4);
  Packets packets;
  while (true) {
    {
      auto self = weak.lock();
      if (!self || self->closed_) co_return;
    }
    auto room = blocks.reserve(decoder.pendingSize() + minimumReceiveSize);
    const std::size_t carried = decoder.takePending(room);
    const std::size_t space = std::min(receiveSize, room.size() - carried);
    auto reading = channel->read(room.subspan(carried, space));
    auto [ec, n] = co_await std::move(reading);
    auto self = weak.lock();
    if (!self || self->closed_) co_return;
    if (ec || n == 0) {
      self->failEstablished();
      co_return;
    }
    try {
      decoder.append(blocks.commit(carried + n), packets);
    } catch (const runtime::SystemError&) {
      self->closeNow();
      co_return;
    }
    if (!packets.empty() && self->packetHandler_) self->packetHandler_(packets);
    packets.clear();
  }
}

Task<bool> Session::sendBatch(Packets packets) {
  auto sending = sendPackets(packets);
  co_return co_await std::move(sending);
}

Task<bool> Session::sendPackets(std::span<const runtime::SharedBytes> packets) {
  if (isOnStrand()) return send(shared_from_this(), packets);
  return serialized(send(shared_from_this(), packets));
}

Task<bool> Session::sendOnStrand(Packets packets) {
  assertOnStrand();
  auto sending = send(shared_from_this(), packets);
  co_return co_await std::move(sending);
}

void Session::closeOnStrand() {
  assertOnStrand();
  closeNow();
}

Task<bool> Session::send(Self self, std::span<const runtime::SharedBytes> packets) {
  if (self->closed_ || packets.empty()) co_return false;
  while (self->writing_) {
    co_await self->writeDone_.async_wait(runtime::asTuple);
    if (self->closed_) co_return false;
  }
  self->writing_ = true;
  // The whole batch's records go in one socket write.
  auto channel = self->channel_;
  bool written = self->encryptBatch(packets);
  if (written) {
    auto flushing = channel->flush();
    written = !co_await std::move(flushing);
  }
  self->writing_ = false;
  self->writeDone_.cancel();
  if (!written) {
    self->failEstablished();
    co_return false;
  }
  co_return !self->closed_;
}

bool Session::encryptBatch(std::span<const runtime::SharedBytes> packets) {
  // Packets read one after another lie next to each other: such a run is
  // encrypted where it lies. Shorter runs are gathered first, so that no small
  // packet costs a record of its own.
  auto& gathered = sendBuffer_;
  gathered.clear();
  while (!packets.empty()) {
    const std::size_t count = runtime::leadingRun(packets);
    const std::span<const std::uint8_t> run(packets.front().data(),
                                            packets[count - 1].data() + packets[count - 1].size());
    packets = packets.subspan(count);
    if (run.size() < TLSChannel::recordSize) {
      gathered.insert(gathered.end(), run.begin(), run.end());
      continue;
    }
    if ((!gathered.empty() && !channel_->encrypt(gathered)) || !channel_->encrypt(run)) {
      return false;
    }
    gathered.clear();
  }
  return gathered.empty() || channel_->encrypt(gathered);
}

Task<void> Session::setPacketHandler(PacketHandler handler) {
  auto install = [](Self self, PacketHandler h) -> Task<void> {
    self->packetHandler_ = std::move(h);
    co_return;
  };
  return serialized(install(shared_from_this(), std::move(handler)));
}

Task<void> Session::close() {
  auto closing = [](Self self) -> Task<void> {
    self->closeNow();
    co_return;
  };
  return serialized(closing(shared_from_this()));
}

Task<bool> Session::isActive() {
  auto active = [](Self self) -> Task<bool> { co_return !self->closed_; };
  return serialized(active(shared_from_this()));
}

void Session::closeNow() {
  if (closed_) return;
  closed_ = true;
  closedFlag_.store(true, std::memory_order_release);
  writeDone_.cancel();
  if (channel_) channel_->close();
}

void Session::failEstablished() {
  if (closed_) return;
  closeNow();
  if (stateHandler_) stateHandler_(id_);
}

}  // namespace flowgate
