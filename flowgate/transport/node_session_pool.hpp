#pragma once

// Owns every node session of the tunnel: one session per path key, connected
// on demand with one shared attempt per key, with fallback to the next
// candidate path, a cooldown for failed paths, flows kept on the path they
// started on, idle reaping, teardown on network changes and high-speed
// switches, and adoption of re-authorized bootstraps.
//
// All state lives on the pool's strand, which the packet loop, the sessions
// and the DNS proxy share: they call the pool's engine operations (route,
// sendToRegion) directly there. Sending never waits for a connection: packets
// for a path that is still connecting wait in that attempt's bounded queue and
// go out when it opens, or move on to their next candidate when it fails. The
// only wait is for an open session's socket to take the bytes.
//
// Operations suspend at every wait (sends, the configuration handler), so
// after each wait they read the maps again instead of holding on to entries.

#include "flowgate/config/records.hpp"
#include "flowgate/control/heartbeat_source.hpp"
#include "flowgate/control/trust_bundle.hpp"
#include "flowgate/routing/flow_router.hpp"
#include "flowgate/routing/geoip_table.hpp"
#include "flowgate/routing/packet_metadata.hpp"
#include "flowgate/transport/batch_groups.hpp"
#include "flowgate/transport/path_selection.hpp"
#include "flowgate/transport/session.hpp"
#include "flowgate/transport/session_path.hpp"
#include "platform/log.hpp"
#include "runtime/async.hpp"
#include "runtime/bytes.hpp"
#include "runtime/cancel.hpp"
#include "runtime/clock.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace flowgate {

// One live path as the application sees it; encodes to exactly these keys.
struct PathStatus {
  std::string pathKey;
  std::vector<std::uint64_t> nodeIDs;
  std::string displayName;
  std::string firstHopHost;
  std::string firstHopAddress;
  std::string exitHost;
  std::uint64_t exitNodeID = 0;

  static PathStatus of(const SessionPath& path);

  friend bool operator==(const PathStatus&, const PathStatus&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("path_key", self.pathKey);
    field("node_ids", self.nodeIDs);
    field("display_name", self.displayName);
    field("first_hop_host", self.firstHopHost);
    field("first_hop_address", self.firstHopAddress);
    field("exit_host", self.exitHost);
    field("exit_node_id", self.exitNodeID);
  }
};

