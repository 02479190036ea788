#include "flowgate/transport/tls_record_cipher.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace flowgate {

namespace {

struct Suite {
  std::uint16_t code;
  const EVP_CIPHER* (*cipher)();
  const char* digest;
  std::size_t keySize;
  std::size_t hashSize;
};

constexpr Suite kSuites[] = {
    {0x1301, &EVP_aes_128_gcm, "SHA256", 16, 32},
    {0x1302, &EVP_aes_256_gcm, "SHA384", 32, 48},
    {0x1303, &EVP_chacha20_poly1305, "SHA256", 32, 32},
};

// HKDF-Expand-Label with an empty context, for outputs no longer than one
// hash.
bool expandLabel(const char* digest, std::span<const std::uint8_t> secret, std::string_view label,
                 std::span<std::uint8_t> out) {
  constexpr std::string_view prefix = "tls13 ";
  std::array<std::uint8_t, 64> info{};
  std::size_t n = 0;
  info[n++] = static_cast<std::uint8_t>(out.size() >> 8);
  info[n++] = static_cast<std::uint8_t>(out.size());
  info[n++] = static_cast<std::uint8_t>(prefix.size() + label.size());
  for (char c : prefix) info[n++] = static_cast<std::uint8_t>(c);
  for (char c : label) info[n++] = static_cast<std::uint8_t>(c);
  info[n++] = 0;

  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr);
  EVP_KDF_CTX* context = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
  EVP_KDF_free(kdf);
  if (!context) return false;
  int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                        const_cast<std::uint8_t*>(secret.data()), secret.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), n),
      OSSL_PARAM_construct_end(),
  };
  const bool derived = EVP_KDF_derive(context, out.data(), out.size(), params) == 1;
  EVP_KDF_CTX_free(context);
  return derived;
}

}  // namespace

std::optional<TLSRecordCipher> TLSRecordCipher::make(std::uint16_t suite,
                                                     std::span<const std::uint8_t> secret) {
  const auto* known = std::find_if(std::begin(kSuites), std::end(kSuites),
                                   [&](const Suite& s) { return s.code == suite; });
  if (known == std::end(kSuites) || secret.size() != known->hashSize) return std::nullopt;
  TLSRecordCipher made;
  made.context_.reset(EVP_CIPHER_CTX_new());
  if (!made.context_) return std::nullopt;
  made.cipher_ = known->cipher();
  made.digest_ = known->digest;
  made.keySize_ = known->keySize;
  std::copy(secret.begin(), secret.end(), made.secret_.begin());
  made.secretSize_ = secret.size();
  if (!made.rekey()) return std::nullopt;
  return made;
}

TLSRecordCipher::TLSRecordCipher(TLSRecordCipher&&) noexcept = default;
TLSRecordCipher& TLSRecordCipher::operator=(TLSRecordCipher&&) noexcept = default;

TLSRecordCipher::~TLSRecordCipher() {
  OPENSSL_cleanse(secret_.data(), secret_.size());
  OPENSSL_cleanse(iv_.data(), iv_.size());
}

bool TLSRecordCipher::rekey() {
  std::array<std::uint8_t, 32> key{};
  const std::span<const std::uint8_t> secret(secret_.data(), secretSize_);
  const bool keyed =
      expandLabel(digest_, secret, "key", std::span(key.data(), keySize_)) &&
      expandLabel(digest_, secret, "iv", iv_) &&
      EVP_CipherInit_ex(context_.get(), cipher_, nullptr, key.data(), nullptr, 1) == 1;
  OPENSSL_cleanse(key.data(), key.size());
  sequence_ = 0;
  return keyed;
}

bool TLSRecordCipher::update() {
  std::array<std::uint8_t, 48> next{};
  const std::span<std::uint8_t> out(next.data(), secretSize_);
  const bool derived =
      expandLabel(digest_, std::span(secret_.data(), secretSize_), "traffic upd", out);
  if (derived) std::copy(out.begin(), out.end(), secret_.begin());
  OPENSSL_cleanse(next.data(), next.size());
  return derived && rekey();
}

std::array<std::uint8_t, 12> TLSRecordCipher::nonce() const {
  auto nonce = iv_;
  for (int i = 0; i < 8; ++i) nonce[11 - i] ^= static_cast<std::uint8_t>(sequence_ >> (8 * i));
  return nonce;
}

void TLSRecordCipher::seal(ContentType type, std::span<const std::uint8_t> plain,
                           std::uint8_t* out) {
  const std::size_t body = plain.size() + 1 + tagSize;
  out[0] = static_cast<std::uint8_t>(ContentType::applicationData);
  out[1] = 0x03;
  out[2] = 0x03;
  out[3] = static_cast<std::uint8_t>(body >> 8);
  out[4] = static_cast<std::uint8_t>(body);
  const auto iv = nonce();
  const auto inner = static_cast<std::uint8_t>(type);
  auto* context = context_.get();
  int n = 0;
  // With keys and sizes fixed at construction these calls cannot fail.
  EVP_CipherInit_ex(context, nullptr, nullptr, nullptr, iv.data(), 1);
  EVP_CipherUpdate(context, nullptr, &n, out, headerSize);
  std::uint8_t* cipherText = out + headerSize;
  EVP_CipherUpdate(context, cipherText, &n, plain.data(), static_cast<int>(plain.size()));
  EVP_CipherUpdate(context, cipherText + plain.size(), &n, &inner, 1);
  EVP_CipherFinal_ex(context, cipherText + plain.size() + 1, &n);
  EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, tagSize, cipherText + plain.size() + 1);
  ++sequence_;
}

std::optional<TLSRecordCipher::Opened> TLSRecordCipher::open(
    std::span<const std::uint8_t, headerSize> header, std::span<const std::uint8_t> body,
    std::uint8_t* out) {
  if (body.size() <= tagSize || body.size() > maximumBody) return std::nullopt;
  const std::size_t sealed = body.size() - tagSize;
  std::array<std::uint8_t, tagSize> tag{};
  std::memcpy(tag.data(), body.data() + sealed, tagSize);
  const auto iv = nonce();
  auto* context = context_.get();
  int n = 0;
  const bool authentic =
      EVP_CipherInit_ex(context, nullptr, nullptr, nullptr, iv.data(), 0) == 1 &&
      EVP_CipherUpdate(context, nullptr, &n, header.data(), headerSize) == 1 &&
      EVP_CipherUpdate(context, out, &n, body.data(), static_cast<int>(sealed)) == 1 &&
      EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, tagSize, tag.data()) == 1 &&
      EVP_CipherFinal_ex(context, out + sealed, &n) == 1;
  if (!authentic) return std::nullopt;
  ++sequence_;
  // The content type is the last byte that is not padding.
  std::size_t end = sealed;
  while (end > 0 && out[end - 1] == 0) --end;
  if (end == 0) return std::nullopt;
  return Opened{static_cast<ContentType>(out[end - 1]), end - 1};
}

}  // namespace flowgate
