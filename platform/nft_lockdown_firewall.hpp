#pragma once

// The lockdown firewall as an nftables table of our own ("inet
// veskar_lockdown"), so nobody else's rules are touched. The nftables context
// is made by the constructor, the allowed networks' socket at each install:
// use it in one network namespace. Not thread-safe: one caller at a time.

#include "platform/lockdown_firewall.hpp"

struct nft_ctx;

namespace platform {

inline constexpr const char* kLockdownTable = "veskar_lockdown";

class NftLockdownFirewall final : public LockdownFirewall {
 public:
  NftLockdownFirewall();
  ~NftLockdownFirewall() override;
  NftLockdownFirewall(const NftLockdownFirewall&) = delete;
  NftLockdownFirewall& operator=(const NftLockdownFirewall&) = delete;

  void install(const LockdownRules& rules) override;
  void remove() override;
  bool installed() override;

 private:
  void run(const std::string& commands);

  nft_ctx* context_;
};

}  // namespace platform
