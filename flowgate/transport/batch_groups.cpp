#include "flowgate/transport/batch_groups.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace flowgate {

namespace {

bool sameKeys(const std::vector<PathRef>& a, const std::vector<PathRef>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const PathRef& x, const PathRef& y) { return x == y || x->key == y->key; });
}

}  // namespace

void groupBatch(std::span<const OutboundPacket> batch, const PathSelection& selection,
                FlowRouter& flowRouter, const RegisteredPaths& registered, double now,
                BatchGroups& into) {
  auto& groups = into.groups;
  auto& signatures = into.signatures;
  auto& candidates = into.candidates;
  signatures.clear();
  // Nothing of an earlier batch stays held: a packet holds its whole read block.
  for (auto& kept : groups) {
    kept.candidates.clear();
    kept.packets.clear();
    kept.items.clear();
  }

  // A flow's later packets in the batch join its first packet's group: a
  // random candidate order must not split one flow over two paths, nor reorder
  // it across two sends. Open addressing over the batch's first packets per flow.
  struct FlowSlot {
    std::uint32_t item = 0;  // index + 1 of the flow's first packet; 0 when empty
    std::uint32_t group = 0;
  };
  // A read's batch (64 packets at most) keeps its slots on the stack.
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, batch.size() * 2));
  std::array<FlowSlot, 128> localSlots{};
  std::vector<FlowSlot> largeSlots;
  if (capacity > localSlots.size()) largeSlots.resize(capacity);
  const std::span<FlowSlot> flowSlots =
      largeSlots.empty() ? std::span<FlowSlot>(localSlots).first(capacity) : largeSlots;
  const std::hash<PacketFlowKey> hashFlow;

  for (std::size_t i = 0; i < batch.size(); ++i) {
    const auto& metadata = batch[i].metadata;
    flowRouter.cleanup(now);
    auto bound = flowRouter.lookup(metadata.flowKey, now);

    std::size_t slot = hashFlow(metadata.flowKey) & (capacity - 1);
    while (flowSlots[slot].item != 0 &&
           batch[flowSlots[slot].item - 1].metadata.flowKey != metadata.flowKey) {
      slot = (slot + 1) & (capacity - 1);
    }
    if (flowSlots[slot].item != 0) {
      auto& joined = groups[flowSlots[slot].group];
      joined.packets.push_back(batch[i].bytes);
      joined.items.push_back(i);
      continue;
    }

    // A flow bound to a registered path tries it first, whether or not it is
    // still among the candidates.
    candidates.clear();
    const PathRef* pinned = nullptr;
    if (bound) {
      if (auto path = registered.find(*bound); path != registered.end()) {
        pinned = &path->second;
        candidates.push_back(*pinned);
      }
    }
    selection.appendCandidatePaths(metadata, std::nullopt, now, candidates);
    if (pinned) {
      const SessionPath& first = **pinned;
      candidates.erase(std::remove_if(candidates.begin() + 1, candidates.end(),
                                      [&](const PathRef& p) {
                                        return p->keyHash == first.keyHash && p->key == first.key;
                                      }),
                       candidates.end());
    }
    if (candidates.empty()) continue;

    std::uint64_t signature = candidates.size();
    for (const auto& path : candidates) {
      signature = detail::mix64(signature ^ path->keyHash) + 0x9e3779b97f4a7c15ULL;
    }
    const std::size_t count = signatures.size();
    std::size_t group = 0;
    while (group < count &&
           (signatures[group] != signature || !sameKeys(groups[group].candidates, candidates))) {
      ++group;
    }
    if (group == count) {
      if (count == groups.size()) groups.emplace_back();
      auto& fresh = groups[count];
      fresh.candidates.assign(candidates.begin(), candidates.end());
      // Room for the rest of the batch: a group grows once, not packet by packet.
      fresh.packets.reserve(batch.size() - i);
      fresh.items.reserve(batch.size() - i);
      signatures.push_back(signature);
    }
    groups[group].packets.push_back(batch[i].bytes);
    groups[group].items.push_back(i);
    flowSlots[slot] = {static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(group)};
  }
}

std::vector<PacketGroup> groupBatch(std::span<const OutboundPacket> batch,
                                    const PathSelection& selection, FlowRouter& flowRouter,
                                    const RegisteredPaths& registered, double now) {
  BatchGroups grouped;
  groupBatch(batch, selection, flowRouter, registered, now, grouped);
  grouped.groups.resize(grouped.count());
  return std::move(grouped.groups);
}

}  // namespace flowgate
