#pragma once

// Network namespaces for tests and benchmarks, named "vkp-<pid>-<role>" so that
// concurrent programs (and the lab's "vkl-" namespaces) never meet. Each
// is deleted when its object goes; the first use in a program also deletes
// "vkp-" namespaces whose program is gone. Nothing here routes out: the
// namespaces start with only a loopback link.

#include <functional>
#include <string>

namespace testsupport {

struct CommandResult {
  int status = -1;
  std::string output;
};

// A shell command with its standard output and error.
CommandResult shell(const std::string& command);

class Namespace {
 public:
  explicit Namespace(const std::string& role);
  ~Namespace();
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  const std::string& name() const { return name_; }

  // A shell command run inside (through `ip netns exec`).
  CommandResult exec(const std::string& command) const;
  // Like exec(); throws when the command fails.
  std::string must(const std::string& command) const;

  // Runs `work` on a thread that has entered the namespace: sockets, netlink
  // and TUN devices it opens belong here. Rethrows what `work` throws.
  void run(const std::function<void()>& work) const;
  // Moves the calling thread into the namespace for good (threads it starts
  // afterwards are inside too).
  void enter() const;

 private:
  std::string name_;
};

// True when the tests can make namespaces and TUN devices (root).
bool namespacesAvailable();

}  // namespace testsupport
