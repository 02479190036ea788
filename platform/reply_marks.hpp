#pragma once

// Replies to the daemon's marked connections carry the mark back in, so
// strict reverse-path filtering finds their way back outside the tunnel: the
// mark of outgoing packets is saved in their connection and restored on
// incoming ones (an nftables table of our own), and the kernel is told to let
// the mark steer the reverse lookup (src_valid_mark). Without this a reply
// from a host that is not an excluded route (a node given by name) would be
// dropped under rp_filter=1. The nftables socket and the sysctl are opened by
// the constructor, in the network namespace current there.

#include "platform/unique_fd.hpp"

#include <memory>
#include <optional>
#include <string>

struct nft_ctx;

namespace platform {

class ReplyMarks {
 public:
  ReplyMarks();
  ~ReplyMarks();
  ReplyMarks(const ReplyMarks&) = delete;
  ReplyMarks& operator=(const ReplyMarks&) = delete;

  // Installs (or replaces) our table and turns src_valid_mark on, the value
  // found first remembered.
  void install();
  // Deletes our table, whoever made it, and puts back the src_valid_mark value
  // our install found. After a crash nothing remembers it and it stays on:
  // harmless, it only lets marks steer the reverse-path lookup.
  void remove();

 private:
  void run(const char* commands, bool ignoreMissing);

  nft_ctx* context_;
  UniqueFd srcValidMark_;                         // /proc/sys/net/ipv4/conf/all/src_valid_mark
  std::optional<std::string> foundSrcValidMark_;  // before our first install
};

}  // namespace platform
