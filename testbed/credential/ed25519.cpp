#include "testbed/credential/ed25519.hpp"

#include "platform/openssl_ptr.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <stdexcept>

namespace testbed {

namespace {

using MdContext = platform::openssl::UniquePtr<EVP_MD_CTX>;
using Bio = platform::openssl::UniquePtr<BIO>;

}  // namespace

Ed25519PrivateKey Ed25519PrivateKey::generate() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (!key) throw std::runtime_error("Ed25519 key generation failed");
  return Ed25519PrivateKey(key);
}

Ed25519PrivateKey Ed25519PrivateKey::fromPEM(std::string_view pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!key) throw std::invalid_argument("no private key in PEM text");
  Ed25519PrivateKey result(key);
  if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
    throw std::invalid_argument("the private key is not an Ed25519 key");
  }
  return result;
}

std::string Ed25519PrivateKey::toPEM() const {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw std::runtime_error("cannot write the private key");
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

Ed25519PublicKey Ed25519PrivateKey::publicKey() const {
  Ed25519PublicKey raw{};
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), raw.data(), &size) != 1 || size != raw.size()) {
    throw std::runtime_error("cannot read the Ed25519 public key");
  }
  return raw;
}

Ed25519Signature Ed25519PrivateKey::sign(std::span<const std::uint8_t> message) const {
  MdContext ctx(EVP_MD_CTX_new());
  Ed25519Signature signature{};
  std::size_t size = signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &size, message.data(), message.size()) != 1 ||
      size != signature.size()) {
    throw std::runtime_error("Ed25519 signing failed");
  }
  return signature;
}

bool ed25519Verify(const Ed25519PublicKey& publicKey, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> signature) {
  if (signature.size() != sizeof(Ed25519Signature)) return false;
  platform::openssl::UniquePtr<EVP_PKEY> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  MdContext ctx(EVP_MD_CTX_new());
  return key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

}  // namespace testbed
