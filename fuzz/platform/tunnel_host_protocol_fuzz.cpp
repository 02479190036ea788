// The control socket's decoding on arbitrary bytes, as either side meets them:
// cut into frames, each frame read as a request and as a reply or event. A
// request (or a lockdown state) that decodes survives being written out and
// read back.

#include "platform/tunnel_host_protocol.hpp"

#include <cstdlib>
#include <span>
#include <string_view>

namespace protocol = platform::tunnel_protocol;

namespace {

void decodeFrame(const std::string& payload) {
  if (payload.empty() || payload.size() > protocol::maxFrameLength) std::abort();
  auto decoded = protocol::decodeRequest(payload);
  if (!decoded.error) {
    if (!decoded.id || *decoded.id != decoded.request.id) std::abort();
    auto again = protocol::decodeRequest(protocol::encodeRequest(decoded.request));
    if (again.error || !(again.request == decoded.request)) std::abort();
  }
  try {
    auto incoming = protocol::decodeIncoming(payload);
    // A result read as the lockdown state round-trips.
    const auto* reply = std::get_if<protocol::Reply>(&incoming);
    const auto* result = reply ? std::get_if<boost::json::value>(&reply->outcome) : nullptr;
    if (result) {
      bool enabled = protocol::decodeLockdown(*result);
      if (protocol::decodeLockdown(protocol::encodeLockdown(enabled)) != enabled) std::abort();
    }
  } catch (const runtime::SystemError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The bytes as one payload, and as a stream cut into frames in two pieces.
  if (size > 0 && size <= protocol::maxFrameLength) decodeFrame(std::string(bytes));
  protocol::FrameDecoder decoder;
  std::size_t half = size / 2;
  decoder.append(std::span(bytes.data(), half));
  while (auto payload = decoder.next()) decodeFrame(*payload);
  decoder.append(std::span(bytes.data() + half, size - half));
  while (auto payload = decoder.next()) decodeFrame(*payload);
  return 0;
}
