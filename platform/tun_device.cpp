#include "platform/tun_device.hpp"
#include "platform/unique_fd.hpp"

#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {

namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw boost::system::system_error(errno, boost::system::system_category(), what);
}

// Interface ioctls go through any socket; one per call keeps the device free of
// a second descriptor.
class ControlSocket {
 public:
  ControlSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (!fd_) throwErrno("socket");
  }
  void ioctl(unsigned long request, ifreq& ifr, const char* what) const {
    if (::ioctl(fd_.get(), request, &ifr) < 0) throwErrno(what);
  }

 private:
  UniqueFd fd_;
};

ifreq requestFor(const std::string& name) {
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return ifr;
}

void setAddressField(sockaddr& field, std::uint32_t address) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(address);
  std::memcpy(&field, &in, sizeof in);
}

}  // namespace

TunDevice TunDevice::open(std::string_view name, TunOffload offload) {
  if (name.size() >= IFNAMSIZ) {
    throw boost::system::system_error(EINVAL, boost::system::system_category(), "tun name");
  }
  UniqueFd fd(::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fd) throwErrno("open /dev/net/tun");
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  if (offload == TunOffload::tcp) ifr.ifr_flags |= IFF_VNET_HDR;
  std::memcpy(ifr.ifr_name, name.data(), name.size());
  if (::ioctl(fd.get(), TUNSETIFF, &ifr) < 0) throwErrno("TUNSETIFF");
  if (offload == TunOffload::tcp) {
    int headerSize = sizeof(OffloadHeader);
    if (::ioctl(fd.get(), TUNSETVNETHDRSZ, &headerSize) < 0) throwErrno("TUNSETVNETHDRSZ");
    // IPv4 only: IPv6 never reaches the tunnel as super-packets.
    if (::ioctl(fd.get(), TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4) < 0) throwErrno("TUNSETOFFLOAD");
  }
  return TunDevice(std::move(fd), std::string(ifr.ifr_name), offload);
}

void TunDevice::setMTU(int mtu) const {
  auto ifr = requestFor(name_);
  ifr.ifr_mtu = mtu;
  ControlSocket().ioctl(SIOCSIFMTU, ifr, "SIOCSIFMTU");
}

void TunDevice::setIPv4Address(std::uint32_t address, unsigned prefixLength) const {
  ControlSocket control;
  auto ifr = requestFor(name_);
  setAddressField(ifr.ifr_addr, address);
  control.ioctl(SIOCSIFADDR, ifr, "SIOCSIFADDR");
  auto mask = prefixLength == 0 ? 0u : ~std::uint32_t{0} << (32 - prefixLength);
  ifr = requestFor(name_);
  setAddressField(ifr.ifr_netmask, mask);
  control.ioctl(SIOCSIFNETMASK, ifr, "SIOCSIFNETMASK");
}

void TunDevice::bringUp() const {
  ControlSocket control;
  auto ifr = requestFor(name_);
  control.ioctl(SIOCGIFFLAGS, ifr, "SIOCGIFFLAGS");
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  control.ioctl(SIOCSIFFLAGS, ifr, "SIOCSIFFLAGS");
}

std::size_t TunDevice::read(std::span<std::uint8_t> buffer) const {
  for (;;) {
    auto n = ::read(fd_.get(), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    throwErrno("tun read");
  }
}

std::size_t TunDevice::read(std::span<std::uint8_t> buffer, OffloadHeader& header) const {
  iovec parts[2] = {{&header, sizeof header}, {buffer.data(), buffer.size()}};
  for (;;) {
    auto n = ::readv(fd_.get(), parts, 2);
    if (n >= static_cast<ssize_t>(sizeof header))
      return static_cast<std::size_t>(n) - sizeof header;
    if (n >= 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    throwErrno("tun read");
  }
}

bool TunDevice::write(std::span<const std::uint8_t> packet) const {
  if (offloading()) return write(OffloadHeader{}, packet);
  for (;;) {
    auto n = ::write(fd_.get(), packet.data(), packet.size());
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    throwErrno("tun write");
  }
}

bool TunDevice::write(const OffloadHeader& header, std::span<const std::uint8_t> packet) const {
  iovec parts[2] = {{const_cast<OffloadHeader*>(&header), sizeof header},
                    {const_cast<std::uint8_t*>(packet.data()), packet.size()}};
  for (;;) {
    auto n = ::writev(fd_.get(), parts, 2);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    throwErrno("tun write");
  }
}

}  // namespace platform
