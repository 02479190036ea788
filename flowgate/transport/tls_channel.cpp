#include "flowgate/transport/tls_channel.hpp"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace flowgate {

namespace asio = boost::asio;

namespace {

// Socket reads land in this much room; a read may take several records.
constexpr std::size_t kInputSize = 131072;
// Room kept free behind unread bytes before a read; with less, they move to
// the front first. More than a whole record, so a cut record always fits.
constexpr std::size_t kInputRoom = 2 * TLSChannel::recordSize;

// Room a record is sealed into is written over at once: growing it needs no
// zeroing first.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

using SealedBytes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

runtime::ErrorCode sslError(unsigned long code) {
  return {static_cast<int>(code), asio::error::get_ssl_category()};
}

// What the TLS library would have reported for the same fault.
runtime::ErrorCode tlsFault(int reason) { return sslError(ERR_PACK(ERR_LIB_SSL, 0, reason)); }

// Where a connection's state points back at its channel. Taken once and never
// changed: a number, not state.
int channelIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

constexpr std::uint8_t kNewSessionTicket = 4;
constexpr std::uint8_t kKeyUpdate = 24;
// A ticket is the only message a server sends unasked after the handshake,
// and a few KiB at most.
constexpr std::size_t kMaximumHandshakeMessage = 65536;

}  // namespace

// The traffic secrets the TLS library reports during the handshake.
struct TLSChannel::Secrets {
  std::array<std::uint8_t, 48> client{};
  std::array<std::uint8_t, 48> server{};
  std::size_t clientSize = 0;
  std::size_t serverSize = 0;

  Secrets() = default;
  Secrets(const Secrets&) = delete;
  Secrets& operator=(const Secrets&) = delete;
  ~Secrets() {
    OPENSSL_cleanse(client.data(), client.size());
    OPENSSL_cleanse(server.data(), server.size());
  }
};

// Memory between the socket and TLS. The BIO owns it: TLS may still reach it
// while the connection's state is being freed.
struct TLSChannel::Buffers {
  std::vector<std::uint8_t> input = std::vector<std::uint8_t>(kInputSize);
  std::size_t begin = 0;  // unread input is [begin, end)
  std::size_t end = 0;
  SealedBytes waiting;  // encrypted, not yet handed to the socket
  SealedBytes writing;  // handed to the socket by the flush in progress

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

TLSChannel::TLSChannel(Socket socket, asio::ssl::context& context, std::uint64_t recordsPerKey)
    : socket_(std::move(socket)),
      ssl_(SSL_new(context.native_handle())),
      secrets_(std::make_unique<Secrets>()),
      recordsPerKey_(recordsPerKey) {
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
  // TLS reads no further than its handshake (it does not read ahead), so the
  // records after it are still in the input when the channel takes over.
  SSL_set_ex_data(ssl_, channelIndex(), this);
  if (SSL_CTX_get_keylog_callback(context.native_handle()) != &TLSChannel::keyLog) {
    SSL_CTX_set_keylog_callback(context.native_handle(), &TLSChannel::keyLog);
  }
  SSL_set_connect_state(ssl_);
  // Writes are tried at once and fall back to waiting (flush()).
  socket_.non_blocking(true);
}

TLSChannel::~TLSChannel() { SSL_free(ssl_); }

void TLSChannel::keyLog(const SSL* ssl, const char* line) {
  auto* self = static_cast<TLSChannel*>(SSL_get_ex_data(ssl, channelIndex()));
  if (!self || !self->secrets_) return;
  // "<label> <client random> <secret>", all but the label in hex.
  const std::string_view text(line);
  const auto labelEnd = text.find(' ');
  const auto randomEnd = text.find(' ', labelEnd == text.npos ? text.size() : labelEnd + 1);
  if (randomEnd == text.npos) return;
  const auto label = text.substr(0, labelEnd);
  const auto hex = text.substr(randomEnd + 1);
  auto& secrets = *self->secrets_;
  std::uint8_t* into = nullptr;
  std::size_t* size = nullptr;
  if (label == "CLIENT_TRAFFIC_SECRET_0") {
    into = secrets.client.data();
    size = &secrets.clientSize;
  } else if (label == "SERVER_TRAFFIC_SECRET_0") {
    into = secrets.server.data();
    size = &secrets.serverSize;
  } else {
    return;
  }
  if (hex.size() % 2 != 0 || hex.size() / 2 > secrets.client.size()) return;
  for (std::size_t i = 0; i < hex.size() / 2; ++i) {
    const int high = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[2 * i]));
    const int low = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[2 * i + 1]));
    if (high < 0 || low < 0) return;
    into[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  *size = hex.size() / 2;
}

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
    // An error left by someone else on this thread would be taken for ours.
    if (ERR_peek_error() != 0) ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    const bool wantsInput = result != 1 && SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ;
    if (result != 1 && !wantsInput) co_return failure(result);
    auto flushing = flush();
    if (auto ec = co_await std::move(flushing)) co_return ec;
    if (result == 1) co_return takeOver();
    auto filling = fill();
    if (auto ec = co_await std::move(filling)) co_return ec;
  }
}

