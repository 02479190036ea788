#include "testbed/control/fault_board.hpp"

namespace testbed {

std::optional<Fault> FaultBoard::arrive(const std::string& path) {
  ++counts_[path];
  auto it = faults_.find(path);
  if (it == faults_.end()) return std::nullopt;
  Fault fault = it->second;
  if (it->second.times && --*it->second.times == 0) faults_.erase(it);
  return fault;
}

}  // namespace testbed
