#pragma once

// The GeoIP table: direct blocks and region routes, precomputed into one sorted
// list of disjoint policy ranges so that every lookup is a binary search.
//
// A table is an immutable value. Its lists live in one shared storage, so the
// store, the pool, the DNS proxy and the network settings each hold a copy of
// the table without copying any element.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace flowgate {

// The two characters of a route's region, as they were in the file (no change
// of case). Kept inline: a string per route would triple the table's size.
class RegionCode {
 public:
  constexpr RegionCode() = default;
  constexpr RegionCode(char first, char second) : chars_{first, second} {}
  // From a literal such as "DE".
  consteval RegionCode(const char (&text)[3]) : chars_{text[0], text[1]} {}

  // Exactly two characters, or nothing.
  static std::optional<RegionCode> fromText(std::string_view text);

  std::string_view view() const { return {chars_.data(), chars_.size()}; }
  std::string text() const { return std::string(view()); }

  friend bool operator==(const RegionCode&, const RegionCode&) = default;

 private:
  std::array<char, 2> chars_{};
};

class GeoIPTable {
 public:
  struct Route {
    std::uint32_t start = 0;
    std::uint32_t end = 0;  // inclusive
    RegionCode region;
    friend bool operator==(const Route&, const Route&) = default;
  };

  // A direct block with its host bits cleared; only used while building a table.
  struct DirectRange {
    std::uint32_t network = 0;
    std::uint32_t mask = 0;
    // `prefixLength` must be at most 32.
    static DirectRange fromPrefix(std::uint32_t address, unsigned prefixLength);
    friend bool operator==(const DirectRange&, const DirectRange&) = default;
  };

  // What a range says about its addresses: through a node of a region, or direct.
  class Action {
   public:
    enum class Kind : std::uint8_t { region, direct };

    static constexpr Action region(RegionCode code) { return Action(Kind::region, code); }
    static constexpr Action direct() { return Action(Kind::direct, RegionCode()); }

    Kind kind() const { return kind_; }
    bool isDirect() const { return kind_ == Kind::direct; }
    // The region's code; only meaningful for a region action.
    RegionCode regionCode() const { return code_; }

    // Direct actions hold no code, so any two of them are equal.
    friend bool operator==(const Action&, const Action&) = default;

   private:
    constexpr Action(Kind kind, RegionCode code) : code_(code), kind_(kind) {}
    RegionCode code_;
    Kind kind_;
  };

  struct PolicyRange {
    std::uint32_t start = 0;
    std::uint32_t end = 0;  // inclusive
    Action action = Action::direct();
    friend bool operator==(const PolicyRange&, const PolicyRange&) = default;
  };

  // The empty table; shares the storage of `empty()`.
  GeoIPTable();
  GeoIPTable(const GeoIPTable&) = default;
  GeoIPTable& operator=(const GeoIPTable&) = default;
  // A moved-from table is the empty table.
  GeoIPTable(GeoIPTable&& other) noexcept;
  GeoIPTable& operator=(GeoIPTable&& other) noexcept;

  // Builds the policy ranges from `direct` and `routes`. `routes` must be in
  // ascending address order and disjoint, as the table file guarantees;
  // `directCIDRs` is kept as given.
  GeoIPTable(std::uint64_t version, std::vector<std::string> directCIDRs, std::vector<Route> routes,
             std::span<const DirectRange> direct);

  // Version 0 and no lists; built once on first use.
  static const GeoIPTable& empty();

  std::uint64_t version() const;
  // The direct blocks as text in file order, host bits as stored.
  const std::vector<std::string>& directCIDRs() const;
  const std::vector<Route>& routes() const;
  // Sorted by start, pairwise disjoint.
  const std::vector<PolicyRange>& policyRanges() const;

  // The region code of the range covering `address`; nothing for a direct
  // range and for an address no range covers.
  std::optional<std::string> region(std::uint32_t address) const;
  // The covering range's action, or nothing when no range covers `address`.
  std::optional<Action> action(std::uint32_t address) const;

  // Whether two tables are copies of one another (for tests of sharing).
  bool sharesStorageWith(const GeoIPTable& other) const { return storage_ == other.storage_; }

 private:
  struct Storage;

  explicit GeoIPTable(std::shared_ptr<const Storage> storage);
  static std::vector<PolicyRange> makePolicyRanges(std::span<const DirectRange> direct,
                                                   std::span<const Route> routes);
  const PolicyRange* covering(std::uint32_t address) const;

  std::shared_ptr<const Storage> storage_;
};

}  // namespace flowgate
