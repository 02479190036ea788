#include "platform/nft_lockdown_firewall.hpp"

#include "platform/connector.hpp"
#include "platform/nft_interval_loader.hpp"

#include <boost/system/system_error.hpp>

#include <nftables/libnftables.h>

#include <cerrno>
#include <string>

namespace platform {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw boost::system::system_error(error, boost::system::system_category(), what);
}

// An interface name inside nftables quotes: only what a Linux name may hold.
std::string quotedInterface(const std::string& name) {
  if (name.empty() || name.size() >= 16) fail(EINVAL, "lockdown: interface name");
  for (char c : name) {
    if (c == '"' || c == '\\' || c == '/' || static_cast<unsigned char>(c) <= ' ') {
      fail(EINVAL, "lockdown: interface name");
    }
  }
  return '"' + name + '"';
}

}  // namespace

NftLockdownFirewall::NftLockdownFirewall() : context_(nft_ctx_new(NFT_CTX_DEFAULT)) {
  if (!context_) fail(ENOMEM, "nftables context");
  nft_ctx_buffer_output(context_);
  nft_ctx_buffer_error(context_);
}

NftLockdownFirewall::~NftLockdownFirewall() { nft_ctx_free(context_); }

void NftLockdownFirewall::run(const std::string& commands) {
  if (nft_run_cmd_from_buffer(context_, commands.c_str()) == 0) return;
  fail(EINVAL, std::string("nftables: ") + nft_ctx_get_error_buffer(context_));
}

void NftLockdownFirewall::install(const LockdownRules& rules) {
  const std::string table = std::string("inet ") + kLockdownTable;
  const std::string tunnel = quotedInterface(rules.tunnelInterface);
  const std::string mark = std::to_string(kRoutingMark);
  // One transaction: the machine is never open between the old table and the
  // new. The allowed networks follow in a second one; until then only the
  // fixed exceptions pass.
  std::string commands =
      "add table " + table + "\ndelete table " + table + "\ntable " + table +
      " {\n"
      "  set allowed4 { type ipv4_addr; flags interval; }\n"
      "  chain output { type filter hook output priority filter; policy drop;\n"
      "    oifname \"lo\" accept\n"
      "    oifname " +
      tunnel +
      " accept\n"
      "    meta mark " +
      mark +
      " accept\n"
      "    meta nfproto ipv4 udp sport 68 udp dport 67 accept\n"
      "    ip daddr @allowed4 accept\n"
      "    ip6 daddr { fe80::/10, ff02::/16 } accept\n"
      "  }\n"
      "  chain forward { type filter hook forward priority filter; policy drop;\n"
      "    oifname " +
      tunnel +
      " accept\n"
      "    ip daddr @allowed4 accept\n"
      "  }\n"
      "}\n";
  run(commands);
  addIntervals(kLockdownTable, "allowed4", rules.allowed);
}

void NftLockdownFirewall::remove() {
  const std::string table = std::string("inet ") + kLockdownTable;
  run("add table " + table + "\ndelete table " + table + "\n");
}

bool NftLockdownFirewall::installed() {
  // The names only: listing the table would print every allowed network.
  run("list tables inet\n");
  std::string tables = nft_ctx_get_output_buffer(context_);
  return tables.find(std::string("table inet ") + kLockdownTable + "\n") != std::string::npos;
}

}  // namespace platform
