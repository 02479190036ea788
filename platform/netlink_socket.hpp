#pragma once

// A small rtnetlink client on libmnl: requests go out in batches, each asking
// for its acknowledgement, so thousands of changes cost a few system calls and
// every failure is tied to the request that caused it. The socket belongs to the
// network namespace of the thread that opened it.

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct mnl_socket;

namespace platform {

// Requests laid out back to back, as the kernel reads them.
class NetlinkBatch {
 public:
  static constexpr std::size_t kMaxMessage = 512;

  // Starts a message; the header stays valid until the next begin().
  nlmsghdr* begin(std::uint16_t type, std::uint16_t flags);
  void end(nlmsghdr* message);

  std::size_t size() const { return offsets_.size(); }
  bool empty() const { return offsets_.empty(); }
  nlmsghdr* message(std::size_t index);

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> offsets_;
};

struct NetlinkFailure {
  std::size_t index;   // of the request in its batch
  int error;           // positive errno
  std::string reason;  // the kernel's extended message, when it gave one
};

class NetlinkSocket {
 public:
  // `groups`: the RTMGRP_* multicast groups to join (0 for a request socket).
  explicit NetlinkSocket(unsigned groups = 0);
  ~NetlinkSocket();
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  int fd() const;
  void setNonBlocking();

  // Sends every request of the batch with NLM_F_ACK and waits for all
  // acknowledgements. Returns the requests the kernel refused, in order.
  std::vector<NetlinkFailure> transact(NetlinkBatch& batch);

  // Sends one dump request and hands every answer message to `onMessage`.
  void dump(NetlinkBatch& request, const std::function<void(const nlmsghdr*)>& onMessage);

  // Reads what is waiting on a non-blocking subscribed socket, each message to
  // `onMessage`. Returns false when the kernel dropped notifications because
  // the socket fell behind (the caller should treat everything as changed).
  bool drainNotifications(const std::function<void(const nlmsghdr*)>& onMessage);

 private:
  std::uint32_t nextSequence() { return ++sequence_; }
  // One pass of a dump; false when the kernel marked it interrupted.
  bool readDump(NetlinkBatch& request, std::vector<std::uint8_t>& answers);

  mnl_socket* socket_ = nullptr;
  std::uint32_t sequence_;
  std::vector<std::uint8_t> receiveBuffer_;
  std::size_t maxChunkMessages_ = 16;
};

// The fixed header of an rtnetlink message, after its netlink header.
void* putExtraHeader(nlmsghdr* message, std::size_t size);
template <class Header>
Header* putHeader(nlmsghdr* message) {
  return static_cast<Header*>(putExtraHeader(message, sizeof(Header)));
}

// Visits the attributes of an rtnetlink message after its fixed header.
void forEachAttributeAfter(const nlmsghdr* message, std::size_t headerSize,
                           const std::function<void(const nlattr*)>& visit);
template <class Header>
void forEachAttribute(const nlmsghdr* message, const std::function<void(const nlattr*)>& visit) {
  forEachAttributeAfter(message, sizeof(Header), visit);
}

// Throws a system error naming `what` for the first failure, if any.
void throwOnFailure(const std::vector<NetlinkFailure>& failures,
                    const std::function<std::string(std::size_t index)>& what);

}  // namespace platform
