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

struct nft_ctx;

namespace platform {

class ReplyMarks {
 public:
  ReplyMarks();
  ~ReplyMarks();
  ReplyMarks(const ReplyMarks&) = delete;
  ReplyMarks& operator=(const ReplyMarks&) = delete;

  // Installs (or replaces) our table and turns src_valid_mark on.
  void install();
  // Deletes our table, whoever made it; src_valid_mark stays as it is, since
  // others may rely on it too.
  void remove();

 private:
  void run(const char* commands, bool ignoreMissing);

  nft_ctx* context_;
  UniqueFd srcValidMark_;  // /proc/sys/net/ipv4/conf/all/src_valid_mark
};

}  // namespace platform
