#include "runtime/key_case.hpp"

#include "runtime/text.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

namespace runtime {

namespace {

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
char toLower(char c) { return isUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
char toUpper(char c) { return isLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string snakeToCamel(std::string_view key) {
  auto first = key.find_first_not_of('_');
  if (first == std::string_view::npos) return std::string(key);
  auto last = key.find_last_not_of('_');
  auto words = splitOmittingEmpty(key.substr(first, last - first + 1), '_');
  if (words.size() == 1) return std::string(key);
  std::string result(key.substr(0, first));
  result += words.front();
  for (std::size_t i = 1; i < words.size(); ++i) {
    result += toUpper(words[i].front());
    result += words[i].substr(1);
  }
  result += key.substr(last + 1);
  return result;
}

std::string camelToSnake(std::string_view key) {
  if (key.empty()) return {};
  // Word boundaries: before a capital that follows a lower-case letter or a
  // digit, and before the last capital of a run that is followed by lower case.
  std::string result;
  std::size_t wordStart = 0;
  std::size_t i = 1;
  auto appendWord = [&](std::size_t end) {
    if (!result.empty()) result += '_';
    for (std::size_t k = wordStart; k < end; ++k) result += toLower(key[k]);
    wordStart = end;
  };
  while (true) {
    while (i < key.size() && !isUpper(key[i])) ++i;
    if (i >= key.size()) break;
    appendWord(i);
    auto lower = i + 1;
    while (lower < key.size() && !isLower(key[lower])) ++lower;
    if (lower >= key.size()) break;
    if (lower != i + 1) appendWord(lower - 1);
    i = lower + 1;
  }
  appendWord(key.size());
  return result;
}

boost::json::value withSnakeCaseKeys(const boost::json::value& value) {
  if (const auto* object = value.if_object()) {
    boost::json::object converted;
    converted.reserve(object->size());
    for (const auto& [key, member] : *object) {
      converted.emplace(camelToSnake(key), withSnakeCaseKeys(member));
    }
    return converted;
  }
  if (const auto* array = value.if_array()) {
    boost::json::array converted;
    converted.reserve(array->size());
    for (const auto& element : *array) converted.push_back(withSnakeCaseKeys(element));
    return converted;
  }
  return value;
}

}  // namespace runtime
