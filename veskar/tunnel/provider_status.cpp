#include "veskar/tunnel/provider_status.hpp"

#include "runtime/json_codec.hpp"

namespace veskar {

ProviderStatusSnapshot decodeProviderStatus(std::string_view text) {
  return runtime::json::decodeText<ProviderStatusSnapshot>(text, runtime::json::KeyStyle::exact);
}

std::optional<std::pair<std::string, std::string>> splitFirstHop(std::string_view address) {
  auto colon = address.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto host = address.substr(0, colon);
  auto port = address.substr(colon + 1);
  if (host.empty() || port.empty()) return std::nullopt;
  return std::pair{std::string(host), std::string(port)};
}

}  // namespace veskar
