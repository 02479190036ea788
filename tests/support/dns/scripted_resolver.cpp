#include "tests/support/dns/scripted_resolver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace dns_test {

ScriptedResolver::ScriptedResolver(Script script) : script_(std::move(script)) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("scripted resolver: no socket");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

ScriptedResolver::~ScriptedResolver() {
  stopping_ = true;
  thread_.join();
  close(fd_);
}

void ScriptedResolver::serve() {
  std::vector<std::uint8_t> buffer(65536);
  while (!stopping_) {
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, 20) != 1) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    auto n =
        recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0) continue;
    ++received_;
    std::vector<std::uint8_t> message(buffer.begin(), buffer.begin() + n);
    if (auto reply = script_(message)) {
      sendto(fd_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&peer), length);
    }
  }
}

}  // namespace dns_test
