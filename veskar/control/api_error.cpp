#include "veskar/control/api_error.hpp"

#include "veskar/control/texts.hpp"

namespace veskar {

const char* APIError::localizationKey() const {
  switch (which()) {
    case APIErrorCase::server: return "error.server.format";
    case APIErrorCase::invalidResponse: return "error.server.invalid_response";
    case APIErrorCase::missingAuthorization: return "error.session.expired";
    case APIErrorCase::noAvailableNodes: return "vpn.nodes.none_available";
  }
  return "error.server.invalid_response";
}

std::string APIError::localizedDescription() const {
  if (which() == APIErrorCase::server) {
    return localizedFormat(localizationKey(), {std::to_string(status_), body_});
  }
  return localized(localizationKey());
}

}  // namespace veskar
