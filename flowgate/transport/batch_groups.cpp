#include "flowgate/transport/batch_groups.hpp"

#include <algorithm>

namespace flowgate {

namespace {

bool sameKeys(const std::vector<PathRef>& a, const std::vector<PathRef>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const PathRef& x, const PathRef& y) { return x == y || x->key == y->key; });
}

}  // namespace

std::vector<PacketGroup> groupBatch(std::span<const OutboundPacket> batch,
                                    const PathSelection& selection, FlowRouter& flowRouter,
                                    const RegisteredPaths& registered, double now) {
  std::vector<PacketGroup> groups;
  // A flow's later packets in the batch join its first packet's group: a
  // random candidate order must not split one flow over two paths, nor reorder
  // it across two sends.
  std::unordered_map<PacketFlowKey, std::size_t> flowGroups;
  flowGroups.reserve(batch.size());

  for (std::size_t i = 0; i < batch.size(); ++i) {
    const auto& metadata = batch[i].metadata;
    flowRouter.cleanup(now);
    auto bound = flowRouter.lookup(metadata.flowKey, now);
    if (auto joined = flowGroups.find(metadata.flowKey); joined != flowGroups.end()) {
      groups[joined->second].packets.push_back(batch[i].bytes);
      groups[joined->second].items.push_back(i);
      continue;
    }
    auto candidates = selection.candidatePaths(metadata, std::nullopt, now);
    if (bound) {
      if (auto path = registered.find(*bound); path != registered.end()) {
        std::erase_if(candidates, [&](const PathRef& p) { return p->key == *bound; });
        candidates.insert(candidates.begin(), path->second);
      }
    }
    if (candidates.empty()) continue;
    auto group = std::find_if(groups.begin(), groups.end(), [&](const PacketGroup& g) {
      return sameKeys(g.candidates, candidates);
    });
    if (group == groups.end()) {
      groups.push_back(PacketGroup{std::move(candidates), {}, {}});
      group = std::prev(groups.end());
    }
    group->packets.push_back(batch[i].bytes);
    group->items.push_back(i);
    flowGroups.emplace(metadata.flowKey, static_cast<std::size_t>(group - groups.begin()));
  }
  return groups;
}

}  // namespace flowgate
