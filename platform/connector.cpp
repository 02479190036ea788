#include "platform/connector.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/system/system_error.hpp>

namespace platform {

namespace asio = boost::asio;

namespace {

template <class Socket>
void setOption(Socket& socket, int level, int name, int value) {
  if (setsockopt(socket.native_handle(), level, name, &value, sizeof value) != 0) {
    throw boost::system::system_error(errno, boost::system::system_category());
  }
}

template <class Socket>
void applyOptions(Socket& socket, const SocketOptions& options) {
  if (options.routingMark) {
    setOption(socket, SOL_SOCKET, SO_MARK, static_cast<int>(*options.routingMark));
  }
  if constexpr (std::is_same_v<Socket, asio::ip::tcp::socket>) {
    if (options.keepAlive) {
      setOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
      setOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, 15);
      setOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, 5);
      setOption(socket, IPPROTO_TCP, TCP_KEEPCNT, 3);
    }
    if (options.noDelay) setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  }
}

}  // namespace

asio::ip::udp::socket openUDP(const runtime::Executor& executor, const SocketOptions& options) {
  asio::ip::udp::socket socket(executor, asio::ip::udp::v4());
  applyOptions(socket, options);
  return socket;
}

}  // namespace platform
