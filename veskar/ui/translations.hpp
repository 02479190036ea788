#pragma once

// The application's texts: English always, over it the translation of the
// user's language when there is one.

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <memory>
#include <vector>

namespace veskar::ui {

class Translations {
 public:
  // Installs the translators into `application` for `locale`.
  Translations(QCoreApplication& application, const QLocale& locale);
  ~Translations();
  Translations(const Translations&) = delete;
  Translations& operator=(const Translations&) = delete;

 private:
  QCoreApplication& application_;
  std::vector<std::unique_ptr<QTranslator>> translators_;
};

}  // namespace veskar::ui
