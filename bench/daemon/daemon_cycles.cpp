// daemon-cycles --socket PATH --pid PID --options DIR [--cycles N]
//
// Saves a tunnel configuration in the daemon behind PATH, then starts and
// stops the tunnel N times with the start options in DIR (bootstrap.json,
// tokens.json). After each stop it prints one line with the daemon's open
// descriptors, threads and resident memory, read from /proc/PID:
//   "cycle 3 connect_ms 412 fds 12 threads 3 rss_kib 21588"

#include "platform/tunnel_host_client.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/tunnel_host/veskar_configuration.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

namespace asio = boost::asio;
using platform::TunnelStatus;

std::string readWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string footprint(const std::string& pid) {
  auto folder = std::filesystem::path("/proc") / pid;
  std::size_t descriptors = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder / "fd")) {
    ++descriptors;
  }
  std::istringstream status(readWhole(folder / "status"));
  std::string line, threads, resident;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string name, value;
    fields >> name >> value;
    if (name == "Threads:") threads = value;
    if (name == "VmRSS:") resident = value;
  }
  return "fds " + std::to_string(descriptors) + " threads " + threads + " rss_kib " + resident;
}

runtime::Task<void> pause(std::chrono::milliseconds duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(runtime::asTuple);
}

runtime::Task<void> cycles(std::shared_ptr<platform::TunnelHost> host, std::string pid,
                           std::filesystem::path options, int count) {
  auto configuration = testsupport::veskarConfiguration("control.lab.example");
  auto saved = co_await host->saveToPreferences(configuration);
  platform::TunnelStartOptions startOptions{
      {"bootstrap", platform::TunnelOptionData{readWhole(options / "bootstrap.json")}},
      {"extension_tokens", platform::TunnelOptionData{readWhole(options / "tokens.json")}},
      {"high_speed_enabled", 1.0}};
  for (int cycle = 0; cycle < count; ++cycle) {
    auto began = std::chrono::steady_clock::now();
    co_await host->startVPNTunnel(saved.identifier, startOptions);
    while (true) {
      auto connection = co_await host->connection(saved.identifier);
      if (connection.status == TunnelStatus::connected) break;
      if (connection.status == TunnelStatus::disconnected) {
        auto error = connection.lastDisconnectError.value_or(platform::TunnelErrorInfo{});
        throw std::runtime_error("start failed: " + error.domain + " " + error.message);
      }
      co_await pause(std::chrono::milliseconds(20));
    }
    auto connectMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - began)
                         .count();
    co_await host->stopVPNTunnel(saved.identifier);
    // The stopped run's tasks wind down right after its stop, then the daemon
    // gives its memory back.
    co_await pause(std::chrono::seconds(1));
    std::cout << "cycle " << cycle << " connect_ms " << connectMs << " " << footprint(pid)
              << std::endl;
  }
}

// The client's connection keeps the context busy: it is stopped once the
// cycles end, however they end.
runtime::Task<void> drive(std::shared_ptr<platform::TunnelHost> host, std::string pid,
                          std::filesystem::path options, int count, asio::io_context* context,
                          int* status) {
  try {
    co_await cycles(std::move(host), std::move(pid), std::move(options), count);
  } catch (const std::exception& e) {
    std::cerr << "daemon-cycles: " << e.what() << "\n";
    *status = 1;
  }
  context->stop();
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket, pid, options;
  int count = 100;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--socket") socket = argv[i + 1];
    if (name == "--pid") pid = argv[i + 1];
    if (name == "--options") options = argv[i + 1];
    if (name == "--cycles") count = std::stoi(argv[i + 1]);
  }
  if (socket.empty() || pid.empty() || options.empty()) {
    std::cerr << "usage: daemon-cycles --socket PATH --pid PID --options DIR [--cycles N]\n";
    return 2;
  }
  asio::io_context io;
  auto host = platform::TunnelHostClient::create(io.get_executor(), socket);
  int status = 0;
  runtime::spawn(io.get_executor(), drive(host, pid, options, count, &io, &status));
  io.run();
  return status;
}
