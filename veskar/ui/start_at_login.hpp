#pragma once

// The "Start at login" choice, kept where the desktop looks for it: an XDG
// autostart entry that starts this program. On when the entry is there and the
// desktop has not switched it off (Hidden=true); a write that fails leaves the
// choice as it was.

#include <QObject>

#include <filesystem>
#include <string>

namespace veskar::ui {

class StartAtLogin final : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)

 public:
  // $XDG_CONFIG_HOME/autostart/veskar.desktop, else under ~/.config.
  static std::filesystem::path standardEntry();
  // The entry's text for `program`, quoted as the Exec key wants it.
  static std::string entryText(const std::string& program);

  StartAtLogin(std::filesystem::path entry, std::string program, QObject* parent = nullptr);

  bool enabled() const;
  void setEnabled(bool enabled);

 signals:
  void enabledChanged();

 private:
  std::filesystem::path entry_;
  std::string program_;
};

}  // namespace veskar::ui
