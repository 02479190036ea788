#include "testbed/cli/arguments.hpp"

#include "runtime/text.hpp"

#include <algorithm>

namespace testbed {

bool Arguments::has(std::string_view name) const { return value(name).has_value(); }

std::optional<std::string> Arguments::value(std::string_view name) const {
  std::optional<std::string> found;
  for (const auto& [key, text] : options) {
    if (key == name) found = text;
  }
  return found;
}

std::vector<std::string> Arguments::values(std::string_view name) const {
  std::vector<std::string> found;
  for (const auto& [key, text] : options) {
    if (key == name) found.push_back(text);
  }
  return found;
}

std::string Arguments::required(std::string_view name) const {
  auto found = value(name);
  if (!found) throw UsageError("--" + std::string(name) + " is required");
  return *found;
}

std::uint64_t Arguments::number(std::string_view name, std::uint64_t fallback,
                                std::uint64_t limit) const {
  auto text = value(name);
  if (!text) return fallback;
  auto parsed = runtime::parseDecimal(*text, limit);
  if (!parsed) {
    throw UsageError("--" + std::string(name) + " wants a number up to " + std::to_string(limit));
  }
  return *parsed;
}

Arguments parseArguments(std::span<const std::string> words,
                         std::initializer_list<std::string_view> known) {
  Arguments arguments;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto& word = words[i];
    if (word == "--help" || word == "-h") {
      arguments.help = true;
      continue;
    }
    if (!word.starts_with("--")) {
      arguments.positional.push_back(word);
      continue;
    }
    auto name = word.substr(2);
    if (known.size() != 0 && std::find(known.begin(), known.end(), name) == known.end()) {
      throw UsageError("unknown option " + word);
    }
    if (i + 1 >= words.size()) throw UsageError("missing value after " + word);
    arguments.options.emplace_back(std::move(name), words[++i]);
  }
  return arguments;
}

}  // namespace testbed
