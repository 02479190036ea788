#include "flowgate/transport/node_tls.hpp"

#include "runtime/ipv4.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <boost/asio/ssl/error.hpp>

namespace flowgate {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;

namespace {

void check(int ok) {
  if (ok != 1) {
    throw runtime::SystemError(
        runtime::ErrorCode(static_cast<int>(ERR_get_error()), asio::error::get_ssl_category()));
  }
}

void setOption(asio::ip::tcp::socket& socket, int level, int name, int value) {
  if (::setsockopt(socket.native_handle(), level, name, &value, sizeof value) != 0) {
    throw runtime::SystemError(runtime::ErrorCode(errno, boost::system::system_category()));
  }
}

}  // namespace

ssl::context makeNodeTLSContext(const TrustBundle& bundle) {
  auto anchors = certificates(bundle);
  ssl::context context(ssl::context::tls_client);
  check(SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_3_VERSION));
  X509_STORE* store = X509_STORE_new();
  if (!store) check(0);
  // Any bundle certificate is an anchor, self-signed or not; the system store is never used.
  X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
  for (const auto& anchor : anchors) {
    if (X509_STORE_add_cert(store, anchor.get()) != 1) {
      X509_STORE_free(store);
      check(0);
    }
  }
  SSL_CTX_set_cert_store(context.native_handle(), store);
  context.set_verify_mode(ssl::verify_peer);
  return context;
}

void setNodeServerName(ssl::stream<asio::ip::tcp::socket>& stream, const std::string& serverName) {
  SSL* handle = stream.native_handle();
  X509_VERIFY_PARAM* param = SSL_get0_param(handle);
  if (runtime::ipv4::ipv4Value(serverName)) {
    check(X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str()));
    return;
  }
  check(static_cast<int>(SSL_set_tlsext_host_name(handle, serverName.c_str())));
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  check(X509_VERIFY_PARAM_set1_host(param, serverName.c_str(), serverName.size()));
}

void applyNodeSocketOptions(asio::ip::tcp::socket& socket, std::optional<std::uint32_t> mark) {
  setOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  setOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, 15);
  setOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, 5);
  setOption(socket, IPPROTO_TCP, TCP_KEEPCNT, 3);
  setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  if (mark) setOption(socket, SOL_SOCKET, SO_MARK, static_cast<int>(*mark));
}

}  // namespace flowgate
