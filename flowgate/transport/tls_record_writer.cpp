#include "flowgate/transport/tls_record_writer.hpp"

#include <openssl/bio.h>

#include <memory>
#include <new>
#include <utility>

namespace flowgate {

namespace {

struct MethodDeleter {
  void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

}  // namespace

int TLSRecordWriter::write(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
  auto& out = static_cast<Records*>(BIO_get_data(bio))->waiting;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
  *written = size;
  return 1;
}

long TLSRecordWriter::control(BIO*, int command, long, void*) {
  // Memory takes everything at once: a flush has nothing left to do.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int TLSRecordWriter::destroy(BIO* bio) {
  delete static_cast<Records*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

TLSRecordWriter::TLSRecordWriter(SSL* ssl) : ssl_(ssl), records_(new Records) {
  // Built once and never changed: a table of functions, not state.
  static const std::unique_ptr<BIO_METHOD, MethodDeleter> method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tls records");
    BIO_meth_set_write_ex(made, &TLSRecordWriter::write);
    BIO_meth_set_ctrl(made, &TLSRecordWriter::control);
    BIO_meth_set_destroy(made, &TLSRecordWriter::destroy);
    return std::unique_ptr<BIO_METHOD, MethodDeleter>(made);
  }();
  BIO* bio = BIO_new(method.get());
  if (!bio) {
    delete records_;
    throw std::bad_alloc();
  }
  BIO_set_data(bio, records_);
  BIO_set_init(bio, 1);
  // The stream's engine set one BIO for both directions, holding a reference
  // for each: this drops only the writing one.
  SSL_set0_wbio(ssl_, bio);
}

bool TLSRecordWriter::encrypt(std::span<const std::uint8_t> plain) {
  // The stream's engine allows partial writes: each call may stop after a
  // record, though memory never refuses the rest.
  while (!plain.empty()) {
    std::size_t written = 0;
    if (SSL_write_ex(ssl_, plain.data(), plain.size(), &written) != 1 || written == 0) return false;
    plain = plain.subspan(written);
  }
  return true;
}

std::span<const std::uint8_t> TLSRecordWriter::take() {
  records_->taken.clear();
  std::swap(records_->taken, records_->waiting);
  return records_->taken;
}

}  // namespace flowgate
