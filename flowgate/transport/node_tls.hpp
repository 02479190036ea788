#pragma once

// TLS settings of node connections: TLS 1.3 only, node certificates verified
// against the trust bundle's authorities and nothing else, and by name.

#include "flowgate/control/trust_bundle.hpp"

#include <openssl/ssl.h>
#include <boost/asio/ssl/context.hpp>

#include <string>

namespace flowgate {

// Throws the trust bundle's error when its certificates cannot be built.
boost::asio::ssl::context makeNodeTLSContext(const TrustBundle& bundle);

// SNI and verification of `serverName` (an IPv4 literal is verified as an
// address and not sent as SNI). Throws ProtocolError::invalidAddress for a name
// that cannot be checked.
void setNodeServerName(SSL* connection, const std::string& serverName);

}  // namespace flowgate
