#pragma once

// Owns every node session of the tunnel: one session per path key, connected
// on demand with one shared attempt per key, with fallback to the next
// candidate path, a cooldown for failed paths, flows kept on the path they
// started on, idle reaping, teardown on network changes and high-speed
// switches, and adoption of re-authorized bootstraps.
//
// All state lives on the pool's strand. Operations suspend at every wait
// (connections, sends, the sessions' strands, the configuration handler), so
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
#include "runtime/clock.hpp"
#include "runtime/shared_task.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

  static std::shared_ptr<NodeSessionPool> create(
      runtime::Executor executor, ExtensionBootstrap bootstrap, bool highSpeedEnabled,
      TrustBundle trustBundle, GeoIPTable geoIP,
      std::shared_ptr<HeartbeatSource> authorizationService, PacketHandler packetHandler,
      ConfigurationHandler configurationHandler, Options options = {});

  // Packets that cannot be sent are dropped; never fails.
  runtime::Task<void> submitBatch(std::vector<OutboundPacket> batch);
  // One packet through the paths of the region. Throws ProtocolError:
  // invalidFrame (unparsable), invalidAddress (no path), connectionClosed
  // (every path failed).
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
  struct Attempt {
    std::uint64_t id = 0;
    runtime::SharedTask<SessionPtr> task;
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

  runtime::Task<void> doSubmitBatch(std::vector<OutboundPacket> batch);
  runtime::Task<void> doSubmit(runtime::SharedBytes packet, std::optional<std::string> region);
  // Sends on the first candidate that works; the key used, or nothing.
  runtime::Task<std::optional<std::string>> sendThrough(const std::vector<PathRef>& candidates,
                                                        Session::Packets packets);
  runtime::Task<SessionPtr> sessionFor(PathRef path);
  static runtime::Task<SessionPtr> connectAttempt(std::weak_ptr<NodeSessionPool> weak, PathRef path,
                                                  std::uint64_t attemptID, std::uint64_t generation,
                                                  ConnectInputs inputs, runtime::CancelToken token);
  runtime::Task<SessionPtr> settleAttempt(PathRef path, std::uint64_t attemptID,
                                          std::uint64_t generation, runtime::CancelToken token,
                                          SessionPtr session, std::exception_ptr error);
  void forgetAttempt(const std::string& key, std::uint64_t attemptID);
  runtime::Task<void> sessionFailed(std::string key, boost::uuids::uuid id);
  runtime::Task<void> markUnavailable(PathRef path, SessionPtr session);
  runtime::Task<void> tearDown(Teardown mode);
  runtime::Task<void> doReap();
  runtime::Task<void> doUpdateHighSpeed(bool enabled);
  runtime::Task<void> doHeartbeat();
  runtime::Task<void> replaceAuthorization(ExtensionBootstrap next);
  runtime::Task<std::vector<PathStatus>> doStatus();
  static runtime::Task<void> closeAll(std::vector<SessionPtr> sessions);

  ExtensionBootstrap bootstrap_;
  std::shared_ptr<HeartbeatSource> authorizationService_;
  PacketHandler packetHandler_;
  ConfigurationHandler configurationHandler_;
  std::unordered_map<std::string, SessionPtr> sessions_;
  RegisteredPaths sessionPaths_;
  std::unordered_map<std::string, Attempt> connectionTasks_;
  std::unordered_map<std::string, PathRef> connectingPaths_;
  TrustBundle trustBundle_;
  PathSelection selection_;  // geoIP, nodesByID, unavailableUntil, highSpeedEnabled
  FlowRouter flowRouter_;
  std::unordered_map<std::string, double> lastUsedAt_;
  std::uint64_t networkGeneration_ = 0;
  std::uint64_t nextAttemptID_ = 1;
  std::shared_ptr<runtime::Clock> clock_;
  SessionOptions sessionOptions_;
  std::shared_ptr<platform::Log> log_;
  runtime::Executor executor_;
};

}  // namespace flowgate
