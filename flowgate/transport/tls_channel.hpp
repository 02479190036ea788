#pragma once

// A TLS client connection over a TCP socket that keeps the records in memory
// of its own: outgoing data is encrypted into one buffer, so a whole batch of
// packets leaves in one socket write, and incoming bytes are read in large
// pieces and decrypted straight into the caller's buffer. The stream of the
// I/O library writes each 16 KiB record to the socket as it makes it, reads at
// most one record's worth per call and copies every byte once more through a
// pipe of its own.
//
// The TLS library makes the handshake; the records after it are protected
// here with its traffic secrets (TLSRecordCipher), which saves a copy of every
// byte each way and most of the cost of a small record.
//
// All calls belong to one strand. At most one write (flush) and one read may
// be in progress at a time; the two may overlap.

#include "flowgate/transport/tls_record_cipher.hpp"
#include "runtime/async.hpp"
#include "runtime/error.hpp"

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace flowgate {

class TLSChannel {
 public:
  using Socket = boost::asio::ip::tcp::socket;
  // Most plaintext one TLS record carries.
  static constexpr std::size_t recordSize = TLSRecordCipher::maximumPlaintext;
  // Records sealed with one key before it is replaced by a key update; well
  // within what AES-GCM may protect under one key.
  static constexpr std::uint64_t defaultRecordsPerKey = std::uint64_t{1} << 23;

  // Throws the TLS library's error when it cannot make the connection's state.
  // The channel installs its secret callback on the context.
  TLSChannel(Socket socket, boost::asio::ssl::context& context,
             std::uint64_t recordsPerKey = defaultRecordsPerKey);
  ~TLSChannel();
  TLSChannel(const TLSChannel&) = delete;
  TLSChannel& operator=(const TLSChannel&) = delete;

  SSL* nativeHandle() const { return ssl_; }
  Socket& socket() { return socket_; }

  // The client handshake, TLS 1.3 only. Errors: the TLS library's (the I/O
  // library's TLS category) or the socket's, as they are.
  runtime::Task<runtime::ErrorCode> handshake();

  // Encrypts `plain` behind what waits to be written; false before the
  // handshake has finished.
  bool encrypt(std::span<const std::uint8_t> plain);
  // Writes everything encrypted so far in one socket write.
  runtime::Task<runtime::ErrorCode> flush();

  // Decrypts into `into` as much as is there, waiting only while nothing is:
  // at least one byte, or an error. A peer's close is end of file
  // (asio::error::eof), a connection cut without it stream_truncated. A key
  // update the peer asks to be answered is answered before the next data.
  runtime::Task<std::pair<runtime::ErrorCode, std::size_t>> read(std::span<std::uint8_t> into);

  void close();

 private:
  struct Buffers;
  struct Secrets;
  static void keyLog(const SSL* ssl, const char* line);
  runtime::ErrorCode failure(int result) const;
  // Takes the records over from the TLS library once its handshake is done.
  runtime::ErrorCode takeOver();
  // Opens the records that are whole in the input into `into`; ends at the
  // first that does not fit behind `total` or at an error (kept for the next
  // read, so what came before it goes first).
  void openRecords(std::span<std::uint8_t> into, std::size_t& total);
  // A handshake message after the handshake: tickets are dropped, key updates
  // followed.
  runtime::ErrorCode handshakeMessages(std::span<const std::uint8_t> bytes);
  void seal(TLSRecordCipher::ContentType type, std::span<const std::uint8_t> plain);
  // Sends a key update and seals what follows under the next key.
  bool updateSendingKey();
  // More input from the socket for TLS, which wants it: its end is
  // stream_truncated.
  runtime::Task<runtime::ErrorCode> fill();

  Socket socket_;
  SSL* ssl_ = nullptr;
  Buffers* buffers_ = nullptr;        // owned by the BIO that ssl_ holds
  std::unique_ptr<Secrets> secrets_;  // from the handshake until the take-over
  std::optional<TLSRecordCipher> sealer_;
  std::optional<TLSRecordCipher> opener_;
  std::uint64_t recordsPerKey_;
  std::vector<std::uint8_t> handshakeBytes_;  // a message cut across records
  std::vector<std::uint8_t> leftover_;        // opened, not yet taken by a short read
  std::size_t leftoverBegin_ = 0;
  bool answerKeyUpdate_ = false;
  runtime::ErrorCode readError_;  // the end the next read meets
};

}  // namespace flowgate
