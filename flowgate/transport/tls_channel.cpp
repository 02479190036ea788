#include "flowgate/transport/tls_channel.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace flowgate {

namespace asio = boost::asio;

namespace {

// Socket reads land in this much room; a read may take several records.
constexpr std::size_t kInputSize = 131072;
// Room kept free behind unread bytes before a read; with less, they move to
// the front first. More than a whole record, so a cut record always fits.
constexpr std::size_t kInputRoom = 2 * TLSChannel::recordSize;

// An error left by someone else on this thread would be taken for ours.
void dropStaleErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

}  // namespace

// Memory between the socket and TLS. The BIO owns it: TLS may still reach it
// while the connection's state is being freed.
struct TLSChannel::Buffers {
  std::vector<std::uint8_t> input = std::vector<std::uint8_t>(kInputSize);
  std::size_t begin = 0;  // unread input is [begin, end)
  std::size_t end = 0;
  std::vector<std::uint8_t> waiting;  // encrypted, not yet handed to the socket
  std::vector<std::uint8_t> writing;  // handed to the socket by the flush in progress

  static int read(BIO* bio, char* data, std::size_t size, std::size_t* done) {
    auto& self = *static_cast<Buffers*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const std::size_t n = std::min(size, self.end - self.begin);
    if (n == 0) {
      BIO_set_retry_read(bio);
      *done = 0;
      return 0;
    }
    std::memcpy(data, self.input.data() + self.begin, n);
    self.begin += n;
    *done = n;
    return 1;
  }
  static int write(BIO* bio, const char* data, std::size_t size, std::size_t* done) {
    auto& out = static_cast<Buffers*>(BIO_get_data(bio))->waiting;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
    *done = size;
    return 1;
  }
  static long control(BIO*, int command, long, void*) {
    // Memory takes everything at once: a flush has nothing left to do.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
  }
  static int destroy(BIO* bio) {
    delete static_cast<Buffers*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
  }

  // Built once and never changed: a table of functions, not state.
  static const BIO_METHOD* method() {
    struct Deleter {
      void operator()(BIO_METHOD* made) const { BIO_meth_free(made); }
    };
    static const std::unique_ptr<BIO_METHOD, Deleter> made = [] {
      BIO_METHOD* table = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tls channel");
      if (!table) throw std::bad_alloc();
      BIO_meth_set_read_ex(table, &read);
      BIO_meth_set_write_ex(table, &write);
      BIO_meth_set_ctrl(table, &control);
      BIO_meth_set_destroy(table, &destroy);
      return std::unique_ptr<BIO_METHOD, Deleter>(table);
    }();
    return made.get();
  }
};

namespace {

runtime::ErrorCode sslError(unsigned long code) {
  return {static_cast<int>(code), asio::error::get_ssl_category()};
}

}  // namespace

TLSChannel::TLSChannel(Socket socket, asio::ssl::context& context)
    : socket_(std::move(socket)), ssl_(SSL_new(context.native_handle())) {
  if (!ssl_) throw runtime::SystemError(sslError(ERR_get_error()));
  BIO* bio = BIO_new(Buffers::method());
  if (!bio) {
    SSL_free(ssl_);
    throw std::bad_alloc();
  }
  buffers_ = new Buffers;
  BIO_set_data(bio, buffers_);
  BIO_set_init(bio, 1);
  // One BIO both ways: TLS takes this one reference for both.
  SSL_set_bio(ssl_, bio, bio);
  // Whole records are read ahead from memory; the buffers stay between records.
  SSL_set_read_ahead(ssl_, 1);
  SSL_set_connect_state(ssl_);
  // Writes are tried at once and fall back to waiting (flush()).
  socket_.non_blocking(true);
}

TLSChannel::~TLSChannel() { SSL_free(ssl_); }

