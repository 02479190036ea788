#pragma once

// The relay's fault controls: a Unix stream socket taking one text command per
// line and answering each with one line.
//
//   stats            connections=N active=N tls_failures=N authentications=N
//                    refused=N bytes_in=N bytes_out=N dropped=N
//   drop             closes every session                     -> "ok N"
//   refuse on|off    closes new authentications unanswered    -> "ok"
//   mute on|off      takes new authentications, never answers  -> "ok"
//   stall on|off     stops reading from clients               -> "ok"
//   corrupt          a corrupt IPv4 header to every client     -> "ok N"
//   anything else                                             -> "error ..."

#include "testbed/relay/relay.hpp"

#include <boost/asio/local/stream_protocol.hpp>

#include <string>

namespace testbed {

class ControlChannel {
 public:
  // Replaces a stale socket file at `path`.
  ControlChannel(runtime::Executor executor, std::string path, Relay& relay);
  ~ControlChannel();

  void start();
  void stop();

  // The answer to one command line (without its newline).
  std::string execute(const std::string& line);

 private:
  runtime::Task<void> acceptLoop();
  runtime::Task<void> serve(boost::asio::local::stream_protocol::socket socket);

  runtime::Executor executor_;
  std::string path_;
  Relay& relay_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
};

}  // namespace testbed
