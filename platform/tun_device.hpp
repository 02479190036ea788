#pragma once

// A layer-3 TUN device (/dev/net/tun, IFF_TUN | IFF_NO_PI): every read or write
// is one bare IP packet. The device is not persistent, so the kernel removes it
// when the descriptor closes, however the owning process ends.

#include "platform/unique_fd.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace platform {

class TunDevice {
 public:
  // Creates the device; `name` may hold a "%d" pattern ("tun%d") or be empty
  // for the kernel's choice. The descriptor is non-blocking and close-on-exec.
  // Platform errors are thrown as system errors.
  static TunDevice open(std::string_view name);

  TunDevice(TunDevice&& other) noexcept = default;
  TunDevice& operator=(TunDevice&& other) noexcept = default;
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;
  ~TunDevice() = default;

  const std::string& name() const { return name_; }
  int nativeHandle() const { return fd_.get(); }

  // Interface settings through the classic ioctls; enough for a device whose
  // routes come from its address prefix.
  void setMTU(int mtu) const;
  void setIPv4Address(std::uint32_t address, unsigned prefixLength) const;
  void bringUp() const;

  // One packet, or 0 when none is waiting. Throws on other errors.
  std::size_t read(std::span<std::uint8_t> buffer) const;
  // True when the kernel took the packet; false when it would block.
  bool write(std::span<const std::uint8_t> packet) const;

 private:
  TunDevice(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}

  UniqueFd fd_;
  std::string name_;
};

}  // namespace platform
