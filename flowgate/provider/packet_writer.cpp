#include "flowgate/provider/packet_writer.hpp"

namespace flowgate {

void PacketWriter::write(const std::vector<runtime::SharedBytes>& packets) {
  if (packets.empty()) return;
  std::lock_guard guard(lock_);
  if (!closed_) deliver_(packets);
}

void PacketWriter::close() {
  std::lock_guard guard(lock_);
  closed_ = true;
}

bool PacketWriter::closed() const {
  std::lock_guard guard(lock_);
  return closed_;
}

}  // namespace flowgate