runtime::ErrorCode TLSChannel::takeOver() {
  const auto secrets = std::move(secrets_);
  if (!secrets) return tlsFault(SSL_R_UNEXPECTED_RECORD);
  // Input TLS has taken but not yet used would be lost.
  if (SSL_version(ssl_) != TLS1_3_VERSION || SSL_has_pending(ssl_) == 1) {
    return tlsFault(SSL_R_UNEXPECTED_RECORD);
  }
  const std::uint16_t suite = SSL_CIPHER_get_protocol_id(SSL_get_current_cipher(ssl_));
  sealer_ = TLSRecordCipher::make(suite, std::span(secrets->client.data(), secrets->clientSize));
  opener_ = TLSRecordCipher::make(suite, std::span(secrets->server.data(), secrets->serverSize));
  if (!sealer_ || !opener_) return tlsFault(SSL_R_UNKNOWN_CIPHER_TYPE);
  return {};
}

void TLSChannel::seal(TLSRecordCipher::ContentType type, std::span<const std::uint8_t> plain) {
  auto& out = buffers_->waiting;
  const std::size_t at = out.size();
  out.resize(at + plain.size() + TLSRecordCipher::overhead);
  sealer_->seal(type, plain, out.data() + at);
}

bool TLSChannel::updateSendingKey() {
  // update_not_requested: the peer's keys are its own business.
  const std::array<std::uint8_t, 5> message = {kKeyUpdate, 0, 0, 1, 0};
  seal(TLSRecordCipher::ContentType::handshake, message);
  return sealer_->update();
}

bool TLSChannel::encrypt(std::span<const std::uint8_t> plain) {
  if (!sealer_) return false;
  if (answerKeyUpdate_) {
    answerKeyUpdate_ = false;
    if (!updateSendingKey()) return false;
  }
  while (!plain.empty()) {
    if (sealer_->sequence() >= recordsPerKey_ && !updateSendingKey()) return false;
    const std::size_t n = std::min(plain.size(), recordSize);
    seal(TLSRecordCipher::ContentType::applicationData, plain.first(n));
    plain = plain.subspan(n);
  }
  return true;
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
  if (!opener_) co_return std::pair{tlsFault(SSL_R_UNEXPECTED_RECORD), std::size_t{0}};
  if (into.empty()) co_return std::pair{runtime::ErrorCode(), std::size_t{0}};
  for (;;) {
    std::size_t total = 0;
    if (leftoverBegin_ < leftover_.size()) {
      total = std::min(into.size(), leftover_.size() - leftoverBegin_);
      std::memcpy(into.data(), leftover_.data() + leftoverBegin_, total);
      leftoverBegin_ += total;
      if (leftoverBegin_ == leftover_.size()) {
        leftover_.clear();
        leftoverBegin_ = 0;
      }
    }
    if (leftover_.empty()) openRecords(into, total);
    // What came before a close or a failure goes first; the next read meets
    // the same end.
    if (total > 0) co_return std::pair{runtime::ErrorCode(), total};
    if (readError_) co_return std::pair{readError_, std::size_t{0}};
    auto filling = fill();
    if (auto ec = co_await std::move(filling)) co_return std::pair{ec, std::size_t{0}};
  }
}

