#pragma once

// The tunnel daemon's control socket on the wire, shared by the daemon and the
// app's client: frames (a 4-byte big-endian length, then one JSON object of at
// most 1 MiB), requests, replies, status events and the values they carry.
// Decoding is strict: a value of the wrong type, an id that is not an unsigned
// integer, bad base64 or an unknown status name is invalidRequest.

#include "platform/tunnel_host.hpp"
#include "runtime/error.hpp"

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::tunnel_protocol {

// Holds a load reply of the most configurations the daemon keeps, at their largest.
inline constexpr std::size_t maxFrameLength = 4 << 20;
// What the daemon reads from a client: a request carries one configuration at
// most, and every byte a client holds back in a frame is memory of root's.
inline constexpr std::size_t maxRequestLength = 1 << 20;
inline constexpr std::size_t frameHeaderLength = 4;

// The payload behind its length header. The caller keeps payloads within maxFrameLength.
std::string frame(std::string_view payload);

// Cuts a byte stream into frame payloads.
class FrameDecoder {
 public:
  explicit FrameDecoder(std::size_t maxLength = maxFrameLength) : maxLength_(maxLength) {}

  void append(std::span<const char> bytes);
  // The next whole payload; nothing when more bytes are needed or the stream is broken.
  std::optional<std::string> next();
  // A frame announced a length of 0 or more than the maximum; nothing after it is read.
  bool broken() const { return broken_; }
  // Memory held for bytes not yet returned as whole payloads.
  std::size_t held() const { return buffer_.capacity(); }

 private:
  std::size_t maxLength_;
  std::string buffer_;
  std::size_t offset_ = 0;
  bool broken_ = false;
};

enum class Operation {
  loadAll,
  save,
  load,
  remove,
  start,
  stop,
  connection,
  message,
  subscribe,
  getLockdown,
  setLockdown
};

std::string_view operationName(Operation operation);
std::optional<Operation> operationFromName(std::string_view name);

// One request; the fields its operation does not take stay empty.
struct Request {
  std::uint64_t id = 0;
  Operation operation = Operation::loadAll;
  std::string identifier{};             // load, remove, start, stop, connection, message
  TunnelConfiguration configuration{};  // save
  TunnelStartOptions options{};         // start
  std::string message{};                // message (bytes)
  bool wantsReply = false;              // message
  bool enabled = false;                 // setLockdown
  friend bool operator==(const Request&, const Request&) = default;
};

std::string encodeRequest(const Request& request);

struct DecodedRequest {
  std::optional<std::uint64_t> id;  // whenever it was readable, even with an error
  runtime::ErrorCode error;         // TunnelHostError::invalidRequest or unknownOperation
  Request request;                  // when no error
};
DecodedRequest decodeRequest(std::string_view payload);

std::string encodeResult(std::uint64_t id, const boost::json::value& result);
// `group`, with EACCES: the group whose members the host serves.
std::string encodeError(std::optional<std::uint64_t> id, const TunnelErrorInfo& error,
                        std::string_view group = {});
std::string encodeEvent(const TunnelStatusChange& change);

struct Reply {
  std::optional<std::uint64_t> id;  // null for a reply to a broken frame or unreadable request
  std::variant<boost::json::value, TunnelErrorInfo> outcome;
  std::string group;  // named by a refusal
};
using Incoming = std::variant<Reply, TunnelStatusChange>;
// What the daemon sent; throws runtime::SystemError(TunnelHostError::invalidRequest).
Incoming decodeIncoming(std::string_view payload);

// The values inside requests and replies. Decoders throw
// runtime::SystemError(TunnelHostError::invalidRequest).
boost::json::value encodeConfiguration(const TunnelConfiguration& configuration);
TunnelConfiguration decodeConfiguration(const boost::json::value& value);
boost::json::value encodeConfigurations(const std::vector<TunnelConfiguration>& configurations);
std::vector<TunnelConfiguration> decodeConfigurations(const boost::json::value& value);
boost::json::value encodeOptions(const TunnelStartOptions& options);
TunnelStartOptions decodeOptions(const boost::json::value& value);
boost::json::value encodeConnection(const TunnelConnection& connection);
TunnelConnection decodeConnection(const boost::json::value& value);
boost::json::value encodeMessageReply(const std::optional<std::string>& reply);
std::optional<std::string> decodeMessageReply(const boost::json::value& value);
// getLockdown's result: {"enabled": bool}.
boost::json::value encodeLockdown(bool enabled);
bool decodeLockdown(const boost::json::value& value);
boost::json::value encodeErrorInfo(const TunnelErrorInfo& error);
TunnelErrorInfo decodeErrorInfo(const boost::json::value& value);

// An error as it crosses the socket. errno values (system or generic category)
// travel in the domain "system".
TunnelErrorInfo errorInfo(const runtime::ErrorCode& error);
// What an operation ended with: system errors by their code, provider errors as
// they are, anything else in the domain "flowgate.daemon".
TunnelErrorInfo errorInfo(std::exception_ptr error);
// The error a caller sees: "system" as a system_category error code,
// "flowgate.tunnel-host" as TunnelHostError, any other domain as TunnelProviderError;
// EACCES naming a group as TunnelAccessDenied.
[[noreturn]] void throwError(const TunnelErrorInfo& error, const std::string& group = {});

}  // namespace platform::tunnel_protocol
