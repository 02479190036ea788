#include "flowgate/routing/dns_proxy.hpp"

#include "flowgate/errors/protocol_error.hpp"
#include "flowgate/routing/dns_packet.hpp"
#include "platform/connector.hpp"
#include "runtime/deadline.hpp"
#include "runtime/ipv4.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/socket_base.hpp>

#include <algorithm>
#include <tuple>
#include <utility>

namespace flowgate {

namespace asio = boost::asio;

struct DNSProxy::Query {
  runtime::SharedBytes originalPacket;
  std::uint32_t sourceIP = 0;
  std::uint32_t destinationIP = 0;
  std::uint16_t sourcePort = 0;
  std::span<const std::uint8_t> payload;  // within originalPacket
  std::uint16_t type = 0;
};

namespace {

constexpr const char* firstResolver = "119.29.29.29";
constexpr const char* secondResolver = "223.5.5.5";

struct Block {
  std::uint32_t network;
  std::uint32_t mask;
};
// 10/8, 172.16/12, 169.254/16, 192.168/16, 127/8.
constexpr Block localBlocks[] = {{0x0a000000, 0xff000000},
                                 {0xac100000, 0xfff00000},
                                 {0xa9fe0000, 0xffff0000},
                                 {0xc0a80000, 0xffff0000},
                                 {0x7f000000, 0xff000000}};

// The largest datagram a UDP socket can return.
constexpr std::size_t receiveBufferSize = 65536;

using ReceiveBuffer = std::shared_ptr<std::vector<std::uint8_t>>;

// One upstream exchange on the caller's executor: the datagram goes out at
// once; then the answer's arrival races the deadline, and whichever comes
// first is the one outcome. The answer is taken from the socket right after
// it is there, with no wait in between, so every exchange of one strand can
// read into the same buffer.
runtime::Task<std::vector<std::uint8_t>> exchange(std::vector<std::uint8_t> message,
                                                  asio::ip::udp::endpoint endpoint,
                                                  std::chrono::milliseconds timeout,
                                                  ReceiveBuffer buffer) {
  runtime::Executor executor = co_await asio::this_coro::executor;
  auto socket = platform::openUDP(executor, {.routingMark = platform::kRoutingMark});
  socket.non_blocking(true);
  runtime::ErrorCode error;
  socket.connect(endpoint, error);
  if (error) throw runtime::SystemError(error);
  socket.send(asio::buffer(message), 0, error);
  if (error == asio::error::would_block) {
    std::tie(error, std::ignore) =
        co_await socket.async_send(asio::buffer(message), runtime::asTuple);
  }
  if (error) throw runtime::SystemError(error);

  runtime::Deadline deadline(executor, timeout, [&socket] { socket.cancel(); });
  for (;;) {
    auto [waitError] = co_await socket.async_wait(asio::socket_base::wait_read, runtime::asTuple);
    if (deadline.expired()) runtime::fail(ProtocolError::connectionTimedOut);
    if (waitError) throw runtime::SystemError(waitError);
    const std::size_t n = socket.receive(asio::buffer(*buffer), 0, error);
    if (error == asio::error::would_block) continue;
    if (error) throw runtime::SystemError(error);
    if (n == 0) runtime::fail(ProtocolError::connectionTimedOut);
    co_return std::vector<std::uint8_t>(buffer->begin(),
                                        buffer->begin() + static_cast<std::ptrdiff_t>(n));
  }
}

runtime::Task<std::vector<std::uint8_t>> ask(std::vector<std::uint8_t> message,
                                             std::string_view resolver,
                                             std::chrono::milliseconds timeout, std::uint16_t port,
                                             ReceiveBuffer buffer) {
  auto address = runtime::ipv4::ipv4Value(resolver);
  if (!address) runtime::fail(ProtocolError::invalidAddress);
  const asio::ip::udp::endpoint endpoint(asio::ip::address_v4(*address), port);
  return exchange(std::move(message), endpoint,
                  std::max(timeout, std::chrono::milliseconds::zero()), std::move(buffer));
}

DNSProxy::Servers parseServers(const std::vector<std::string>& servers) {
  DNSProxy::Servers addresses;
  for (const auto& text : servers) {
    if (auto address = runtime::ipv4::ipv4Value(text)) addresses.insert(*address);
  }
  if (addresses.empty() || addresses.size() < servers.size()) {
    runtime::fail(ProtocolError::invalidAddress);
  }
  return addresses;
}

}  // namespace

DNSProxy::DNSProxy(const runtime::Executor& executor, ExtensionDNSConfig config, GeoIPTable geoIP,
                   SendTunnel sendTunnel, Deliver deliver, UpstreamQuery upstream)
    : Serialized(executor),
      config_(std::move(config)),
      localResolvers_(config_.localResolvers),
      geoIP_(std::move(geoIP)),
      serverIPs_(parseServers(config_.servers)),
      sendTunnel_(std::move(sendTunnel)),
      deliver_(std::move(deliver)),
      upstream_(upstream ? std::move(upstream) : udpUpstream(dnsPort)) {}

std::shared_ptr<DNSProxy> DNSProxy::create(const runtime::Executor& executor,
                                           ExtensionDNSConfig config, GeoIPTable geoIP,
                                           SendTunnel sendTunnel, Deliver deliver,
                                           UpstreamQuery upstream) {
  return std::shared_ptr<DNSProxy>(new DNSProxy(executor, std::move(config), std::move(geoIP),
                                                std::move(sendTunnel), std::move(deliver),
                                                std::move(upstream)));
}

runtime::Task<void> DNSProxy::process(runtime::SharedBytes packet) {
  auto metadata = PacketMetadata::parse(packet.span());
  if (!metadata) return []() -> runtime::Task<void> { co_return; }();
  // The proxy stays alive while a query of it is in flight.
  return serialized(handle(shared_from_this(), std::move(packet), *metadata));
}

runtime::Task<void> DNSProxy::processOnStrand(runtime::SharedBytes packet,
                                              PacketMetadata metadata) {
  assertOnStrand();
  return handle(shared_from_this(), std::move(packet), metadata);
}

runtime::Task<std::vector<std::string>> DNSProxy::localResolvers() const {
  return serialized(
      [](std::shared_ptr<const DNSProxy> self) -> runtime::Task<std::vector<std::string>> {
        co_return self->localResolvers_;
      }(shared_from_this()));
}

runtime::Task<void> DNSProxy::setLocalResolvers(std::vector<std::string> resolvers) {
  return serialized(
      [](std::shared_ptr<DNSProxy> self, std::vector<std::string> list) -> runtime::Task<void> {
        self->localResolvers_ = std::move(list);
        co_return;
      }(shared_from_this(), std::move(resolvers)));
}

runtime::Task<void> DNSProxy::setGeoIP(GeoIPTable geoIP) {
  return serialized([](std::shared_ptr<DNSProxy> self, GeoIPTable table) -> runtime::Task<void> {
    self->geoIP_ = std::move(table);
    co_return;
  }(shared_from_this(), std::move(geoIP)));
}

runtime::Task<void> DNSProxy::handle(std::shared_ptr<DNSProxy> /*self*/,
                                     runtime::SharedBytes packet, PacketMetadata metadata) {
  if (!isQuery(metadata, serverIPs_)) co_return;
  // A query may wait for resolvers for seconds: it must not keep the block
  // the interface read it into (and every packet beside it) that long.
  packet = runtime::SharedBytes::copy(packet.span());
  // The UDP length bounds the message; the IP header was read by the parse.
  const auto udp = packet.span().subspan(metadata.transportOffset);
  const std::size_t udpLength = detail::readU16(udp.data() + 4);
  if (udpLength < 8 || udpLength > udp.size()) co_return;
  const auto payload = udp.subspan(8, udpLength - 8);
  if (payload.size() < dns::headerSize || (payload[2] & 0x80) != 0) co_return;

  const Query query{
      .originalPacket = packet,
      .sourceIP = metadata.flowKey.source,
      .destinationIP = metadata.destination,
      .sourcePort = metadata.flowKey.sourcePort,
      .payload = payload,
      .type = dns::questionType(payload).value_or(0),
  };
  if (query.type != dns::typeA) {
    auto empty = dns::emptyAnswer(query.payload);
    answer(query, empty);
    co_return;
  }

  // Every query asked upstream holds a socket in root's process until it is
  // answered: beyond the bound, the client hears at once that it must retry.
  if (inFlight_ >= maxQueriesInFlight) {
    answer(query, dns::serverFailure(query.payload));
    co_return;
  }
  ++inFlight_;
  struct Leave {
    std::size_t& count;
    ~Leave() { --count; }
  } leave{inFlight_};

  const std::vector<std::uint8_t> message(query.payload.begin(), query.payload.end());
  // Taken now: a replaced list applies to the queries that come after.
  const auto resolvers = orderedResolvers(localResolvers_);
  for (const auto& resolver : resolvers) {
    std::vector<std::uint8_t> response;
    try {
      auto copy = message;
      response = co_await upstream_(std::move(copy), resolver,
                                    std::chrono::milliseconds(config_.queryTimeoutMs));
    } catch (const std::exception&) {
      continue;
    }
    if (response.size() < dns::headerSize || (response[2] & 0x80) == 0 ||
        response[0] != message[0] || response[1] != message[1]) {
      continue;
    }
    const auto addresses = dns::answers(response);
    if (!addresses.empty() && std::all_of(addresses.begin(), addresses.end(),
                                          [&](std::uint32_t a) { return isLocal(a, geoIP_); })) {
      answer(query, response);
      co_return;
    }
    std::vector<std::optional<GeoIPTable::Action>> actions;
    actions.reserve(addresses.size());
    for (auto address : addresses) actions.push_back(geoIP_.action(address));
    auto region = selectRegion(actions, config_.defaultRegion);
    bool sent = true;
    try {
      auto original = query.originalPacket;
      auto sending = sendTunnel_(std::move(original), metadata, std::move(region));
      co_await std::move(sending);
    } catch (const std::exception&) {
      sent = false;
    }
    if (sent) co_return;
  }
  try {
    auto original = query.originalPacket;
    auto region = config_.defaultRegion;
    auto sending = sendTunnel_(std::move(original), metadata, std::move(region));
    co_await std::move(sending);
  } catch (const std::exception&) {
    // Dropped: the client's resolver asks again.
  }
}

void DNSProxy::answer(const Query& query, std::span<const std::uint8_t> message) const {
  auto packet =
      dns::udpPacket(query.destinationIP, query.sourceIP, dnsPort, query.sourcePort, message);
  if (!packet) return;
  try {
    deliver_(runtime::SharedBytes(std::move(*packet)));
  } catch (const std::exception&) {
    // A reply the writer cannot take is dropped; the client asks again.
  }
}

std::string DNSProxy::selectRegion(std::span<const std::optional<GeoIPTable::Action>> actions,
                                   std::string_view defaultRegion) {
  std::vector<std::pair<RegionCode, std::size_t>> counts;
  const std::pair<RegionCode, std::size_t>* best = nullptr;
  counts.reserve(actions.size());
  for (const auto& action : actions) {
    if (!action || action->isDirect()) continue;
    auto code = action->regionCode();
    auto found = std::find_if(counts.begin(), counts.end(),
                              [&](const auto& entry) { return entry.first == code; });
    if (found == counts.end()) {
      counts.emplace_back(code, 0);
      found = counts.end() - 1;
    }
    ++found->second;
    if (!best || found->second > best->second) best = &*found;
  }
  return best ? best->first.text() : std::string(defaultRegion);
}

std::vector<std::string> DNSProxy::orderedResolvers(std::vector<std::string> resolvers) {
  auto rank = [](const std::string& resolver) {
    if (resolver == firstResolver) return 0;
    if (resolver == secondResolver) return 1;
    return 2;
  };
  std::stable_sort(resolvers.begin(), resolvers.end(),
                   [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
  return resolvers;
}

bool DNSProxy::isLocal(std::uint32_t address, const GeoIPTable& geoIP) {
  for (const auto& block : localBlocks) {
    if ((address & block.mask) == block.network) return true;
  }
  auto action = geoIP.action(address);
  return action && action->isDirect();
}

runtime::Task<std::vector<std::uint8_t>> DNSProxy::queryUDP(std::vector<std::uint8_t> message,
                                                            std::string resolver,
                                                            std::chrono::milliseconds timeout,
                                                            std::uint16_t port) {
  co_return co_await ask(std::move(message), resolver, timeout, port,
                         std::make_shared<std::vector<std::uint8_t>>(receiveBufferSize));
}

DNSProxy::UpstreamQuery DNSProxy::udpUpstream(std::uint16_t port) {
  // One receive buffer for every query the proxy asks (they all run on its strand).
  return [port, buffer = std::make_shared<std::vector<std::uint8_t>>(receiveBufferSize)](
             std::vector<std::uint8_t> message, std::string resolver,
             std::chrono::milliseconds timeout) -> runtime::Task<std::vector<std::uint8_t>> {
    co_return co_await ask(std::move(message), resolver, timeout, port, buffer);
  };
}

}  // namespace flowgate
