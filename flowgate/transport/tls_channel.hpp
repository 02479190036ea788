#pragma once

// A TLS client connection over a TCP socket that keeps the records in memory
// of its own: outgoing data is encrypted into one buffer, so a whole batch of
// packets leaves in one socket write, and incoming bytes are read in large
// pieces and decrypted straight into the caller's buffer. The stream of the
// I/O library writes each 16 KiB record to the socket as it makes it, reads at
// most one record's worth per call and copies every byte once more through a
// pipe of its own.
//
// All calls belong to one strand. At most one write (flush) and one read may
// be in progress at a time; the two may overlap.

#include "runtime/async.hpp"
#include "runtime/error.hpp"

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace flowgate {

class TLSChannel {
 public:
  using Socket = boost::asio::ip::tcp::socket;
  // Most plaintext one TLS record carries.
  static constexpr std::size_t recordSize = 16384;

  // Throws the TLS library's error when it cannot make the connection's state.
  TLSChannel(Socket socket, boost::asio::ssl::context& context);
  ~TLSChannel();
  TLSChannel(const TLSChannel&) = delete;
  TLSChannel& operator=(const TLSChannel&) = delete;

  SSL* nativeHandle() const { return ssl_; }
  Socket& socket() { return socket_; }

  // The client handshake. Errors: the TLS library's (the I/O library's TLS
  // category) or the socket's, as they are.
  runtime::Task<runtime::ErrorCode> handshake();

  // Encrypts `plain` behind what waits to be written; false if TLS refuses
  // (the connection failed).
  bool encrypt(std::span<const std::uint8_t> plain);
  // Writes everything encrypted so far in one socket write.
  runtime::Task<runtime::ErrorCode> flush();

  // Decrypts into `into` as much as is there, waiting only while nothing is:
  // at least one byte, or an error. A peer's close is end of file
  // (asio::error::eof), a connection cut without it stream_truncated.
  runtime::Task<std::pair<runtime::ErrorCode, std::size_t>> read(std::span<std::uint8_t> into);

  void close();

 private:
  struct Buffers;
  runtime::ErrorCode failure(int result) const;
  // More input from the socket for TLS, which wants it: its end is
  // stream_truncated.
  runtime::Task<runtime::ErrorCode> fill();

  Socket socket_;
  SSL* ssl_ = nullptr;
  Buffers* buffers_ = nullptr;  // owned by the BIO that ssl_ holds
};

}  // namespace flowgate
