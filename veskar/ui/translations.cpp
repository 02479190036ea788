#include "veskar/ui/translations.hpp"

namespace veskar::ui {

namespace {

constexpr const char* kDirectory = ":/veskar/translations";

}  // namespace

Translations::Translations(QCoreApplication& application, const QLocale& locale)
    : application_(application) {
  // Message ids are keys: without a translator the screens would show them.
  auto english = std::make_unique<QTranslator>();
  if (english->load(QStringLiteral("veskar_en"), QString::fromLatin1(kDirectory))) {
    application_.installTranslator(english.get());
    translators_.push_back(std::move(english));
  }
  // The last one installed is asked first.
  auto local = std::make_unique<QTranslator>();
  if (locale.language() != QLocale::English &&
      local->load(locale, QStringLiteral("veskar"), QStringLiteral("_"),
                  QString::fromLatin1(kDirectory))) {
    application_.installTranslator(local.get());
    translators_.push_back(std::move(local));
  }
}

Translations::~Translations() {
  for (auto& translator : translators_) application_.removeTranslator(translator.get());
}

}  // namespace veskar::ui
