#pragma once

// A control socket server on a socket under a fresh directory, serving a
// recording tunnel host, with a throwaway group as its control group; real
// clients, raw sockets and frame helpers for the tests.

#include "flowgate/daemon/control_socket_server.hpp"
#include "platform/recording_tunnel_host.hpp"
#include "platform/tunnel_host_client.hpp"
#include "platform/tunnel_host_protocol.hpp"
#include "tests/support/async/run_task.hpp"
#include "tests/support/files/temporary_directory.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

namespace tunnelhostsocket {

namespace asio = boost::asio;
namespace protocol = platform::tunnel_protocol;
using Socket = asio::local::stream_protocol::socket;

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other users must reach the socket's directory.
    ASSERT_EQ(::chmod(directory.path().c_str(), 0755), 0);
    // Unique even when a crashed run left its group behind.
    group = "vsk-socket-" + std::to_string(::getpid()) + "-" +
            std::to_string(std::random_device{}() % 10000);
    ASSERT_EQ(std::system(("groupadd --system " + group).c_str()), 0);
    gid = ::getgrnam(group.c_str())->gr_gid;
    host->configurations.push_back({.identifier = "home",
                                    .providerBundleIdentifier = "com.example.tunnel",
                                    .serverAddress = "203.0.113.7",
                                    .providerConfiguration = {{"protocolVersion", 3}},
                                    .localizedDescription = "Home",
                                    .enabled = true});
    startServer();
  }
  void TearDown() override {
    if (server) server->stop();
    testsupport::runFor(io, std::chrono::milliseconds(20));
    std::system(("groupdel " + group).c_str());
  }

  void startServer(std::size_t maxQueuedBytes = 4 << 20) {
    server = flowgate::daemon::ControlSocketServer::create(
        io.get_executor(), host, {.path = path, .group = group, .maxQueuedBytes = maxQueuedBytes});
    server->start();
  }

  std::shared_ptr<platform::TunnelHostClient> client() {
    return platform::TunnelHostClient::create(io.get_executor(), path);
  }

  template <class T>
  T run(runtime::Task<T> task) {
    return testsupport::runTask(io, std::move(task));
  }

  Socket rawClient() {
    Socket socket(io);
    socket.connect(asio::local::stream_protocol::endpoint(path.native()));
    return socket;
  }
  // The next frame's payload.
  static runtime::Task<std::string> readFrame(Socket& socket) {
    std::array<unsigned char, 4> header{};
    co_await asio::async_read(socket, asio::buffer(header), asio::use_awaitable);
    std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                         (std::size_t{header[2]} << 8) | header[3];
    std::string payload(length, '\0');
    co_await asio::async_read(socket, asio::buffer(payload), asio::use_awaitable);
    co_return payload;
  }
  // Whether the server closed the connection (after what it still had to say).
  static runtime::Task<bool> closedByServer(Socket& socket) {
    std::array<char, 64 * 1024> sink;
    for (;;) {
      auto [error, count] = co_await socket.async_read_some(asio::buffer(sink), runtime::asTuple);
      if (error) co_return error == asio::error::eof || error == asio::error::connection_reset;
    }
  }
  static void writeRaw(Socket& socket, std::string_view bytes) {
    asio::write(socket, asio::buffer(bytes.data(), bytes.size()));
  }

  boost::asio::io_context io;
  testsupport::TemporaryDirectory directory{"tunnel-host-socket"};
  std::filesystem::path path = directory / "run" / "flowgate.sock";
  std::string group;
  gid_t gid = 0;
  std::shared_ptr<platform::RecordingTunnelHost> host =
      std::make_shared<platform::RecordingTunnelHost>(io.get_executor());
  std::shared_ptr<flowgate::daemon::ControlSocketServer> server;
};

}  // namespace tunnelhostsocket
