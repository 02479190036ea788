#include "platform/netlink_socket.hpp"

#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace platform {

namespace {

[[noreturn]] void throwErrno(int error, const char* what) {
  throw boost::system::system_error(error, boost::system::system_category(), what);
}

// Requests per send: their acknowledgements must fit the receive buffer.
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr int kReceiveBuffer = 16 * 1024 * 1024;

std::string extendedReason(const nlmsghdr* message) {
  if (!(message->nlmsg_flags & NLM_F_ACK_TLVS)) return {};
  const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
  // With NETLINK_CAP_ACK the refused request is not echoed, only its header.
  std::size_t offset = sizeof(nlmsghdr) + sizeof(nlmsgerr);
  if (!(message->nlmsg_flags & NLM_F_CAPPED)) offset += error->msg.nlmsg_len - sizeof(nlmsghdr);
  std::string reason;
  const auto* attribute = reinterpret_cast<const nlattr*>(
      reinterpret_cast<const std::uint8_t*>(message) + MNL_ALIGN(offset));
  int remaining = static_cast<int>(message->nlmsg_len) - static_cast<int>(MNL_ALIGN(offset));
  while (mnl_attr_ok(attribute, remaining)) {
    if (mnl_attr_get_type(attribute) == NLMSGERR_ATTR_MSG) {
      reason = mnl_attr_get_str(attribute);
    }
    remaining -= static_cast<int>(MNL_ALIGN(attribute->nla_len));
    attribute = mnl_attr_next(attribute);
  }
  return reason;
}

}  // namespace

nlmsghdr* NetlinkBatch::begin(std::uint16_t type, std::uint16_t flags) {
  std::size_t offset = bytes_.size();
  bytes_.resize(offset + kMaxMessage);
  auto* header = mnl_nlmsg_put_header(bytes_.data() + offset);
  header->nlmsg_type = type;
  header->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
  offsets_.push_back(offset);
  return header;
}

void NetlinkBatch::end(nlmsghdr* message) {
  std::size_t offset = offsets_.back();
  bytes_.resize(offset + MNL_ALIGN(message->nlmsg_len));
}

nlmsghdr* NetlinkBatch::message(std::size_t index) {
  return reinterpret_cast<nlmsghdr*>(bytes_.data() + offsets_[index]);
}

