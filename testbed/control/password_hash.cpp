#include "testbed/control/password_hash.hpp"

#include "runtime/base64.hpp"
#include "runtime/text.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace testbed {

namespace {

constexpr std::string_view scheme = "pbkdf2-sha256";
constexpr std::size_t saltSize = 16;
constexpr std::size_t hashSize = 32;
// Bounds what a lab file can make one sign-in cost.
constexpr std::uint64_t maxIterations = 10'000'000;

struct Parsed {
  unsigned iterations;
  std::vector<std::uint8_t> salt;
  std::vector<std::uint8_t> hash;
};

std::optional<Parsed> parse(std::string_view text) {
  auto pieces = runtime::splitOmittingEmpty(text, '$');
  if (pieces.size() != 4 || pieces[0] != scheme) return std::nullopt;
  auto iterations = runtime::parseDecimal(pieces[1], maxIterations);
  auto salt = runtime::base64::decode(pieces[2]);
  auto hash = runtime::base64::decode(pieces[3]);
  if (!iterations || *iterations == 0 || !salt || salt->empty() || !hash ||
      hash->size() != hashSize) {
    return std::nullopt;
  }
  return Parsed{static_cast<unsigned>(*iterations), std::move(*salt), std::move(*hash)};
}

std::array<std::uint8_t, hashSize> derive(std::string_view password,
                                          const std::vector<std::uint8_t>& salt,
                                          unsigned iterations) {
  std::array<std::uint8_t, hashSize> out{};
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(out.size()), out.data()) != 1) {
    throw std::runtime_error("PBKDF2 failed");
  }
  return out;
}

}  // namespace

std::string hashPassword(std::string_view password, unsigned iterations) {
  std::vector<std::uint8_t> salt(saltSize);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
    throw std::runtime_error("no random bytes");
  }
  auto hash = derive(password, salt, iterations);
  return std::string(scheme) + "$" + std::to_string(iterations) + "$" +
         runtime::base64::encode(salt) + "$" + runtime::base64::encode(hash);
}

bool verifyPassword(std::string_view password, std::string_view hash) {
  auto parsed = parse(hash);
  if (!parsed) return false;
  auto derived = derive(password, parsed->salt, parsed->iterations);
  return CRYPTO_memcmp(derived.data(), parsed->hash.data(), hashSize) == 0;
}

bool isPasswordHash(std::string_view hash) { return parse(hash).has_value(); }

}  // namespace testbed
