#pragma once

// Reads one authentication frame: the 6-byte header, checked before anything
// else is read, then exactly its payload.

#include "flowgate/transport/frame.hpp"
#include "runtime/async.hpp"

#include <boost/asio/read.hpp>

#include <array>

namespace testbed {

// Platform errors and ProtocolError::invalidFrame are thrown.
template <class Stream>
runtime::Task<flowgate::Frame> readFrame(Stream& stream) {
  std::array<std::uint8_t, flowgate::Frame::headerSize> header;
  auto headerBuffer = boost::asio::buffer(header);
  co_await boost::asio::async_read(stream, headerBuffer, boost::asio::use_awaitable);
  auto accepted = flowgate::checkFrameHeader(header);
  flowgate::Frame frame{accepted.type, std::vector<std::uint8_t>(accepted.payloadLength)};
  if (accepted.payloadLength > 0) {
    auto payloadBuffer = boost::asio::buffer(frame.payload);
    co_await boost::asio::async_read(stream, payloadBuffer, boost::asio::use_awaitable);
  }
  co_return frame;
}

}  // namespace testbed
