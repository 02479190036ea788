#pragma once

// A relay node. Per connection: TLS 1.3 handshake, one authRequest frame, the
// credential checked against the signing keys; then either onward to the next
// hop of the request (answering only once that hop answered) and bytes relayed
// both ways, or, with no hops left, the exit: IPv4 packets from the credential's
// tunnel address go to the Exit and its answers come back. Anything wrong before
// the answer closes the connection without a word.
//
// Runs on one single-threaded executor; every member is touched only there.

#include "flowgate/transport/frame.hpp"
#include "runtime/clock.hpp"
#include "testbed/credential/credential.hpp"
#include "testbed/relay/exit.hpp"
#include "testbed/relay/relay_counters.hpp"
#include "testbed/relay/relay_options.hpp"
#include "testbed/relay/relay_session.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace testbed {

struct RelaySettings {
  boost::asio::ssl::context& serverTLS;
  boost::asio::ssl::context& onwardTLS;
  std::vector<CredentialKey> credentialKeys;
  const runtime::Clock& clock;
};

class Relay {
 public:
  // From accepting a connection to answering its authRequest.
  static constexpr auto authenticationTimeout = std::chrono::seconds(30);
  static constexpr std::size_t readSize = 131072;

  Relay(runtime::Executor executor, RelaySettings settings, Exit& exit);

  // Binds (port 0: any free port), starts accepting, returns the bound port.
  std::uint16_t listen(Endpoint endpoint);
  // Stops accepting and closes every session.
  void stop();

  // Fault controls.
  std::size_t dropSessions();
  void refuseAuthentications(bool on) { refusing_ = on; }
  // New sessions complete TLS, take the authRequest and then say nothing.
  void muteAuthentications(bool on) { muted_ = on; }
  void stallReading(bool on);
  // Writes a corrupt IPv4 header into every session's stream towards its client.
  // On an exit it lands between whole packets; on a middle hop wherever the
  // relayed bytes stand.
  std::size_t corruptSessions();

  const RelayCounters& counters() const { return counters_; }

 private:
  struct Accepted {
    flowgate::AuthRequest request;
    CredentialClaims claims;
    std::uint32_t tunnelAddress;
  };

  runtime::Task<void> acceptLoop();
  runtime::Task<void> serve(std::shared_ptr<RelaySession> session);
  runtime::Task<void> serveAuthenticated(std::shared_ptr<RelaySession> session);
  runtime::Task<std::optional<Accepted>> readAuthentication(std::shared_ptr<RelaySession> session);
  runtime::Task<std::optional<std::vector<std::uint8_t>>> connectOnward(
      std::shared_ptr<RelaySession> session, flowgate::AuthRequest request, std::uint64_t deviceID);
  runtime::Task<void> relayBetween(std::shared_ptr<RelaySession> session);
  runtime::Task<void> relayFromOnward(std::shared_ptr<RelaySession> session);
  runtime::Task<void> runExit(std::shared_ptr<RelaySession> session, std::uint32_t tunnelAddress);
  runtime::Task<void> writeToClient(std::shared_ptr<RelaySession> session);
  runtime::Task<void> enforceDeadline(std::shared_ptr<RelaySession> session);
  runtime::Task<void> waitWhileStalled(const RelaySession& session);

  runtime::Executor executor_;
  RelaySettings settings_;
  Exit& exit_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer stallEnded_;
  std::map<std::uint64_t, std::shared_ptr<RelaySession>> sessions_;
  std::uint64_t nextSessionID_ = 1;
  RelayCounters counters_;
  bool refusing_ = false;
  bool muted_ = false;
  bool stalled_ = false;
};

}  // namespace testbed
