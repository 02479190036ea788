#pragma once

// Groups a batch of outbound packets by the paths they may take, so that each
// group goes out in one send: packets whose candidate lists name the same keys
// share a group. A flow bound to a registered path tries that path first.

#include "flowgate/routing/flow_router.hpp"
#include "flowgate/routing/packet_metadata.hpp"
#include "flowgate/transport/path_selection.hpp"
#include "flowgate/transport/session.hpp"
#include "flowgate/transport/session_path.hpp"
#include "runtime/bytes.hpp"

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace flowgate {

struct OutboundPacket {
  runtime::SharedBytes bytes;
  PacketMetadata metadata;
};

struct PacketGroup {
  std::vector<PathRef> candidates;
  Session::Packets packets;
  std::vector<std::size_t> items;  // indices into the batch, in arrival order
};

struct PathKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>()(key);
  }
};

// Path key -> the path of its registered session; looked up by a binding's view.
using RegisteredPaths = std::unordered_map<std::string, PathRef, PathKeyHash, std::equal_to<>>;

// The groups of one batch in storage kept from batch to batch: the first
// count() are the batch's, and every list keeps its capacity, so grouping a
// batch like the last allocates nothing.
struct BatchGroups {
  std::vector<PacketGroup> groups;
  std::vector<std::uint64_t> signatures;  // of each of the batch's groups' key lists
  std::vector<PathRef> candidates;        // of the packet at hand

  std::size_t count() const { return signatures.size(); }
};

// Runs the flow router's housekeeping and lookups at `now`; packets without a
// candidate are left out.
void groupBatch(std::span<const OutboundPacket> batch, const PathSelection& selection,
                FlowRouter& flowRouter, const RegisteredPaths& registered, double now,
                BatchGroups& into);
std::vector<PacketGroup> groupBatch(std::span<const OutboundPacket> batch,
                                    const PathSelection& selection, FlowRouter& flowRouter,
                                    const RegisteredPaths& registered, double now);

}  // namespace flowgate
