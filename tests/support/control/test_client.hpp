#pragma once

// Blocking HTTP clients for the contract tests: HTTPS to the control server
// (verified against the lab's control CA) and plain HTTP to its admin port.
// Every socket has a 5-second receive timeout so a silent server fails the
// test instead of hanging it.

#include <boost/json/value.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace testbed::test {

struct Reply {
  unsigned status = 0;
  std::string body;
  std::string contentType;

  boost::json::value json() const;
  // The "code" of an error body, or "" when there is none.
  std::string code() const;
};

class HttpsClient {
 public:
  HttpsClient(unsigned short port, std::filesystem::path caFile);

  Reply get(const std::string& path, const std::string& token = "") const;
  Reply post(const std::string& path, const std::string& body, const std::string& token = "") const;
  Reply request(const std::string& method, const std::string& path, const std::string& body,
                const std::string& token) const;

  // Sends `bytes` as they are over a fresh TLS connection, then half-closes
  // when asked; returns whatever the server answered until it closed (empty
  // when it answered nothing).
  std::string raw(const std::string& bytes, bool halfClose = true) const;

 private:
  unsigned short port_;
  std::filesystem::path caFile_;
};

class AdminClient {
 public:
  explicit AdminClient(unsigned short port) : port_(port) {}

  Reply get(const std::string& path) const;
  Reply post(const std::string& path, const boost::json::value& body) const;
  // The request count of one control path.
  std::uint64_t count(const std::string& path) const;

 private:
  unsigned short port_;
};

}  // namespace testbed::test
