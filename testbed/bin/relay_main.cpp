// testbed-relay: a relay node for the lab and the tests. Prints "ready PORT"
// once it accepts connections (preceded by "tun NAME" in the tun exit mode) and
// runs until SIGINT or SIGTERM.

#include "platform/tun_device.hpp"
#include "testbed/credential/credential.hpp"
#include "testbed/relay/control_channel.hpp"
#include "testbed/relay/echo_exit.hpp"
#include "testbed/relay/relay.hpp"
#include "testbed/relay/tls.hpp"
#include "testbed/relay/tun_exit.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

int run(const testbed::RelayOptions& options) {
  namespace asio = boost::asio;
  asio::io_context io(1);
  auto executor = io.get_executor();
  runtime::SystemClock clock;

  auto keys = testbed::decodeCredentialKeys(readFile(options.credentialKeysFile));
  auto serverTLS = testbed::nodeServerContext(options.certificateFile, options.keyFile);
  auto onwardTLS = testbed::nodeClientContext(options.nodeCAFile);

  std::unique_ptr<testbed::Exit> exit;
  if (options.exit == testbed::ExitMode::tun) {
    auto device = platform::TunDevice::open(options.tunName, platform::TunOffload::tcp);
    device.setMTU(options.tunMTU);
    if (options.tunAddress) {
      device.setIPv4Address(options.tunAddress->first, options.tunAddress->second);
    }
    device.bringUp();
    std::cout << "tun " << device.name() << "\n";
    auto tun = std::make_unique<testbed::TunExit>(executor, std::move(device));
    tun->start();
    exit = std::move(tun);
  } else {
    std::optional<testbed::DNSForwarding> dns;
    if (options.dnsAddress) {
      dns = testbed::DNSForwarding{
          *options.dnsAddress,
          asio::ip::udp::endpoint(asio::ip::address_v4(options.dnsUpstream->address),
                                  options.dnsUpstream->port)};
    }
    exit = std::make_unique<testbed::EchoExit>(executor, dns);
  }

  testbed::Relay relay(executor, testbed::RelaySettings{serverTLS, onwardTLS, keys, clock}, *exit);
  auto port = relay.listen(options.listen);
  std::optional<testbed::ControlChannel> control;
  if (options.controlSocket) {
    control.emplace(executor, *options.controlSocket, relay);
    control->start();
  }

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](boost::system::error_code, int) {
    relay.stop();
    if (control) control->stop();
    exit->stop();
    io.stop();
  });

  std::cout << "ready " << port << std::endl;
  io.run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  testbed::RelayOptions options;
  try {
    options = testbed::parseRelayOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "testbed-relay: " << e.what() << "\n" << testbed::relayUsage;
    return 2;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::cerr << "testbed-relay: " << e.what() << "\n";
    return 1;
  }
}