NetlinkSocket::NetlinkSocket(unsigned groups)
    : sequence_(static_cast<std::uint32_t>(std::time(nullptr))), receiveBuffer_(1 << 20) {
  socket_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (!socket_) throwErrno(errno, "netlink socket");
  int one = 1;
  // Failures of these only cost detail (reasons) or speed (smaller chunks).
  mnl_socket_setsockopt(socket_, NETLINK_CAP_ACK, &one, sizeof one);
  mnl_socket_setsockopt(socket_, NETLINK_EXT_ACK, &one, sizeof one);
  mnl_socket_setsockopt(socket_, NETLINK_GET_STRICT_CHK, &one, sizeof one);
  int size = kReceiveBuffer;
  if (::setsockopt(fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    ::setsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  socklen_t length = sizeof size;
  if (::getsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &size, &length) == 0) {
    // Each acknowledgement costs about a kilobyte of receive buffer; half of
    // the buffer per chunk keeps the kernel from dropping any.
    maxChunkMessages_ = std::max<std::size_t>(16, static_cast<std::size_t>(size) / 2048);
  }
  if (mnl_socket_bind(socket_, groups, MNL_SOCKET_AUTOPID) < 0) {
    int saved = errno;
    mnl_socket_close(socket_);
    throwErrno(saved, "netlink bind");
  }
}

NetlinkSocket::~NetlinkSocket() { mnl_socket_close(socket_); }

int NetlinkSocket::fd() const { return mnl_socket_get_fd(socket_); }

void NetlinkSocket::setNonBlocking() {
  int flags = ::fcntl(fd(), F_GETFL);
  ::fcntl(fd(), F_SETFL, flags | O_NONBLOCK);
}

std::vector<NetlinkFailure> NetlinkSocket::transact(NetlinkBatch& batch) {
  std::vector<NetlinkFailure> failures;
  std::size_t next = 0;
  std::vector<std::uint8_t> chunk;
  while (next < batch.size()) {
    // Sequence number -> index in the batch, for the acknowledgements of this chunk.
    std::unordered_map<std::uint32_t, std::size_t> pending;
    chunk.clear();
    while (next < batch.size()) {
      auto* message = batch.message(next);
      if (!chunk.empty() && (chunk.size() + message->nlmsg_len > kChunkBytes ||
                             pending.size() >= maxChunkMessages_)) {
        break;
      }
      message->nlmsg_flags |= NLM_F_ACK;
      message->nlmsg_seq = nextSequence();
      pending.emplace(message->nlmsg_seq, next);
      auto* bytes = reinterpret_cast<const std::uint8_t*>(message);
      chunk.insert(chunk.end(), bytes, bytes + MNL_ALIGN(message->nlmsg_len));
      ++next;
    }
    if (mnl_socket_sendto(socket_, chunk.data(), chunk.size()) < 0)
      throwErrno(errno, "netlink send");
    while (!pending.empty()) {
      auto n = mnl_socket_recvfrom(socket_, receiveBuffer_.data(), receiveBuffer_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throwErrno(errno, "netlink receive");
      }
      const auto* message = static_cast<const nlmsghdr*>(static_cast<void*>(receiveBuffer_.data()));
      int remaining = static_cast<int>(n);
      for (; mnl_nlmsg_ok(message, remaining); message = mnl_nlmsg_next(message, &remaining)) {
        if (message->nlmsg_type != NLMSG_ERROR) continue;
        const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
        auto found = pending.find(message->nlmsg_seq);
        if (found == pending.end()) continue;
        if (error->error != 0) {
          failures.push_back({found->second, -error->error, extendedReason(message)});
        }
        pending.erase(found);
      }
    }
  }
  return failures;
}

void NetlinkSocket::dump(NetlinkBatch& request,
                         const std::function<void(const nlmsghdr*)>& onMessage) {
  // A dump the kernel marks interrupted (the table changed while it was read)
  // is read again; only a whole one reaches the caller.
  std::vector<std::uint8_t> answers;
  for (int attempt = 0;; ++attempt) {
    answers.clear();
    if (readDump(request, answers) || attempt == 4) break;
  }
  const auto* message = static_cast<const nlmsghdr*>(static_cast<void*>(answers.data()));
  int remaining = static_cast<int>(answers.size());
  for (; mnl_nlmsg_ok(message, remaining); message = mnl_nlmsg_next(message, &remaining)) {
    onMessage(message);
  }
}

bool NetlinkSocket::readDump(NetlinkBatch& request, std::vector<std::uint8_t>& answers) {
  auto* message = request.message(0);
  message->nlmsg_flags |= NLM_F_DUMP;
  message->nlmsg_seq = nextSequence();
  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0)
    throwErrno(errno, "netlink send");
  auto portID = mnl_socket_get_portid(socket_);
  bool whole = true;
  for (;;) {
    auto n = mnl_socket_recvfrom(socket_, receiveBuffer_.data(), receiveBuffer_.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, "netlink receive");
    }
    const auto* answer = static_cast<const nlmsghdr*>(static_cast<void*>(receiveBuffer_.data()));
    int remaining = static_cast<int>(n);
    for (; mnl_nlmsg_ok(answer, remaining); answer = mnl_nlmsg_next(answer, &remaining)) {
      // Late answers to an earlier request are not ours to read.
      if (answer->nlmsg_seq != message->nlmsg_seq || answer->nlmsg_pid != portID) continue;
      if (answer->nlmsg_flags & NLM_F_DUMP_INTR) whole = false;
      if (answer->nlmsg_type == NLMSG_DONE) return whole;
      if (answer->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(answer));
        if (error->error != 0) throwErrno(-error->error, "netlink dump");
        continue;
      }
      auto* bytes = reinterpret_cast<const std::uint8_t*>(answer);
      answers.insert(answers.end(), bytes, bytes + MNL_ALIGN(answer->nlmsg_len));
    }
  }
}

bool NetlinkSocket::drainNotifications(const std::function<void(const nlmsghdr*)>& onMessage) {
  bool complete = true;
  for (;;) {
    auto n = ::recv(fd(), receiveBuffer_.data(), receiveBuffer_.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {
        complete = false;
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) return complete;
      throwErrno(errno, "netlink receive");
    }
    const auto* message = static_cast<const nlmsghdr*>(static_cast<void*>(receiveBuffer_.data()));
    int remaining = static_cast<int>(n);
    for (; mnl_nlmsg_ok(message, remaining); message = mnl_nlmsg_next(message, &remaining)) {
      onMessage(message);
    }
  }
}

void* putExtraHeader(nlmsghdr* message, std::size_t size) {
  return mnl_nlmsg_put_extra_header(message, size);
}

void forEachAttributeAfter(const nlmsghdr* message, std::size_t headerSize,
                           const std::function<void(const nlattr*)>& visit) {
  const auto* attribute =
      static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(message, headerSize));
  const auto* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(message));
  while (
      mnl_attr_ok(attribute, static_cast<int>(tail - reinterpret_cast<const char*>(attribute)))) {
    visit(attribute);
    attribute = mnl_attr_next(attribute);
  }
}

void throwOnFailure(const std::vector<NetlinkFailure>& failures,
                    const std::function<std::string(std::size_t index)>& what) {
  if (failures.empty()) return;
  const auto& first = failures.front();
  auto context = what(first.index);
  if (!first.reason.empty()) context += " (" + first.reason + ")";
  throw boost::system::system_error(first.error, boost::system::system_category(), context);
}

}  // namespace platform
