#pragma once

// The one writer into the tunnel interface. Packets returning from nodes and
// the DNS proxy's answers come from many tasks; the lock serializes them and
// makes close() hold for every write that starts afterwards.

#include "runtime/bytes.hpp"

#include <functional>
#include <mutex>
#include <vector>

namespace flowgate {

class PacketWriter {
 public:
  using Deliver = std::function<void(const std::vector<runtime::SharedBytes>&)>;

  explicit PacketWriter(Deliver deliver) : deliver_(std::move(deliver)) {}

  void write(const std::vector<runtime::SharedBytes>& packets);
  // From now on nothing is delivered.
  void close();
  bool closed() const;

 private:
  mutable std::mutex lock_;
  Deliver deliver_;
  bool closed_ = false;
};

}  // namespace flowgate
