#include "flowgate/daemon/peer_credentials.hpp"

#include "runtime/error.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace flowgate::daemon {

namespace {

[[noreturn]] void failWithErrno(const char* what) {
  throw runtime::SystemError(runtime::ErrorCode(errno, boost::system::system_category()), what);
}

}  // namespace

PeerCredentials peerCredentials(int socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
    failWithErrno("SO_PEERCRED");
  PeerCredentials peer{credentials.pid, credentials.uid, credentials.gid, {}};
  // The groups the peer held when it connected (SO_PEERGROUPS), not what
  // /etc/group lists for its user: a process may have been started with other
  // groups (setpriv, newgrp), and /proc/<pid> could name a successor by then.
  peer.groups.resize(16);
  for (;;) {
    length = static_cast<socklen_t>(peer.groups.size() * sizeof(gid_t));
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, peer.groups.data(), &length) == 0) break;
    if (errno != ERANGE) failWithErrno("SO_PEERGROUPS");
    // The kernel says how much it needs.
    peer.groups.resize(length / sizeof(gid_t) + 1);
  }
  peer.groups.resize(length / sizeof(gid_t));
  return peer;
}

bool mayControl(const PeerCredentials& peer, gid_t group) {
  return peer.uid == 0 || peer.gid == group ||
         std::ranges::find(peer.groups, group) != peer.groups.end();
}

}  // namespace flowgate::daemon
