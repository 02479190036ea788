#pragma once

// One direction of TLS 1.3 record protection, keyed from a traffic secret of
// a finished handshake. Records are sealed and opened where the caller's bytes
// lie, with one cipher context kept for the connection: the TLS library's own
// record layer sets its context up again for every record and copies each
// record once more on its way in and out.

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace flowgate {

class TLSRecordCipher {
 public:
  static constexpr std::size_t headerSize = 5;
  static constexpr std::size_t tagSize = 16;
  // Header, inner content type and tag around the plaintext of a sealed record.
  static constexpr std::size_t overhead = headerSize + 1 + tagSize;
  // Most plaintext one record carries.
  static constexpr std::size_t maximumPlaintext = 16384;
  // Longest protected body a peer may send: that and 256 more.
  static constexpr std::size_t maximumBody = maximumPlaintext + 256;

  enum class ContentType : std::uint8_t { alert = 21, handshake = 22, applicationData = 23 };

  struct Opened {
    ContentType type;
    std::size_t size;  // content, without the type byte and padding
  };

  // `suite` is the cipher suite's code (TLS_AES_128_GCM_SHA256 is 0x1301);
  // the secret is as long as the suite's hash. None for a suite or secret it
  // cannot use.
  static std::optional<TLSRecordCipher> make(std::uint16_t suite,
                                             std::span<const std::uint8_t> secret);

  TLSRecordCipher(TLSRecordCipher&&) noexcept;
  TLSRecordCipher& operator=(TLSRecordCipher&&) noexcept;
  ~TLSRecordCipher();

  // Writes one record of `plain` (at most maximumPlaintext bytes) to `out`, which has room
  // for plain.size() + overhead; `out` may not overlap `plain`.
  void seal(ContentType type, std::span<const std::uint8_t> plain, std::uint8_t* out);

  // Opens the record with this header and body into `out` (room for
  // body.size() - tagSize; it may be the body itself). None if it is forged,
  // damaged, out of order or carries no content type.
  std::optional<Opened> open(std::span<const std::uint8_t, headerSize> header,
                             std::span<const std::uint8_t> body, std::uint8_t* out);

  // Moves to the next generation of keys, as a key update does.
  bool update();

  std::uint64_t sequence() const { return sequence_; }

 private:
  struct ContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
  };

  TLSRecordCipher() = default;
  bool rekey();
  std::array<std::uint8_t, 12> nonce() const;

  std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> context_;
  const EVP_CIPHER* cipher_ = nullptr;
  const char* digest_ = nullptr;
  std::size_t keySize_ = 0;
  std::array<std::uint8_t, 48> secret_{};
  std::size_t secretSize_ = 0;
  std::array<std::uint8_t, 12> iv_{};
  std::uint64_t sequence_ = 0;
};

}  // namespace flowgate
