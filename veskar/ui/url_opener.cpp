#include "veskar/ui/url_opener.hpp"

namespace veskar::ui {

QUrl websitePage(const QUrl& base, const QString& path) {
  if (!base.isValid()) return {};
  QUrl page(base.toString() + path + QLatin1Char('/'), QUrl::StrictMode);
  return page.isValid() ? page : QUrl();
}

}  // namespace veskar::ui
