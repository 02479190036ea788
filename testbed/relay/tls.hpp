#pragma once

// TLS for relay nodes: 1.3 only in both roles. The server side presents the
// node's certificate; the onward (client) side trusts the node CA alone and
// requires the peer's certificate to name the IPv4 address it dialled.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>

#include <cstdint>
#include <string>

namespace testbed {

using TLSStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

boost::asio::ssl::context nodeServerContext(const std::string& certificateFile,
                                            const std::string& keyFile);
boost::asio::ssl::context nodeClientContext(const std::string& nodeCAFile);

// Makes the stream's handshake check that the certificate names `address`.
void expectPeerAddress(TLSStream& stream, std::uint32_t address);

}  // namespace testbed
