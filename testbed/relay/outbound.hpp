#pragma once

// Bytes on their way to a client. Producers append whole packets to buffer()
// and call flush(); one writer drains everything queued in one contiguous write
// (a TLS stream writes only the first buffer of a gather list per record).

#include "runtime/async.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <cstdint>
#include <vector>

namespace testbed {

namespace asio = boost::asio;

class Outbound {
 public:
  // Producers that can wait (the client's own reader) hold back above this.
  static constexpr std::size_t highWater = std::size_t{1} << 20;

  explicit Outbound(const runtime::Executor& executor)
      : wake_(executor, asio::steady_timer::time_point::max()),
        room_(executor, asio::steady_timer::time_point::max()) {}

  std::vector<std::uint8_t>& buffer() { return pending_; }
  void flush() { wake_.cancel(); }
  bool full() const { return pending_.size() >= highWater; }
  bool isClosed() const { return closed_; }

  runtime::Task<void> waitForRoom() {
    while (!closed_ && full()) {
      co_await room_.async_wait(runtime::asTuple);
    }
  }

  void close() {
    closed_ = true;
    pending_.clear();
    wake_.cancel();
    room_.cancel();
  }

  // Writes until close() or a write error (which closes); adds what it wrote to
  // `written`.
  template <class Stream>
  runtime::Task<void> run(Stream& stream, std::uint64_t& written) {
    while (!closed_) {
      if (pending_.empty()) {
        co_await wake_.async_wait(runtime::asTuple);
        continue;
      }
      std::swap(pending_, writing_);
      room_.cancel();
      auto bytes = asio::buffer(writing_);
      auto [error, n] = co_await asio::async_write(stream, bytes, runtime::asTuple);
      writing_.clear();
      if (error) {
        close();
        break;
      }
      written += n;
    }
  }

 private:
  asio::steady_timer wake_;
  asio::steady_timer room_;
  std::vector<std::uint8_t> pending_;
  std::vector<std::uint8_t> writing_;
  bool closed_ = false;
};

}  // namespace testbed
