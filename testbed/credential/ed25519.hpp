#pragma once

// Ed25519 keys through OpenSSL's EVP interface. Public keys travel as their raw
// 32 bytes; private keys as PKCS#8 PEM.

#include "platform/openssl_ptr.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace testbed {

using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

class Ed25519PrivateKey {
 public:
  static Ed25519PrivateKey generate();
  // Throws std::invalid_argument when the text holds no Ed25519 private key.
  static Ed25519PrivateKey fromPEM(std::string_view pem);

  std::string toPEM() const;
  Ed25519PublicKey publicKey() const;
  Ed25519Signature sign(std::span<const std::uint8_t> message) const;

 private:
  explicit Ed25519PrivateKey(EVP_PKEY* key) : key_(key) {}
  platform::openssl::UniquePtr<EVP_PKEY> key_;
};

bool ed25519Verify(const Ed25519PublicKey& publicKey, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> signature);

}  // namespace testbed
