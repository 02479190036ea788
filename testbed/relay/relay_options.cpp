#include "testbed/relay/relay_options.hpp"

#include "runtime/ipv4.hpp"
#include "runtime/text.hpp"
#include "testbed/cli/arguments.hpp"

#include <stdexcept>

namespace testbed {

const char* const relayUsage =
    "usage: testbed-relay --listen ADDR:PORT --cert FILE --key FILE --node-ca FILE\n"
    "                     --credential-keys FILE [--control PATH] [--exit echo|tun]\n"
    "       echo exit:    [--dns ADDR --dns-upstream ADDR:PORT]\n"
    "       tun exit:     [--tun-name NAME] [--tun-address ADDR/PREFIX] [--tun-mtu N]\n";

namespace {

[[noreturn]] void bad(const std::string& what) { throw std::invalid_argument(what); }

std::uint32_t address(const std::string& text, const char* flag) {
  auto value = runtime::ipv4::ipv4Value(text);
  if (!value) bad(std::string(flag) + " wants an IPv4 address, not \"" + text + "\"");
  return *value;
}

Endpoint endpoint(const std::string& text, const char* flag) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) bad(std::string(flag) + " wants ADDR:PORT");
  auto port = runtime::parseDecimal(std::string_view(text).substr(colon + 1), 65535);
  if (!port) bad(std::string(flag) + " has a bad port");
  return Endpoint{address(text.substr(0, colon), flag), static_cast<std::uint16_t>(*port)};
}

}  // namespace

RelayOptions parseRelayOptions(const std::vector<std::string>& arguments) {
  RelayOptions options;
  bool listenGiven = false;
  auto parsed = parseArguments(arguments);
  if (parsed.help || !parsed.positional.empty()) bad("options only: --name value");
  for (const auto& [name, value] : parsed.options) {
    auto flag = "--" + name;
    if (flag == "--listen") {
      options.listen = endpoint(value, "--listen");
      listenGiven = true;
    } else if (flag == "--cert") {
      options.certificateFile = value;
    } else if (flag == "--key") {
      options.keyFile = value;
    } else if (flag == "--node-ca") {
      options.nodeCAFile = value;
    } else if (flag == "--credential-keys") {
      options.credentialKeysFile = value;
    } else if (flag == "--control") {
      options.controlSocket = value;
    } else if (flag == "--exit") {
      if (value == "echo") {
        options.exit = ExitMode::echo;
      } else if (value == "tun") {
        options.exit = ExitMode::tun;
      } else {
        bad("--exit is echo or tun");
      }
    } else if (flag == "--dns") {
      options.dnsAddress = address(value, "--dns");
    } else if (flag == "--dns-upstream") {
      options.dnsUpstream = endpoint(value, "--dns-upstream");
    } else if (flag == "--tun-name") {
      options.tunName = value;
    } else if (flag == "--tun-address") {
      auto range = runtime::ipv4::cidrRange(value);
      auto slash = value.rfind('/');
      if (!range || slash == std::string::npos) bad("--tun-address wants ADDR/PREFIX");
      options.tunAddress = {address(value.substr(0, slash), "--tun-address"),
                            static_cast<unsigned>(std::stoul(value.substr(slash + 1)))};
    } else if (flag == "--tun-mtu") {
      auto mtu = runtime::parseDecimal(value, 65535);
      if (!mtu || *mtu < 576) bad("--tun-mtu wants 576 to 65535");
      options.tunMTU = static_cast<int>(*mtu);
    } else {
      bad("unknown option " + flag);
    }
  }
  if (!listenGiven) bad("--listen is required");
  if (options.certificateFile.empty() || options.keyFile.empty())
    bad("--cert and --key are required");
  if (options.nodeCAFile.empty()) bad("--node-ca is required");
  if (options.credentialKeysFile.empty()) bad("--credential-keys is required");
  if (options.dnsAddress.has_value() != options.dnsUpstream.has_value()) {
    bad("--dns and --dns-upstream go together");
  }
  if (options.dnsAddress && options.exit != ExitMode::echo) bad("--dns is for the echo exit");
  return options;
}

}  // namespace testbed
