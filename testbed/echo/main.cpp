// testbed-echo: answers every HTTP request with the caller's IPv4 address, so a
// lab test can tell which exit node (or the direct path) carried a flow.
//
//   testbed-echo --listen ADDR:PORT [--listen ADDR:PORT ...]
//
// GET of any path answers 200 with "ADDRESS\n" (text/plain). Prints
// "ready port=P[,P...]" once every listener accepts; runs until SIGINT or SIGTERM.

#include "runtime/text.hpp"
#include "testbed/http/http_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <list>
#include <string>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

runtime::Task<testbed::HttpReply> answer(testbed::HttpRequest, tcp::endpoint peer) {
  co_return testbed::HttpReply{200, peer.address().to_string() + "\n", "text/plain"};
}

tcp::endpoint parseEndpoint(const std::string& text) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) throw std::invalid_argument("--listen wants ADDR:PORT");
  auto port = runtime::parseDecimal(std::string_view(text).substr(colon + 1), 65535);
  if (!port) throw std::invalid_argument("--listen has a bad port: " + text);
  return {asio::ip::make_address_v4(text.substr(0, colon)), static_cast<std::uint16_t>(*port)};
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<tcp::endpoint> endpoints;
  try {
    for (int i = 1; i < argc; ++i) {
      if (std::string(argv[i]) != "--listen" || i + 1 >= argc) {
        throw std::invalid_argument("usage: testbed-echo --listen ADDR:PORT [...]");
      }
      endpoints.push_back(parseEndpoint(argv[++i]));
    }
    if (endpoints.empty())
      throw std::invalid_argument("usage: testbed-echo --listen ADDR:PORT [...]");
  } catch (const std::exception& e) {
    std::cerr << "testbed-echo: " << e.what() << "\n";
    return 2;
  }
  try {
    asio::io_context io(1);
    std::list<testbed::HttpServer> servers;
    std::string ports;
    for (const auto& endpoint : endpoints) {
      auto& server =
          servers.emplace_back(io.get_executor(), endpoint, nullptr, answer, testbed::HttpLimits{});
      server.start();
      // Two appends: GCC 12 at -O3 misreads `"," + to_string(...)` as an overlapping copy.
      if (!ports.empty()) ports += ",";
      ports += std::to_string(server.port());
    }
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code, int) {
      for (auto& server : servers) server.stop();
      io.stop();
    });
    std::cout << "ready port=" << ports << std::endl;
    io.run();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "testbed-echo: " << e.what() << "\n";
    return 1;
  }
}
