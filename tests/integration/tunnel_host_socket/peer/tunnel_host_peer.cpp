// A client of the control socket for the permission tests: runs every
// operation once and prints one line each, "<operation> ok" or
// "<operation> <domain> <code> <message>", and " group <name>" when a refusal names it.

#include "platform/tunnel_host_client.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/io_context.hpp>

#include <iostream>
#include <string>

namespace {

runtime::Task<void> report(const char* operation, runtime::Task<void> work) {
  try {
    co_await std::move(work);
    std::cout << operation << " ok\n";
  } catch (const runtime::SystemError& e) {
    std::cout << operation << ' ' << e.code().category().name() << ' ' << e.code().value() << ' '
              << e.code().message();
    if (const auto* denied = dynamic_cast<const platform::TunnelAccessDenied*>(&e)) {
      std::cout << " group " << denied->group();
    }
    std::cout << '\n';
  } catch (const std::exception& e) {
    std::cout << operation << " other 0 " << e.what() << '\n';
  }
}

template <class T>
runtime::Task<void> discard(runtime::Task<T> work) {
  co_await std::move(work);
}

runtime::Task<void> save(std::shared_ptr<platform::TunnelHostClient> host,
                         std::string* identifier) {
  platform::TunnelConfiguration configuration;
  configuration.serverAddress = "203.0.113.1";
  configuration.enabled = true;
  auto stored = co_await host->saveToPreferences(configuration);
  *identifier = stored.identifier;
}

runtime::Task<void> everyOperation(std::shared_ptr<platform::TunnelHostClient> host,
                                   boost::asio::io_context& io) {
  std::string identifier = "none";
  // Each call is bound to a name first: GCC 12 destroys temporaries inside co_await twice.
  auto saving = report("save", save(host, &identifier));
  co_await std::move(saving);
  auto loadingAll = report("loadAll", discard(host->loadAllFromPreferences()));
  co_await std::move(loadingAll);
  auto loading = report("load", discard(host->loadFromPreferences(identifier)));
  co_await std::move(loading);
  auto starting = report("start", host->startVPNTunnel(identifier, {{"hasLoaded", 1.0}}));
  co_await std::move(starting);
  auto reading = report("connection", discard(host->connection(identifier)));
  co_await std::move(reading);
  auto messaging = report("message", discard(host->sendProviderMessage(identifier, "ping", true)));
  co_await std::move(messaging);
  auto stopping = report("stop", host->stopVPNTunnel(identifier));
  co_await std::move(stopping);
  auto removing = report("remove", host->removeFromPreferences(identifier));
  co_await std::move(removing);
  auto locking = report("setLockdown", host->setLockdown(true));
  co_await std::move(locking);
  io.stop();  // the client would keep its connection open
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tunnel_host_socket_peer SOCKET\n";
    return 2;
  }
  std::cout << std::unitbuf;  // each line as it happens, for a test that waits on it
  boost::asio::io_context io;
  auto host = platform::TunnelHostClient::create(io.get_executor(), argv[1]);
  runtime::spawn(io.get_executor(), everyOperation(host, io));
  io.run();
  return 0;
}
