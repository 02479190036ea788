#pragma once

// Fault controls for tests, per request path: answer a given status and body,
// delay the request, or close the connection without an answer; and a count of
// the requests each path received.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace testbed {

struct Fault {
  // Answer with this status and body instead of the endpoint's own answer.
  std::optional<unsigned> status;
  std::string body;
  std::string contentType = "application/json";
  // Wait this long first (the answer, the endpoint's own or the fault's, follows).
  std::chrono::milliseconds delay{0};
  // Close the connection without answering (after the delay).
  bool close = false;
  // Apply to this many requests, then lift; absent: until cleared.
  std::optional<std::uint64_t> times;
};

class FaultBoard {
 public:
  void set(const std::string& path, Fault fault) { faults_[path] = std::move(fault); }
  bool clear(const std::string& path) { return faults_.erase(path) > 0; }
  void clearAll() { faults_.clear(); }

  // Counts the request and returns the fault that applies to it, if any, using
  // up one of its times.
  std::optional<Fault> arrive(const std::string& path);

  const std::map<std::string, std::uint64_t>& counts() const { return counts_; }
  void resetCounts() { counts_.clear(); }

 private:
  std::map<std::string, Fault> faults_;
  std::map<std::string, std::uint64_t> counts_;
};

}  // namespace testbed
