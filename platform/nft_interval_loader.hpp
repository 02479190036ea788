#pragma once

// Adds IPv4 intervals to an nftables interval set of family inet over
// nfnetlink directly, in one batch: the text parser of libnftables spends most
// of a second on 100,000 networks, this a small part of it. The set must
// exist; the ranges must be disjoint and not adjacent (see allowedRanges).
// Uses a socket of its own, in the network namespace current at the call.

#include "runtime/ipv4.hpp"

#include <span>
#include <string>

namespace platform {

void addIntervals(const std::string& table, const std::string& set,
                  std::span<const runtime::ipv4::Range> ranges);

}  // namespace platform