class NodeSessionPool : public runtime::Serialized,
                        public std::enable_shared_from_this<NodeSessionPool> {
 public:
  using PacketHandler = Session::PacketHandler;
  using ConfigurationHandler = std::function<runtime::Task<void>(ExtensionBootstrap)>;

  struct Options {
    std::shared_ptr<runtime::Clock> clock;  // the system clock when absent
    SessionOptions sessionOptions;
    std::shared_ptr<platform::Log> log;  // writes nothing when absent
  };

  static constexpr double failureCooldown = 30.0;
  static constexpr double sessionIdleTimeout = 60.0;
  // What may wait for one connection attempt; beyond it the oldest go.
  static constexpr std::size_t queuePacketLimit = 256;
  static constexpr std::size_t queueByteLimit = 1 << 20;

  static std::shared_ptr<NodeSessionPool> create(
      runtime::Executor executor, ExtensionBootstrap bootstrap, bool highSpeedEnabled,
      TrustBundle trustBundle, GeoIPTable geoIP,
      std::shared_ptr<HeartbeatSource> authorizationService, PacketHandler packetHandler,
      ConfigurationHandler configurationHandler, Options options = {});

  // Engine operation of the packet loop: sends the batch on open sessions,
  // waiting only for their sockets, and queues the rest on connection
  // attempts. Packets that cannot be sent are dropped; never fails. The
  // caller keeps the batch alive until it completes; in steady state a batch
  // allocates nothing.
  runtime::Task<void> route(std::span<const OutboundPacket> batch);
  // The same for a batch the operation keeps itself.
  runtime::Task<void> route(std::vector<OutboundPacket> batch);
  // Engine operation of the DNS proxy: one packet through the paths of the
  // region, once it has gone out or every path failed. Throws ProtocolError:
  // invalidAddress (no path), connectionClosed (every path failed).
  runtime::Task<void> sendToRegion(OutboundPacket packet, std::optional<std::string> forcedRegion);

  // route() from any executor, completing once every packet of the batch has
  // gone out or was dropped.
  runtime::Task<void> submitBatch(std::vector<OutboundPacket> batch);
  // sendToRegion() from any executor for a packet still to be parsed; an
  // unparsable one throws ProtocolError::invalidFrame.
  runtime::Task<void> submit(runtime::SharedBytes packet, std::optional<std::string> forcedRegion);
  runtime::Task<void> reapIdleSessions();
  runtime::Task<void> updateHighSpeed(bool enabled);
  runtime::Task<void> networkPathDidChange();
  runtime::Task<std::vector<PathStatus>> status();
  runtime::Task<void> close();
  // Errors of the authorization service and the configuration handler pass through.
  runtime::Task<void> heartbeat();
  runtime::Task<void> updateTrust(TrustBundle trustBundle);
  runtime::Task<void> updateGeoIP(GeoIPTable geoIP);
  runtime::Task<ExtensionBootstrap> currentBootstrap();

  // For tests: the state behind the operations, read on the strand.
  struct Snapshot {
    std::vector<std::string> sessionKeys;  // registered, closed or not
    std::vector<std::string> connectingKeys;
    std::unordered_map<std::string, double> unavailableUntil;
    FlowRouter::Bindings bindings;
    std::uint64_t networkGeneration = 0;
    bool highSpeedEnabled = false;
  };
  runtime::Task<Snapshot> snapshot();

  // Use create(); the pool must be owned by a shared_ptr.
  NodeSessionPool(runtime::Executor executor, ExtensionBootstrap bootstrap, bool highSpeedEnabled,
                  TrustBundle trustBundle, GeoIPTable geoIP,
                  std::shared_ptr<HeartbeatSource> authorizationService,
                  PacketHandler packetHandler, ConfigurationHandler configurationHandler,
                  Options options);

 private:
  using Self = std::shared_ptr<NodeSessionPool>;
  using SessionPtr = std::shared_ptr<Session>;
  struct Outcome;
  // Packets that share their candidate paths, on their way through them.
  struct PendingGroup {
    std::vector<PathRef> candidates;
    std::size_t next = 0;  // the candidate tried now
    Session::Packets packets;
    std::vector<PacketMetadata> metadata;  // of each packet
    std::optional<double> boundAt;         // the flows' binding time; else when sent
    std::shared_ptr<Outcome> outcome;      // of a caller awaiting the group, if any
  };
  // One connection attempt and the packets waiting for it. It outlives its
  // entry in connectionTasks_ when a teardown or a failure gives it up: its
  // packets still learn its outcome when it finishes.
  struct Attempt {
    std::uint64_t id = 0;
    runtime::CancelSource cancel;
    std::deque<PendingGroup> queue;
    std::size_t queuedPackets = 0;
    std::size_t queuedBytes = 0;
  };
  enum class Teardown { keepCooldowns, clearCooldowns };
  // What a connection attempt takes from the pool when it starts.
  struct ConnectInputs {
    runtime::Executor executor;
    std::string credential;
    std::uint64_t deviceID = 0;
    TrustBundle trustBundle;
    PacketHandler packetHandler;
    SessionOptions options;
  };

  double now() const { return clock_->uptime(); }

  // What dispatching a batch keeps for the next one.
  struct BatchStorage {
    BatchGroups grouped;
    PendingGroup pending;
  };

  runtime::Task<void> dispatchBatch(std::span<const OutboundPacket> batch,
                                    std::shared_ptr<Outcome> outcome);
  runtime::Task<void> doSubmitBatch(std::vector<OutboundPacket> batch);
  runtime::Task<void> doSubmit(runtime::SharedBytes packet, std::optional<std::string> region);
  // Sends the group on its current candidate's open session, or queues it on
  // that candidate's connection attempt (moving it there); a failed send moves
  // it on. The caller keeps the group alive until it completes.
  runtime::Task<void> dispatch(PendingGroup& group);
  void enqueue(Attempt& attempt, PendingGroup group);
  void connectThen(PathRef path, PendingGroup group);
  void delivered(const SessionPath& path, const PendingGroup& group);
  static runtime::Task<void> connectAttempt(std::weak_ptr<NodeSessionPool> weak, PathRef path,
                                            std::shared_ptr<Attempt> attempt,
                                            std::uint64_t generation, ConnectInputs inputs);
  runtime::Task<void> settleAttempt(PathRef path, std::shared_ptr<Attempt> attempt,
                                    std::uint64_t generation, SessionPtr session);
  runtime::Task<void> failOver(std::deque<PendingGroup> groups);
  void forgetAttempt(const std::string& key, std::uint64_t attemptID);
  runtime::Task<void> sessionFailed(std::string key, boost::uuids::uuid id);
  void markUnavailable(const PathRef& path, const SessionPtr& session);
  runtime::Task<void> tearDown(Teardown mode);
  runtime::Task<void> doReap();
  runtime::Task<void> doUpdateHighSpeed(bool enabled);
  runtime::Task<void> doHeartbeat();
  runtime::Task<void> replaceAuthorization(ExtensionBootstrap next);
  runtime::Task<std::vector<PathStatus>> doStatus();

  ExtensionBootstrap bootstrap_;
  std::shared_ptr<HeartbeatSource> authorizationService_;
  PacketHandler packetHandler_;
  ConfigurationHandler configurationHandler_;
  std::unordered_map<std::string, SessionPtr> sessions_;
  RegisteredPaths sessionPaths_;
  std::unordered_map<std::string, std::shared_ptr<Attempt>> connectionTasks_;
  std::unordered_map<std::string, PathRef> connectingPaths_;
  TrustBundle trustBundle_;
  PathSelection selection_;  // geoIP, nodesByID, unavailableUntil, highSpeedEnabled
  FlowRouter flowRouter_;
  std::unordered_map<std::string, double> lastUsedAt_;
  std::uint64_t networkGeneration_ = 0;
  bool closed_ = false;
  std::uint64_t nextAttemptID_ = 1;
  // Absent while a batch uses it; a batch dispatched meanwhile gets its own.
  std::unique_ptr<BatchStorage> batchStorage_ = std::make_unique<BatchStorage>();
  std::shared_ptr<runtime::Clock> clock_;
  SessionOptions sessionOptions_;
  std::shared_ptr<platform::Log> log_;
};

}  // namespace flowgate