void TLSChannel::openRecords(std::span<std::uint8_t> into, std::size_t& total) {
  using Type = TLSRecordCipher::ContentType;
  constexpr std::size_t headerSize = TLSRecordCipher::headerSize;
  auto& input = *buffers_;
  while (!readError_ && total < into.size() && input.end - input.begin >= headerSize) {
    std::uint8_t* record = input.input.data() + input.begin;
    const std::size_t length = std::size_t{record[3]} << 8 | record[4];
    if (record[0] != static_cast<std::uint8_t>(Type::applicationData)) {
      readError_ = tlsFault(SSL_R_UNEXPECTED_RECORD);
      return;
    }
    if (length > TLSRecordCipher::maximumBody || length <= TLSRecordCipher::tagSize) {
      readError_ = tlsFault(length > TLSRecordCipher::tagSize ? SSL_R_ENCRYPTED_LENGTH_TOO_LONG
                                                              : SSL_R_BAD_LENGTH);
      return;
    }
    if (input.end - input.begin < headerSize + length) return;
    input.begin += headerSize + length;
    // Straight into the caller's room when the record fits there, else where
    // it lies and the rest of it kept for the next read.
    const std::size_t room = into.size() - total;
    std::uint8_t* body = record + headerSize;
    std::uint8_t* out = length - TLSRecordCipher::tagSize <= room ? into.data() + total : body;
    const auto opened = opener_->open(std::span<const std::uint8_t, headerSize>(record, headerSize),
                                      std::span(body, length), out);
    if (!opened) {
      readError_ = tlsFault(SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC);
      return;
    }
    const std::span<const std::uint8_t> content(out, opened->size);
    switch (opened->type) {
      case Type::applicationData:
        if (out == body) {
          const std::size_t taken = std::min(room, content.size());
          std::memcpy(into.data() + total, content.data(), taken);
          leftover_.assign(content.begin() + static_cast<std::ptrdiff_t>(taken), content.end());
          total += taken;
        } else {
          total += content.size();
        }
        break;
      case Type::handshake: readError_ = handshakeMessages(content); break;
      case Type::alert:
        // A close is the only alert that is not a failure.
        readError_ = content.size() != 2 ? tlsFault(SSL_R_BAD_LENGTH)
                     : content[1] == 0   ? runtime::ErrorCode(asio::error::eof)
                                         : tlsFault(SSL_AD_REASON_OFFSET + content[1]);
        break;
      default: readError_ = tlsFault(SSL_R_UNEXPECTED_RECORD);
    }
    if (!leftover_.empty()) return;
  }
}

runtime::ErrorCode TLSChannel::handshakeMessages(std::span<const std::uint8_t> bytes) {
  auto& pending = handshakeBytes_;
  pending.insert(pending.end(), bytes.begin(), bytes.end());
  std::size_t at = 0;
  while (pending.size() - at >= 4) {
    const std::uint8_t type = pending[at];
    const std::size_t length =
        std::size_t{pending[at + 1]} << 16 | std::size_t{pending[at + 2]} << 8 | pending[at + 3];
    if (length > kMaximumHandshakeMessage) return tlsFault(SSL_R_EXCESSIVE_MESSAGE_SIZE);
    if (pending.size() - at - 4 < length) break;
    const std::uint8_t* message = pending.data() + at + 4;
    at += 4 + length;
    if (type == kNewSessionTicket) continue;  // sessions are never resumed
    if (type != kKeyUpdate) return tlsFault(SSL_R_UNEXPECTED_MESSAGE);
    // A key update ends its record: what follows is under the next key.
    if (length != 1 || message[0] > 1 || at != pending.size()) {
      return tlsFault(SSL_R_BAD_KEY_UPDATE);
    }
    if (!opener_->update()) return tlsFault(ERR_R_INTERNAL_ERROR);
    // Answered once before the next data, however often it is asked while
    // nothing is sent: a node cannot make the answers pile up.
    answerKeyUpdate_ = answerKeyUpdate_ || message[0] == 1;
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
  return {};
}

void TLSChannel::close() {
  boost::system::error_code ignored;
  socket_.close(ignored);
}

}  // namespace flowgate
