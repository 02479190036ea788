// testbed-control: the lab's control server.
//
//   testbed-control serve --lab FILE [--listen ADDR] [--port N] [--admin-port N]
//                         [--read-timeout-ms N]
//   testbed-control hash-password [--iterations N] PASSWORD
//
// `serve` answers HTTPS on ADDR:N (default 127.0.0.1, port 0 = any free port)
// and the admin interface on 127.0.0.1:N (plain HTTP), prints
// "ready port=P admin_port=A" once both accept, and runs until SIGINT or
// SIGTERM. It keeps all state in memory and writes no file.

#include "runtime/clock.hpp"
#include "runtime/text.hpp"
#include "testbed/cli/arguments.hpp"
#include "testbed/control/control_server.hpp"
#include "testbed/control/lab_file.hpp"
#include "testbed/control/password_hash.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>

#include <csignal>
#include <iostream>
#include <span>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr const char* usage =
    "usage: testbed-control serve --lab FILE [--listen ADDR] [--port N] [--admin-port N]\n"
    "                             [--read-timeout-ms N]\n"
    "       testbed-control hash-password [--iterations N] PASSWORD\n";

using testbed::Arguments;
using testbed::UsageError;

int serve(const Arguments& options) {
  auto lab = testbed::loadLabFile(options.required("lab"));
  auto listen = options.value("listen").value_or("127.0.0.1");
  auto port = static_cast<std::uint16_t>(options.number("port", 0, 65535));
  auto adminPort = static_cast<std::uint16_t>(options.number("admin-port", 0, 65535));
  testbed::HttpLimits limits;
  limits.readTimeout =
      std::chrono::milliseconds(options.number("read-timeout-ms", 10'000, 3'600'000));

  asio::ssl::context tls(asio::ssl::context::tls_server);
  tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                  asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                  asio::ssl::context::no_tlsv1_1);
  tls.use_certificate_chain_file(lab.pki.serverCertificate);
  tls.use_private_key_file(lab.pki.serverKey, asio::ssl::context::pem);

  runtime::SystemClock clock;
  testbed::ControlService service(std::move(lab), clock);
  testbed::FaultBoard faults;

  asio::io_context io(1);
  testbed::HttpServer control(io.get_executor(),
                              tcp::endpoint(asio::ip::make_address(listen), port), &tls,
                              testbed::controlHandler(service, faults), limits);
  testbed::HttpServer admin(io.get_executor(),
                            tcp::endpoint(asio::ip::address_v4::loopback(), adminPort), nullptr,
                            testbed::adminHandler(service, faults), limits);
  control.start();
  admin.start();

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](boost::system::error_code, int) {
    control.stop();
    admin.stop();
    io.stop();
  });

  std::cout << "ready port=" << control.port() << " admin_port=" << admin.port() << std::endl;
  io.run();
  return 0;
}

int hashPasswordCommand(const Arguments& options) {
  const auto& positional = options.positional;
  if (positional.size() != 1) throw UsageError("hash-password wants one PASSWORD");
  auto iterations = options.number("iterations", testbed::defaultPasswordIterations, 10'000'000);
  if (iterations == 0) throw UsageError("--iterations must be at least 1");
  std::cout << testbed::hashPassword(positional[0], static_cast<unsigned>(iterations)) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h") {
    (arguments.empty() ? std::cerr : std::cout) << usage;
    return arguments.empty() ? 2 : 0;
  }
  try {
    auto parsed = testbed::parseArguments(std::span(arguments).subspan(1));
    if (arguments[0] == "serve" && parsed.positional.empty()) return serve(parsed);
    if (arguments[0] == "hash-password") return hashPasswordCommand(parsed);
    throw UsageError("unknown command " + arguments[0]);
  } catch (const UsageError& e) {
    std::cerr << "testbed-control: " << e.what() << "\n" << usage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "testbed-control: " << e.what() << "\n";
    return 1;
  }
}