runtime::ErrorCode TLSChannel::failure(int result) const {
  const int kind = SSL_get_error(ssl_, result);
  const unsigned long queued = ERR_get_error();
  ERR_clear_error();
  if (kind == SSL_ERROR_ZERO_RETURN) return asio::error::eof;
  // Memory never fails: whatever else it is, TLS refuses to go on.
  return queued ? sslError(queued) : asio::ssl::error::unspecified_system_error;
}

runtime::Task<runtime::ErrorCode> TLSChannel::handshake() {
  for (;;) {
    dropStaleErrors();
    const int result = SSL_do_handshake(ssl_);
    const bool wantsInput = result != 1 && SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ;
    if (result != 1 && !wantsInput) co_return failure(result);
    auto flushing = flush();
    if (auto ec = co_await std::move(flushing)) co_return ec;
    if (result == 1) co_return runtime::ErrorCode();
    auto filling = fill();
    if (auto ec = co_await std::move(filling)) co_return ec;
  }
}

bool TLSChannel::encrypt(std::span<const std::uint8_t> plain) {
  dropStaleErrors();
  std::size_t written = 0;
  if (SSL_write_ex(ssl_, plain.data(), plain.size(), &written) != 1) {
    ERR_clear_error();
    return false;
  }
  return written == plain.size();
}

runtime::Task<runtime::ErrorCode> TLSChannel::flush() {
  auto& buffers = *buffers_;
  if (buffers.waiting.empty()) co_return runtime::ErrorCode();
  // What TLS makes while this write is in progress waits behind it.
  buffers.writing.clear();
  std::swap(buffers.writing, buffers.waiting);
  // Most writes fit the socket at once: written here, they cost no operation
  // to complete later on the executor. Only a full socket is waited for.
  std::span<const std::uint8_t> rest = buffers.writing;
  runtime::ErrorCode ec;
  const std::size_t now = socket_.write_some(asio::buffer(rest.data(), rest.size()), ec);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) co_return ec;
  rest = rest.subspan(ec ? 0 : now);
  if (rest.empty()) co_return runtime::ErrorCode();
  auto [error, written] =
      co_await asio::async_write(socket_, asio::buffer(rest.data(), rest.size()), runtime::asTuple);
  co_return error;
}

runtime::Task<runtime::ErrorCode> TLSChannel::fill() {
  auto& buffers = *buffers_;
  if (buffers.begin == buffers.end) {
    buffers.begin = buffers.end = 0;
  } else if (buffers.input.size() - buffers.end < kInputRoom) {
    std::memmove(buffers.input.data(), buffers.input.data() + buffers.begin,
                 buffers.end - buffers.begin);
    buffers.end -= buffers.begin;
    buffers.begin = 0;
  }
  auto [ec, n] = co_await socket_.async_read_some(
      asio::buffer(buffers.input.data() + buffers.end, buffers.input.size() - buffers.end),
      runtime::asTuple);
  buffers.end += n;
  // TLS wanted more: a connection that ends here, without TLS's close, was cut.
  if (ec == asio::error::eof || (!ec && n == 0)) co_return asio::ssl::error::stream_truncated;
  co_return ec;
}

runtime::Task<std::pair<runtime::ErrorCode, std::size_t>> TLSChannel::read(
    std::span<std::uint8_t> into) {
  std::size_t total = 0;
  for (;;) {
    dropStaleErrors();
    while (total < into.size()) {
      std::size_t n = 0;
      const int result = SSL_read_ex(ssl_, into.data() + total, into.size() - total, &n);
      if (result == 1) {
        total += n;
        continue;
      }
      if (SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ) break;
      // What came before a close or a failure goes first; the next read
      // meets the same end.
      if (total > 0) break;
      co_return std::pair{failure(result), std::size_t{0}};
    }
    if (total > 0) co_return std::pair{runtime::ErrorCode(), total};
    auto filling = fill();
    if (auto ec = co_await std::move(filling)) co_return std::pair{ec, std::size_t{0}};
  }
}

void TLSChannel::close() {
  boost::system::error_code ignored;
  socket_.close(ignored);
}

}  // namespace flowgate
