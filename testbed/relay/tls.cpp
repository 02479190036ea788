#include "testbed/relay/tls.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <stdexcept>

namespace testbed {

namespace ssl = boost::asio::ssl;

namespace {

void onlyTLS13(ssl::context& context) {
  if (SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context.native_handle(), TLS1_3_VERSION) != 1) {
    throw std::runtime_error("cannot restrict TLS to version 1.3");
  }
}

}  // namespace

ssl::context nodeServerContext(const std::string& certificateFile, const std::string& keyFile) {
  ssl::context context(ssl::context::tls_server);
  onlyTLS13(context);
  context.use_certificate_chain_file(certificateFile);
  context.use_private_key_file(keyFile, ssl::context::pem);
  return context;
}

ssl::context nodeClientContext(const std::string& nodeCAFile) {
  ssl::context context(ssl::context::tls_client);
  onlyTLS13(context);
  context.load_verify_file(nodeCAFile);
  context.set_verify_mode(ssl::verify_peer);
  return context;
}

void expectPeerAddress(TLSStream& stream, std::uint32_t address) {
  std::array<unsigned char, 4> bytes{
      static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
      static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
  X509_VERIFY_PARAM* param = SSL_get0_param(stream.native_handle());
  if (X509_VERIFY_PARAM_set1_ip(param, bytes.data(), bytes.size()) != 1) {
    throw std::runtime_error("cannot set the expected peer address");
  }
}

}  // namespace testbed
