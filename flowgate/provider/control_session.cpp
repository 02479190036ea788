#include "flowgate/provider/control_session.hpp"

#include "platform/connector.hpp"
#include "platform/https_client.hpp"

#include <boost/url/parse.hpp>

namespace flowgate {

std::shared_ptr<platform::HttpClient> makeTunnelControlSession(const runtime::Executor& ioExecutor,
                                                               const ExtensionBootstrap& bootstrap,
                                                               platform::NameLookup nameLookup) {
  platform::HttpsClientOptions options;
  options.routingMark = platform::kRoutingMark;
  options.nameLookup = std::move(nameLookup);
  auto url = boost::urls::parse_uri(bootstrap.controlURL);
  if (url && url->host_type() == boost::urls::host_type::name && !bootstrap.controlIPv4.empty()) {
    options.knownAddresses[url->host()] = bootstrap.controlIPv4;
  }
  return std::make_shared<platform::HttpsClient>(ioExecutor, options);
}

}  // namespace flowgate
