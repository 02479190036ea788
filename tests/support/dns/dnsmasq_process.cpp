#include "tests/support/dns/dnsmasq_process.hpp"

#include "tests/support/dns/dns_messages.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace dns_test {

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

std::uint16_t freeUDPPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  auto address = loopback(0);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free UDP port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

std::vector<std::uint8_t> ask(std::uint16_t port, const std::vector<std::uint8_t>& message,
                              int timeoutMs) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  auto address = loopback(port);
  std::vector<std::uint8_t> reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, message.data(), message.size(), 0) >= 0) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) == 1) {
      reply.resize(65536);
      auto n = recv(fd, reply.data(), reply.size(), 0);
      reply.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
  }
  close(fd);
  return reply;
}

DnsmasqProcess::DnsmasqProcess(
    const std::vector<std::pair<std::string, std::string>>& hostRecords) {
  char pattern[] = "/tmp/veskar-dnsmasq-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  port_ = freeUDPPort();

  std::vector<std::string> arguments{"dnsmasq",
                                     "--keep-in-foreground",
                                     "--conf-file=/dev/null",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--bind-interfaces",
                                     "--listen-address=127.0.0.1",
                                     "--port=" + std::to_string(port_),
                                     "--pid-file=" + (directory_ / "dnsmasq.pid").string(),
                                     "--log-facility=/dev/null",
                                     "--local=/test.example/"};
  for (const auto& [host, address] : hostRecords) {
    arguments.push_back("--host-record=" + host + "," + address);
  }
  child_ = std::make_unique<testsupport::ChildProcess>(
      std::move(arguments), testsupport::ChildProcess::Output::discarded);
  // Ready once it answers; a query for a name it does not know will do.
  auto probe = query(1, "probe.test.example", typeA);
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!ask(port_, probe, 50).empty()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("dnsmasq did not start");
}

DnsmasqProcess::~DnsmasqProcess() {
  child_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace dns_test
