#include "platform/tunnel_host_protocol.hpp"

#include "runtime/base64.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

#include <array>
#include <cerrno>
#include <limits>
#include <utility>

namespace platform::tunnel_protocol {

namespace bj = boost::json;

namespace {

[[noreturn]] void malformed() { runtime::fail(TunnelHostError::invalidRequest); }

const bj::object& asObject(const bj::value& value) {
  if (!value.is_object()) malformed();
  return value.get_object();
}

const bj::value& member(const bj::object& object, std::string_view key) {
  const bj::value* found = object.if_contains(key);
  if (!found) malformed();
  return *found;
}

std::string stringMember(const bj::object& object, std::string_view key) {
  const bj::value& value = member(object, key);
  if (!value.is_string()) malformed();
  return std::string(value.get_string());
}

std::string bytesFromBase64(const bj::value& value) {
  if (!value.is_string()) malformed();
  auto bytes = runtime::base64::decode(value.get_string());
  if (!bytes) malformed();
  return std::string(bytes->begin(), bytes->end());
}

bj::value base64Value(std::string_view bytes) {
  return bj::value(runtime::base64::encode(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
}

std::optional<std::uint64_t> unsignedInteger(const bj::value& value) {
  if (value.is_uint64()) return value.get_uint64();
  if (value.is_int64() && value.get_int64() >= 0)
    return static_cast<std::uint64_t>(value.get_int64());
  return std::nullopt;
}

std::optional<std::uint64_t> replyID(const bj::object& object) {
  const bj::value& value = member(object, "id");
  if (value.is_null()) return std::nullopt;
  auto id = unsignedInteger(value);
  if (!id) malformed();
  return id;
}

bj::value parse(std::string_view payload) {
  boost::system::error_code error;
  bj::value value = bj::parse(payload, error);
  if (error) malformed();
  return value;
}

constexpr std::array<std::pair<Operation, std::string_view>, 11> operationNames{{
    {Operation::loadAll, "loadAll"},
    {Operation::save, "save"},
    {Operation::load, "load"},
    {Operation::remove, "remove"},
    {Operation::start, "start"},
    {Operation::stop, "stop"},
    {Operation::connection, "connection"},
    {Operation::message, "message"},
    {Operation::subscribe, "subscribe"},
    {Operation::getLockdown, "getLockdown"},
    {Operation::setLockdown, "setLockdown"},
}};

bool boolMember(const bj::object& object, std::string_view key) {
  const bj::value& value = member(object, key);
  if (!value.is_bool()) malformed();
  return value.get_bool();
}

bool takesIdentifier(Operation operation) {
  switch (operation) {
    case Operation::loadAll:
    case Operation::save:
    case Operation::subscribe:
    case Operation::getLockdown:
    case Operation::setLockdown: return false;
    default: return true;
  }
}

}  // namespace

// ---- frames ----

std::string frame(std::string_view payload) {
  auto length = static_cast<std::uint32_t>(payload.size());
  std::string framed;
  framed.reserve(frameHeaderLength + payload.size());
  framed.push_back(static_cast<char>(length >> 24));
  framed.push_back(static_cast<char>(length >> 16));
  framed.push_back(static_cast<char>(length >> 8));
  framed.push_back(static_cast<char>(length));
  framed.append(payload);
  return framed;
}

void FrameDecoder::append(std::span<const char> bytes) {
  if (broken_) return;
  // Drop what was consumed before growing, so the buffer stays near one frame.
  if (offset_ > 0) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_.append(bytes.data(), bytes.size());
}

std::optional<std::string> FrameDecoder::next() {
  if (broken_ || buffer_.size() - offset_ < frameHeaderLength) return std::nullopt;
  const auto* header = reinterpret_cast<const unsigned char*>(buffer_.data() + offset_);
  std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                       (std::size_t{header[2]} << 8) | std::size_t{header[3]};
  if (length == 0 || length > maxLength_) {
    broken_ = true;
    buffer_.clear();
    offset_ = 0;
    return std::nullopt;
  }
  if (buffer_.size() - offset_ - frameHeaderLength < length) {
    // Room for the whole frame at once, not twice as much by doubling.
    buffer_.reserve(offset_ + frameHeaderLength + length);
    return std::nullopt;
  }
  std::string payload = buffer_.substr(offset_ + frameHeaderLength, length);
  offset_ += frameHeaderLength + length;
  if (offset_ == buffer_.size()) {
    // Everything read: a large request leaves no large buffer behind it.
    std::string().swap(buffer_);
    offset_ = 0;
  }
  return payload;
}

// ---- operations and requests ----

std::string_view operationName(Operation operation) {
  for (const auto& [value, name] : operationNames)
    if (value == operation) return name;
  return "loadAll";
}

std::optional<Operation> operationFromName(std::string_view name) {
  for (const auto& [value, text] : operationNames)
    if (text == name) return value;
  return std::nullopt;
}

std::string encodeRequest(const Request& request) {
  bj::object object;
  object["id"] = request.id;
  object["op"] = operationName(request.operation);
  if (takesIdentifier(request.operation)) object["identifier"] = request.identifier;
  switch (request.operation) {
    case Operation::save:
      object["configuration"] = encodeConfiguration(request.configuration);
      break;
    case Operation::start: object["options"] = encodeOptions(request.options); break;
    case Operation::message:
      object["message"] = base64Value(request.message);
      object["wantsReply"] = request.wantsReply;
      break;
    case Operation::setLockdown: object["enabled"] = request.enabled; break;
    default: break;
  }
  return bj::serialize(object);
}

DecodedRequest decodeRequest(std::string_view payload) {
  DecodedRequest decoded;
  try {
    const bj::value value = parse(payload);
    const bj::object& object = asObject(value);
    if (const bj::value* id = object.if_contains("id")) decoded.id = unsignedInteger(*id);
    if (!decoded.id) malformed();
    Request& request = decoded.request;
    request.id = *decoded.id;
    const bj::value& op = member(object, "op");
    if (!op.is_string()) malformed();
    auto operation = operationFromName(op.get_string());
    if (!operation) runtime::fail(TunnelHostError::unknownOperation);
    request.operation = *operation;
    if (takesIdentifier(*operation)) request.identifier = stringMember(object, "identifier");
    switch (*operation) {
      case Operation::save:
        request.configuration = decodeConfiguration(member(object, "configuration"));
        break;
      case Operation::start: request.options = decodeOptions(member(object, "options")); break;
      case Operation::message: {
        request.message = bytesFromBase64(member(object, "message"));
        request.wantsReply = boolMember(object, "wantsReply");
        break;
      }
      case Operation::setLockdown: request.enabled = boolMember(object, "enabled"); break;
      default: break;
    }
  } catch (const runtime::SystemError& e) {
    decoded.error = e.code();
    decoded.request = {};
  }
  return decoded;
}

// ---- replies and events ----

std::string encodeResult(std::uint64_t id, const bj::value& result) {
  bj::object object;
  object["id"] = id;
  object["result"] = result;
  return bj::serialize(object);
}

std::string encodeError(std::optional<std::uint64_t> id, const TunnelErrorInfo& error,
                        std::string_view group) {
  bj::object object;
  if (id) {
    object["id"] = *id;
  } else {
    object["id"] = nullptr;
  }
  object["error"] = encodeErrorInfo(error);
  if (!group.empty()) object["error"].as_object()["group"] = group;
  return bj::serialize(object);
}

std::string encodeEvent(const TunnelStatusChange& change) {
  bj::object object;
  object["event"] = "status";
  object["identifier"] = change.identifier;
  object["status"] = tunnelStatusName(change.status);
  return bj::serialize(object);
}

Incoming decodeIncoming(std::string_view payload) {
  const bj::value value = parse(payload);
  const bj::object& object = asObject(value);
  if (const bj::value* event = object.if_contains("event")) {
    if (!event->is_string() || event->get_string() != "status") malformed();
    TunnelStatusChange change;
    change.identifier = stringMember(object, "identifier");
    auto status = tunnelStatusFromName(stringMember(object, "status"));
    if (!status) malformed();
    change.status = *status;
    return change;
  }
  Reply reply;
  reply.id = replyID(object);
  const bj::value* result = object.if_contains("result");
  const bj::value* error = object.if_contains("error");
  if ((result != nullptr) == (error != nullptr)) malformed();
  if (result) {
    reply.outcome = *result;
  } else {
    reply.outcome = decodeErrorInfo(*error);
    if (error->as_object().contains("group"))
      reply.group = stringMember(error->as_object(), "group");
  }
  return reply;
}

// ---- values ----

bj::value encodeConfiguration(const TunnelConfiguration& configuration) {
  bj::object object;
  object["identifier"] = configuration.identifier;
  object["providerBundleIdentifier"] = configuration.providerBundleIdentifier;
  object["serverAddress"] = configuration.serverAddress;
  object["providerConfiguration"] = configuration.providerConfiguration;
  object["localizedDescription"] = configuration.localizedDescription;
  object["enabled"] = configuration.enabled;
  return object;
}

TunnelConfiguration decodeConfiguration(const bj::value& value) {
  const bj::object& object = asObject(value);
  TunnelConfiguration configuration;
  configuration.identifier = stringMember(object, "identifier");
  configuration.providerBundleIdentifier = stringMember(object, "providerBundleIdentifier");
  configuration.serverAddress = stringMember(object, "serverAddress");
  configuration.providerConfiguration = asObject(member(object, "providerConfiguration"));
  configuration.localizedDescription = stringMember(object, "localizedDescription");
  const bj::value& enabled = member(object, "enabled");
  if (!enabled.is_bool()) malformed();
  configuration.enabled = enabled.get_bool();
  return configuration;
}

bj::value encodeConfigurations(const std::vector<TunnelConfiguration>& configurations) {
  bj::array array;
  for (const auto& configuration : configurations)
    array.push_back(encodeConfiguration(configuration));
  return array;
}

std::vector<TunnelConfiguration> decodeConfigurations(const bj::value& value) {
  if (!value.is_array()) malformed();
  std::vector<TunnelConfiguration> configurations;
  for (const auto& element : value.get_array())
    configurations.push_back(decodeConfiguration(element));
  return configurations;
}

bj::value encodeOptions(const TunnelStartOptions& options) {
  bj::object object;
  for (const auto& [key, option] : options) {
    bj::object entry;
    if (const auto* data = std::get_if<TunnelOptionData>(&option)) {
      entry["data"] = base64Value(data->bytes);
    } else if (const auto* text = std::get_if<std::string>(&option)) {
      entry["text"] = *text;
    } else {
      entry["number"] = std::get<double>(option);
    }
    object[key] = std::move(entry);
  }
  return object;
}

TunnelStartOptions decodeOptions(const bj::value& value) {
  TunnelStartOptions options;
  for (const auto& entry : asObject(value)) {
    const bj::object& option = asObject(entry.value());
    if (option.size() != 1) malformed();
    const auto& [kind, content] = *option.begin();
    std::string key(entry.key());
    if (kind == "data") {
      options.emplace(key, TunnelOptionData{bytesFromBase64(content)});
    } else if (kind == "text") {
      if (!content.is_string()) malformed();
      options.emplace(key, std::string(content.get_string()));
    } else if (kind == "number") {
      if (!content.is_number()) malformed();
      options.emplace(key, content.to_number<double>());
    } else {
      malformed();
    }
  }
  return options;
}

bj::value encodeConnection(const TunnelConnection& connection) {
  bj::object object;
  object["status"] = tunnelStatusName(connection.status);
  if (connection.lastDisconnectError) {
    object["lastDisconnectError"] = encodeErrorInfo(*connection.lastDisconnectError);
  } else {
    object["lastDisconnectError"] = nullptr;
  }
  return object;
}

TunnelConnection decodeConnection(const bj::value& value) {
  const bj::object& object = asObject(value);
  TunnelConnection connection;
  auto status = tunnelStatusFromName(stringMember(object, "status"));
  if (!status) malformed();
  connection.status = *status;
  const bj::value* error = object.if_contains("lastDisconnectError");
  if (error && !error->is_null()) connection.lastDisconnectError = decodeErrorInfo(*error);
  return connection;
}

bj::value encodeMessageReply(const std::optional<std::string>& reply) {
  bj::object object;
  if (reply) {
    object["reply"] = base64Value(*reply);
  } else {
    object["reply"] = nullptr;
  }
  return object;
}

std::optional<std::string> decodeMessageReply(const bj::value& value) {
  const bj::value& reply = member(asObject(value), "reply");
  if (reply.is_null()) return std::nullopt;
  return bytesFromBase64(reply);
}

bj::value encodeLockdown(bool enabled) {
  bj::object object;
  object["enabled"] = enabled;
  return object;
}

bool decodeLockdown(const bj::value& value) { return boolMember(asObject(value), "enabled"); }

bj::value encodeErrorInfo(const TunnelErrorInfo& error) {
  bj::object object;
  object["domain"] = error.domain;
  object["code"] = error.code;
  object["message"] = error.message;
  return object;
}

TunnelErrorInfo decodeErrorInfo(const bj::value& value) {
  const bj::object& object = asObject(value);
  TunnelErrorInfo error;
  error.domain = stringMember(object, "domain");
  const bj::value& code = member(object, "code");
  if (!code.is_int64() || code.get_int64() < std::numeric_limits<int>::min() ||
      code.get_int64() > std::numeric_limits<int>::max()) {
    malformed();
  }
  error.code = static_cast<int>(code.get_int64());
  error.message = stringMember(object, "message");
  return error;
}

// ---- errors ----

TunnelErrorInfo errorInfo(const runtime::ErrorCode& error) {
  const auto& category = error.category();
  bool isErrno =
      category == boost::system::system_category() || category == boost::system::generic_category();
  return {isErrno ? "system" : category.name(), error.value(), error.message()};
}

TunnelErrorInfo errorInfo(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const runtime::SystemError& e) {
    return errorInfo(e.code());
  } catch (const TunnelProviderError& e) {
    return e.info();
  } catch (const std::exception& e) {
    return {"flowgate.daemon", 1, e.what()};
  } catch (...) {
    return {"flowgate.daemon", 1, "Unknown error"};
  }
}

void throwError(const TunnelErrorInfo& error, const std::string& group) {
  if (error.domain == "system") {
    if (error.code == EACCES && !group.empty()) throw TunnelAccessDenied(group);
    throw runtime::SystemError(runtime::ErrorCode(error.code, boost::system::system_category()));
  }
  if (error.domain == runtime::ErrorTraits<TunnelHostError>::name) {
    throw runtime::SystemError(runtime::makeErrorCode(static_cast<TunnelHostError>(error.code)));
  }
  throw TunnelProviderError(error);
}

}  // namespace platform::tunnel_protocol
