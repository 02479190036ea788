#include "testbed/relay/relay.hpp"
#include "runtime/spawn.hpp"

#include "runtime/ipv4.hpp"
#include "testbed/relay/packet_rules.hpp"
#include "testbed/relay/read_frame.hpp"

#include "flowgate/transport/ip_stream_decoder.hpp"

#include <boost/asio/ip/address_v4.hpp>

#include <openssl/rand.h>

namespace testbed {

namespace ssl = boost::asio::ssl;
using boost::asio::ip::tcp;
using flowgate::Frame;
using flowgate::FrameType;

namespace {

void setNoDelay(tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
}

// Version 4, header length 20, Total Length 8: no decoder accepts it.
constexpr std::array<std::uint8_t, 20> corruptHeader{0x45, 0, 0, 8};

}  // namespace

Relay::Relay(runtime::Executor executor, RelaySettings settings, Exit& exit)
    : executor_(executor),
      settings_(std::move(settings)),
      exit_(exit),
      acceptor_(executor),
      stallEnded_(executor, asio::steady_timer::time_point::max()) {}

std::uint16_t Relay::listen(Endpoint endpoint) {
  tcp::endpoint local(asio::ip::address_v4(endpoint.address), endpoint.port);
  acceptor_.open(local.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(local);
  acceptor_.listen();
  runtime::spawn(executor_, acceptLoop());
  return acceptor_.local_endpoint().port();
}

void Relay::stop() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  dropSessions();
}

std::size_t Relay::dropSessions() {
  auto sessions = sessions_;
  for (auto& [id, session] : sessions) session->close();
  stallEnded_.cancel();  // stalled readers of dropped sessions end too
  return sessions.size();
}

void Relay::stallReading(bool on) {
  stalled_ = on;
  if (!on) stallEnded_.cancel();
}

std::size_t Relay::corruptSessions() {
  std::size_t count = 0;
  for (auto& [id, session] : sessions_) {
    if (!session->authenticated || session->closed) continue;
    auto& out = session->toClient->buffer();
    out.insert(out.end(), corruptHeader.begin(), corruptHeader.end());
    session->toClient->flush();
    ++count;
  }
  return count;
}

runtime::Task<void> Relay::acceptLoop() {
  while (acceptor_.is_open()) {
    auto [error, socket] = co_await acceptor_.async_accept(runtime::asTuple);
    if (error) {
      if (!acceptor_.is_open()) co_return;
      // Out of descriptors or similar: give the system a moment.
      asio::steady_timer pause(executor_, std::chrono::milliseconds(50));
      co_await pause.async_wait(runtime::asTuple);
      continue;
    }
    ++counters_.connections;
    setNoDelay(socket);
    auto session = std::make_shared<RelaySession>(
        nextSessionID_++, TLSStream(std::move(socket), settings_.serverTLS), executor_);
    runtime::spawn(executor_, serve(session));
  }
}

runtime::Task<void> Relay::serve(std::shared_ptr<RelaySession> session) {
  ++counters_.active;
  sessions_.emplace(session->id, session);
  runtime::spawn(executor_, enforceDeadline(session));
  try {
    co_await serveAuthenticated(session);
  } catch (const std::exception&) {
    // Whatever went wrong, the connection ends below.
  }
  session->close();
  sessions_.erase(session->id);
  --counters_.active;
}

runtime::Task<void> Relay::enforceDeadline(std::shared_ptr<RelaySession> session) {
  session->authenticationDeadline.expires_after(authenticationTimeout);
  auto [error] = co_await session->authenticationDeadline.async_wait(runtime::asTuple);
  if (!error && !session->authenticated) session->close();
}

runtime::Task<void> Relay::serveAuthenticated(std::shared_ptr<RelaySession> session) {
  auto [handshakeError] =
      co_await session->client.async_handshake(ssl::stream_base::server, runtime::asTuple);
  if (handshakeError) {
    ++counters_.tlsFailures;
    co_return;
  }
  auto accepted = co_await readAuthentication(session);
  if (accepted && muted_) {
    // Silent until the client gives up or the authentication deadline closes it.
    std::array<std::uint8_t, 1> byte{};
    while (!session->closed) {
      auto [readError, n] =
          co_await session->client.async_read_some(asio::buffer(byte), runtime::asTuple);
      if (readError) break;
    }
    ++counters_.refused;
    co_return;
  }
  if (!accepted || refusing_ || session->closed) {
    ++counters_.refused;
    co_return;
  }

  std::vector<std::uint8_t> answer;
  if (accepted->request.hops.empty()) {
    std::array<std::uint8_t, 8> own;
    RAND_bytes(own.data(), static_cast<int>(own.size()));
    answer = flowgate::authResponsePayload(accepted->claims.deviceID, own);
  } else {
    auto onwardAnswer =
        co_await connectOnward(session, accepted->request, accepted->claims.deviceID);
    if (!onwardAnswer || session->closed) {
      ++counters_.refused;
      co_return;
    }
    answer = std::move(*onwardAnswer);
  }

  auto frame = Frame{FrameType::authResponse, std::move(answer)}.encoded();
  auto frameBuffer = asio::buffer(frame);
  auto [writeError, written] =
      co_await asio::async_write(session->client, frameBuffer, runtime::asTuple);
  if (writeError || session->closed) co_return;
  session->authenticated = true;
  session->authenticationDeadline.cancel();
  ++counters_.authentications;

  // Either direction failing ends the session, as a dropped connection would.
  auto closeSession = [session](std::exception_ptr) { session->close(); };
  runtime::spawn(executor_, writeToClient(session), closeSession);
  if (session->onward) {
    runtime::spawn(executor_, relayFromOnward(session), closeSession);
    co_await relayBetween(session);
  } else {
    co_await runExit(session, accepted->tunnelAddress);
  }
}

runtime::Task<std::optional<Relay::Accepted>> Relay::readAuthentication(
    std::shared_ptr<RelaySession> session) {
  try {
    auto frame = co_await readFrame(session->client);
    if (frame.type != FrameType::authRequest) co_return std::nullopt;
    auto request = flowgate::parseAuthRequestPayload(frame.payload);
    auto claims =
        verifyCredential(request.credential, settings_.credentialKeys, settings_.clock.now());
    auto tunnelAddress = *runtime::ipv4::ipv4Value(claims.vpnIPv4);
    co_return Accepted{std::move(request), std::move(claims), tunnelAddress};
  } catch (const std::exception&) {
    co_return std::nullopt;
  }
}

runtime::Task<std::optional<std::vector<std::uint8_t>>> Relay::connectOnward(
    std::shared_ptr<RelaySession> session, flowgate::AuthRequest request, std::uint64_t deviceID) {
  // The hop list ends with the next hop; what precedes it, reversed, is the
  // rest of the path in path order.
  auto next = request.hops.back();
  request.hops.pop_back();
  std::vector<flowgate::HopEndpoint> later(request.hops.rbegin(), request.hops.rend());
  auto frame =
      Frame{FrameType::authRequest, flowgate::authRequestPayload(request.credential, later)}
          .encoded();

  session->onward.emplace(executor_, settings_.onwardTLS);
  if (session->closed) co_return std::nullopt;
  auto& onward = *session->onward;
  expectPeerAddress(onward, next.address);
  tcp::endpoint target(asio::ip::address_v4(next.address), next.port);
  auto [connectError] = co_await onward.lowest_layer().async_connect(target, runtime::asTuple);
  if (connectError) co_return std::nullopt;
  setNoDelay(onward.next_layer());
  auto [handshakeError] =
      co_await onward.async_handshake(ssl::stream_base::client, runtime::asTuple);
  if (handshakeError) co_return std::nullopt;
  auto frameBuffer = asio::buffer(frame);
  auto [writeError, written] = co_await asio::async_write(onward, frameBuffer, runtime::asTuple);
  if (writeError) co_return std::nullopt;
  try {
    auto response = co_await readFrame(onward);
    flowgate::checkAuthResponse(response, deviceID);
    co_return std::move(response.payload);
  } catch (const std::exception&) {
    co_return std::nullopt;
  }
}

runtime::Task<void> Relay::waitWhileStalled(const RelaySession& session) {
  while (stalled_ && !session.closed) co_await stallEnded_.async_wait(runtime::asTuple);
}

runtime::Task<void> Relay::writeToClient(std::shared_ptr<RelaySession> session) {
  co_await session->toClient->run(session->client, counters_.bytesToClients);
  session->close();
}

runtime::Task<void> Relay::relayBetween(std::shared_ptr<RelaySession> session) {
  std::vector<std::uint8_t> buffer(readSize);
  auto& onward = *session->onward;
  while (!session->closed) {
    auto space = asio::buffer(buffer);
    auto [readError, n] = co_await session->client.async_read_some(space, runtime::asTuple);
    if (readError) break;
    // A read already waiting when the stall began holds its bytes until it ends.
    co_await waitWhileStalled(*session);
    if (session->closed) break;
    counters_.bytesFromClients += n;
    auto data = asio::buffer(buffer.data(), n);
    auto [writeError, written] = co_await asio::async_write(onward, data, runtime::asTuple);
    if (writeError) break;
  }
  session->close();
}

runtime::Task<void> Relay::relayFromOnward(std::shared_ptr<RelaySession> session) {
  std::vector<std::uint8_t> buffer(readSize);
  auto& onward = *session->onward;
  while (!session->closed) {
    auto space = asio::buffer(buffer);
    auto [readError, n] = co_await onward.async_read_some(space, runtime::asTuple);
    if (readError) break;
    auto& out = session->toClient->buffer();
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    session->toClient->flush();
    co_await session->toClient->waitForRoom();
  }
  session->close();
}

runtime::Task<void> Relay::runExit(std::shared_ptr<RelaySession> session,
                                   std::uint32_t tunnelAddress) {
  auto toClient = session->toClient;
  exit_.attach(tunnelAddress, toClient);
  flowgate::IPStreamDecoder decoder;
  std::vector<runtime::SharedBytes> packets;
  std::vector<std::uint8_t> buffer(readSize);
  while (!session->closed) {
    auto space = asio::buffer(buffer);
    auto [readError, n] = co_await session->client.async_read_some(space, runtime::asTuple);
    if (readError) break;
    co_await waitWhileStalled(*session);
    if (session->closed) break;
    counters_.bytesFromClients += n;
    packets.clear();
    try {
      decoder.append(runtime::SharedBytes::copy(std::span(buffer.data(), n)), packets);
    } catch (const std::exception&) {
      break;  // not an IPv4 stream: the session ends
    }
    auto spoofed = std::erase_if(packets, [&](const runtime::SharedBytes& packet) {
      return packet.size() < 20 || packet::sourceAddress(packet.span()) != tunnelAddress;
    });
    counters_.packetsDropped += spoofed;
    if (!packets.empty()) counters_.packetsDropped += exit_.send(tunnelAddress, toClient, packets);
    co_await toClient->waitForRoom();
  }
  exit_.detach(tunnelAddress, toClient);
  session->close();
}

}  // namespace testbed
