#pragma once

// The application's texts, by localization key, in English. One table for the
// whole application so a translated table can replace it as a unit.

#include <initializer_list>
#include <string>
#include <string_view>

namespace veskar {

// The text of `key`; the key itself when the table has none.
std::string localized(std::string_view key);

// The text of `key` with "%1", "%2", ... replaced by the arguments in order.
std::string localizedFormat(std::string_view key, std::initializer_list<std::string> arguments);

}  // namespace veskar
