#pragma once

// Who is at the other end of a connected Unix socket, as the kernel recorded
// it when the peer connected: process, user, primary and supplementary groups.

#include <sys/types.h>

#include <vector>

namespace flowgate::daemon {

struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary
};

// Throws runtime::SystemError.
PeerCredentials peerCredentials(int socket);

// Root, or a member of `group` by its primary or a supplementary group.
bool mayControl(const PeerCredentials& peer, gid_t group);

}  // namespace flowgate::daemon
