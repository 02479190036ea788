#pragma once

// A loopback TCP port in front of a relay that holds every connection it
// accepts until released, then splices it to the relay. Lets a test keep a
// connection attempt in flight for as long as it needs.

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>

namespace testsupport {

class GatedForwarder {
 public:
  GatedForwarder(boost::asio::io_context& io, std::uint16_t targetPort);
  ~GatedForwarder();
  GatedForwarder(const GatedForwarder&) = delete;
  GatedForwarder& operator=(const GatedForwarder&) = delete;

  std::uint16_t port() const;
  std::size_t accepted() const;
  // Held connections go through now, later ones at once.
  void release();

  struct State;  // shared with the forwarding coroutines

 private:
  std::shared_ptr<State> state_;
};

}  // namespace testsupport
