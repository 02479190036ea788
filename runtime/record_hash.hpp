#pragma once

// Hashing over every field a record describes (see json_codec.hpp), so records
// serve as set members and map keys.

#include <boost/container_hash/hash.hpp>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace runtime {

template <class T>
void hashCombine(std::size_t& seed, const T& value);

template <class T>
std::size_t hashRecord(const T& record) {
  std::size_t seed = 0;
  T::describe(record, [&](const char*, const auto& field) { hashCombine(seed, field); });
  return seed;
}

template <class T>
void hashCombine(std::size_t& seed, const T& value) {
  if constexpr (requires { T::describe(value, [](const char*, const auto&) {}); }) {
    boost::hash_combine(seed, hashRecord(value));
  } else if constexpr (requires { value.has_value(); }) {
    boost::hash_combine(seed, value.has_value());
    if (value) hashCombine(seed, *value);
  } else if constexpr (requires { value.first, value.second; }) {
    hashCombine(seed, value.first);
    hashCombine(seed, value.second);
  } else if constexpr (requires { value.begin(); } && !std::is_same_v<T, std::string>) {
    boost::hash_combine(seed, value.size());
    for (const auto& element : value) hashCombine(seed, element);
  } else {
    boost::hash_combine(seed, value);
  }
}

// For std::hash specialisations: `struct std::hash<R> : runtime::RecordHasher<R> {};`
template <class T>
struct RecordHasher {
  std::size_t operator()(const T& record) const noexcept { return hashRecord(record); }
};

}  // namespace runtime
