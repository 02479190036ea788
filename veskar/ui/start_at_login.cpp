#include "veskar/ui/start_at_login.hpp"

#include "platform/atomic_file.hpp"
#include "platform/data_directory.hpp"

#include <sys/stat.h>

#include <sstream>

namespace veskar::ui {

namespace {

// Exec's quoting: an argument with a reserved character goes in double quotes
// with `"`, '`', '$' and '\' escaped; '%' is doubled either way. The key's
// value is a string, whose own escaping doubles every backslash again.
std::string execArgument(const std::string& argument) {
  constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string quoted;
  bool needsQuotes = argument.find_first_of(reserved) != std::string::npos;
  for (char c : argument) {
    if (c == '%') {
      quoted += "%%";
      continue;
    }
    if (needsQuotes && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted += '\\';
    quoted += c;
  }
  if (needsQuotes) quoted = '"' + quoted + '"';
  std::string value;
  for (char c : quoted) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

}  // namespace

std::filesystem::path StartAtLogin::standardEntry() {
  return platform::userConfigDirectory() / "autostart" / "veskar.desktop";
}

std::string StartAtLogin::entryText(const std::string& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Veskar\n"
         "Exec=" +
         execArgument(program) +
         "\n"
         "Icon=veskar\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

StartAtLogin::StartAtLogin(std::filesystem::path entry, std::string program, QObject* parent)
    : QObject(parent), entry_(std::move(entry)), program_(std::move(program)) {}

bool StartAtLogin::enabled() const {
  std::optional<std::string> text;
  try {
    text = platform::readFileNoFollow(entry_, 64 * 1024);
  } catch (const std::exception&) {
    return false;
  }
  if (!text) return false;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
  }
  return true;
}

void StartAtLogin::setEnabled(bool enabled) {
  // A line break in the path would end the Exec key early: no entry for it.
  if (enabled && program_.find_first_of("\r\n") == std::string::npos) {
    try {
      platform::createDirectories(entry_.parent_path(), 0700);
      platform::writeFileAtomically(entry_, entryText(program_), 0644);
    } catch (const std::exception&) {
      // The switch shows what is on disk.
    }
  } else if (!enabled) {
    std::error_code ignored;
    std::filesystem::remove(entry_, ignored);
  }
  emit enabledChanged();
}

}  // namespace veskar::ui
