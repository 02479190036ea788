#pragma once

// Encrypts outgoing data of an established TLS connection into memory of its
// own, so a batch of packets leaves as all its records in one socket write:
// the stream's own engine writes each record to the socket as it is made,
// which costs a system call and a round through the executor per 16 KiB.
// Reading stays with the stream; what its reads have to answer (a key update,
// say) joins the next batch.

#include <openssl/ssl.h>

#include <cstdint>
#include <span>
#include <vector>

namespace flowgate {

class TLSRecordWriter {
 public:
  // From here on, `ssl` writes only through this writer. The records' memory
  // belongs to `ssl` (a read may still answer through it after the writer is
  // gone), so `ssl` must outlive the writer.
  explicit TLSRecordWriter(SSL* ssl);
  TLSRecordWriter(const TLSRecordWriter&) = delete;
  TLSRecordWriter& operator=(const TLSRecordWriter&) = delete;

  // Encrypts `plain` behind whatever is still waiting; false if TLS refuses
  // (a connection that failed or was closed).
  bool encrypt(std::span<const std::uint8_t> plain);
  // The records to write now. They stay valid, and records made meanwhile
  // wait behind them, until the next take().
  std::span<const std::uint8_t> take();

 private:
  struct Records {
    std::vector<std::uint8_t> waiting;
    std::vector<std::uint8_t> taken;
  };
  static int write(BIO* bio, const char* data, std::size_t size, std::size_t* written);
  static long control(BIO* bio, int command, long number, void* pointer);
  static int destroy(BIO* bio);

  SSL* ssl_;
  Records* records_;  // owned by the BIO that `ssl_` holds
};

}  // namespace flowgate
