#include "tests/support/tunnel/tunnel_state.hpp"

#include "tests/support/lab/lab_fixture.hpp"

#include <cctype>
#include <fstream>
#include <iterator>

namespace testsupport {

namespace {

std::string inClient(const std::string& command) {
  return labtest::run("ip netns exec vkl-client " + command).output;
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

std::string clientResolvConf() {
  std::ifstream resolv("/etc/netns/vkl-client/resolv.conf");
  return {std::istreambuf_iterator<char>(resolv), {}};
}

}  // namespace

std::string tunnelState(const std::string& tunName) {
  std::string found;
  auto add = [&](const std::string& what, const std::string& text) {
    if (!trimmed(text).empty()) found += what + ": " + trimmed(text) + "\n";
  };
  add("rule", inClient("ip rule show | grep -E 'lookup 30309|0x7665' || true"));
  add("IPv6 rule", inClient("ip -6 rule show | grep -E 'lookup 30309|0x7665' || true"));
  add("table", inClient("ip route show table 30309 2>/dev/null || true"));
  add("IPv6 table", inClient("ip -6 route show table 30309 2>/dev/null || true"));
  add("tagged routes", inClient("ip route show table all proto 118 || true"));
  add("tagged IPv6 routes", inClient("ip -6 route show table all proto 118 || true"));
  add("tun", inClient("ip -o -d link show | grep -E ' tun |" + tunName + "' || true"));
  add("nftables", inClient("nft list table ip veskar 2>/dev/null || true"));
  auto content = clientResolvConf();
  if (content != kLabResolvConf) found += "resolv.conf: " + content;
  return found;
}

std::string routingSnapshot() {
  return inClient(
             "sh -c 'ip rule show; ip -6 rule show; ip route show table all; "
             "ip -6 route show table all; ip -o link show'") +
         "resolv.conf:\n" + clientResolvConf();
}

}  // namespace testsupport
