#pragma once

// The provider's answer to "node-status": the paths it uses now. Keys are
// exactly these; other members of the answer (the node ids) are ignored.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veskar {

struct ProviderNodeStatus {
  std::string pathKey;
  std::string displayName;
  std::string exitHost;
  std::string firstHopHost;
  std::string firstHopAddress;  // host + ":" + port

  friend bool operator==(const ProviderNodeStatus&, const ProviderNodeStatus&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("path_key", self.pathKey);
    field("display_name", self.displayName);
    field("exit_host", self.exitHost);
    field("first_hop_host", self.firstHopHost);
    field("first_hop_address", self.firstHopAddress);
  }
};

struct ProviderStatusSnapshot {
  std::vector<ProviderNodeStatus> nodes;

  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("nodes", self.nodes);
  }
};

// Throws the JSON parser's or the decoder's error.
ProviderStatusSnapshot decodeProviderStatus(std::string_view text);

// A first hop's host and port text, split at the first ":" with empty parts
// dropped; nothing unless exactly two parts remain.
std::optional<std::pair<std::string, std::string>> splitFirstHop(std::string_view address);

}  // namespace veskar
