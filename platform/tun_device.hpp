#pragma once

// A layer-3 TUN device (/dev/net/tun, IFF_TUN | IFF_NO_PI): every read or write
// is one bare IP packet. The device is not persistent, so the kernel removes it
// when the descriptor closes, however the owning process ends.

#include "platform/tun_offload.hpp"
#include "platform/unique_fd.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// What the device and the kernel hand each other beside bare packets.
enum class TunOffload {
  none,
  // Each packet preceded by an `OffloadHeader`; TCP super-packets and
  // checksums left to the reader both ways (tun_offload.hpp).
  tcp,
};

class TunDevice {
 public:
  // Creates the device; `name` may hold a "%d" pattern ("tun%d") or be empty
  // for the kernel's choice. The descriptor is non-blocking and close-on-exec.
  // Platform errors are thrown as system errors.
  static TunDevice open(std::string_view name, TunOffload offload = TunOffload::none);

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

  bool offloading() const { return offload_ == TunOffload::tcp; }

  // One packet, or 0 when none is waiting. Throws on other errors. An
  // offloading device's packets come with their header, the first overload
  // being only for devices without offloads.
  std::size_t read(std::span<std::uint8_t> buffer) const;
  std::size_t read(std::span<std::uint8_t> buffer, OffloadHeader& header) const;
  // True when the kernel took the packet; false when it would block. A packet
  // without a header goes to an offloading device as a plain one.
  bool write(std::span<const std::uint8_t> packet) const;
  bool write(const OffloadHeader& header, std::span<const std::uint8_t> packet) const;

 private:
  TunDevice(UniqueFd fd, std::string name, TunOffload offload)
      : fd_(std::move(fd)), name_(std::move(name)), offload_(offload) {}

  UniqueFd fd_;
  std::string name_;
  TunOffload offload_ = TunOffload::none;
};

}  // namespace platform
