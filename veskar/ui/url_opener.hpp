#pragma once

// How the screens open web pages and system settings: the desktop's handler in
// the application, a recorder in tests.

#include <QUrl>

#include <functional>

namespace veskar::ui {

using UrlOpener = std::function<void(const QUrl&)>;

// The website page `path` + "/" under `base` (which ends with "/"); an invalid
// URL when none can be formed.
QUrl websitePage(const QUrl& base, const QString& path);

}  // namespace veskar::ui
