#include "platform/nft_interval_loader.hpp"

#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace platform {

namespace {

[[noreturn]] void fail(int error, const char* what) {
  throw boost::system::system_error(error, boost::system::system_category(), what);
}

// Per message, so the element list's nest stays below its 16-bit length.
constexpr std::size_t kElementsPerMessage = 2000;
constexpr std::size_t kElementBytes = 32;  // list entry, key nest, value, flags
constexpr std::size_t kHeaderBytes = 256;

nlmsghdr* putMessage(std::vector<char>& buffer, std::size_t& used, std::uint16_t type,
                     std::uint16_t flags, std::uint32_t sequence, std::uint8_t family,
                     std::uint16_t resource) {
  nlmsghdr* message = mnl_nlmsg_put_header(buffer.data() + used);
  message->nlmsg_type = type;
  message->nlmsg_flags = flags;
  message->nlmsg_seq = sequence;
  auto* header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  header->nfgen_family = family;
  header->version = NFNETLINK_V0;
  header->res_id = htons(resource);
  return message;
}

}  // namespace

void addIntervals(const std::string& table, const std::string& set,
                  std::span<const runtime::ipv4::Range> ranges) {
  if (ranges.empty()) return;
  // A range is its start, and the first address after it marked as an end.
  struct Element {
    std::uint32_t key;
    bool end;
  };
  std::vector<Element> elements;
  elements.reserve(ranges.size() * 2);
  for (const auto& range : ranges) {
    elements.push_back({range.lower, false});
    if (range.upper != 0xFFFFFFFFu) elements.push_back({range.upper + 1, true});
  }

  std::size_t messages = (elements.size() + kElementsPerMessage - 1) / kElementsPerMessage;
  std::vector<char> buffer(elements.size() * kElementBytes + (messages + 2) * kHeaderBytes);
  std::size_t used = 0;
  std::uint32_t sequence = 1;
  auto* begin = putMessage(buffer, used, NFNL_MSG_BATCH_BEGIN, NLM_F_REQUEST, sequence++, AF_UNSPEC,
                           NFNL_SUBSYS_NFTABLES);
  used += begin->nlmsg_len;
  for (std::size_t first = 0; first < elements.size(); first += kElementsPerMessage) {
    auto* message =
        putMessage(buffer, used, (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWSETELEM,
                   NLM_F_REQUEST | NLM_F_CREATE | NLM_F_ACK, sequence++, NFPROTO_INET, 0);
    mnl_attr_put_strz(message, NFTA_SET_ELEM_LIST_TABLE, table.c_str());
    mnl_attr_put_strz(message, NFTA_SET_ELEM_LIST_SET, set.c_str());
    nlattr* list = mnl_attr_nest_start(message, NFTA_SET_ELEM_LIST_ELEMENTS);
    std::size_t last = std::min(elements.size(), first + kElementsPerMessage);
    for (std::size_t i = first; i < last; ++i) {
      nlattr* entry = mnl_attr_nest_start(message, NFTA_LIST_ELEM);
      nlattr* key = mnl_attr_nest_start(message, NFTA_SET_ELEM_KEY);
      std::uint32_t value = htonl(elements[i].key);
      mnl_attr_put(message, NFTA_DATA_VALUE, sizeof value, &value);
      mnl_attr_nest_end(message, key);
      if (elements[i].end)
        mnl_attr_put_u32(message, NFTA_SET_ELEM_FLAGS, htonl(NFT_SET_ELEM_INTERVAL_END));
      mnl_attr_nest_end(message, entry);
    }
    mnl_attr_nest_end(message, list);
    used += message->nlmsg_len;
  }
  auto* end = putMessage(buffer, used, NFNL_MSG_BATCH_END, NLM_F_REQUEST, sequence++, AF_UNSPEC,
                         NFNL_SUBSYS_NFTABLES);
  used += end->nlmsg_len;

  std::unique_ptr<mnl_socket, decltype(&mnl_socket_close)> socket(
      mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC), &mnl_socket_close);
  if (!socket) fail(errno, "nfnetlink");
  if (mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) fail(errno, "nfnetlink");
  // The whole batch in one send: the kernel applies it as one transaction.
  int size = static_cast<int>(used + 4096);
  if (::setsockopt(mnl_socket_get_fd(socket.get()), SOL_SOCKET, SO_SNDBUFFORCE, &size,
                   sizeof size) < 0) {
    fail(errno, "nfnetlink buffer");
  }
  if (mnl_socket_sendto(socket.get(), buffer.data(), used) < 0) fail(errno, "nfnetlink send");

  std::vector<char> reply(MNL_SOCKET_BUFFER_SIZE * 4);
  std::size_t acknowledged = 0;
  while (acknowledged < messages) {
    ssize_t n = mnl_socket_recvfrom(socket.get(), reply.data(), reply.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno, "nfnetlink receive");
    int left = static_cast<int>(n);
    for (auto* message = reinterpret_cast<nlmsghdr*>(reply.data()); mnl_nlmsg_ok(message, left);
         message = mnl_nlmsg_next(message, &left)) {
      if (message->nlmsg_type != NLMSG_ERROR) continue;
      const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
      if (error->error != 0) fail(-error->error, "nftables elements");
      ++acknowledged;
    }
  }
}

}  // namespace platform
