#include "veskar/ui/phone_country.hpp"

#include <algorithm>
#include <array>

namespace veskar::ui {

namespace {

constexpr std::array<PhoneCountry, 31> kCountries = {{
    {"CN", "86"}, {"MN", "976"}, {"HK", "852"}, {"MO", "853"}, {"TW", "886"}, {"US", "1"},
    {"CA", "1"},  {"JP", "81"},  {"KR", "82"},  {"SG", "65"},  {"MY", "60"},  {"TH", "66"},
    {"VN", "84"}, {"PH", "63"},  {"ID", "62"},  {"IN", "91"},  {"AU", "61"},  {"NZ", "64"},
    {"GB", "44"}, {"FR", "33"},  {"DE", "49"},  {"IT", "39"},  {"ES", "34"},  {"NL", "31"},
    {"CH", "41"}, {"RU", "7"},   {"KZ", "7"},   {"AE", "971"}, {"TR", "90"},  {"BR", "55"},
    {"MX", "52"},
}};

constexpr char32_t kRegionalIndicatorOffset = 127397;

QString regionName(const QLocale& locale, QLocale::Territory territory) {
  // QLocale names a territory only in English; the locale's own language is
  // reached through a locale of that language in the territory.
  QLocale inLanguage(locale.language(), territory);
  if (inLanguage.language() == locale.language() && inLanguage.territory() == territory) {
    QString name = inLanguage.nativeTerritoryName();
    if (!name.isEmpty()) return name;
  }
  return QLocale::territoryToString(territory);
}

}  // namespace

std::span<const PhoneCountry> PhoneCountry::all() { return kCountries; }

PhoneCountry PhoneCountry::defaultCountry(const QLocale& locale) {
  QString region = locale.territory() == QLocale::AnyTerritory
                       ? QStringLiteral("CN")
                       : QLocale::territoryToCode(locale.territory());
  auto found = std::ranges::find_if(kCountries, [&](const PhoneCountry& country) {
    return region == QLatin1String(country.regionCode.data(),
                                   static_cast<qsizetype>(country.regionCode.size()));
  });
  return found == kCountries.end() ? kCountries.front() : *found;
}

int PhoneCountry::indexOf(const PhoneCountry& country) {
  auto found = std::ranges::find(kCountries, country);
  return found == kCountries.end() ? 0 : static_cast<int>(found - kCountries.begin());
}

QString PhoneCountry::flag() const {
  QString result;
  for (char letter : regionCode) {
    char32_t shifted = static_cast<unsigned char>(letter) + kRegionalIndicatorOffset;
    if (shifted > 0x10FFFF || (shifted >= 0xD800 && shifted <= 0xDFFF)) continue;
    result += QString::fromUcs4(&shifted, 1);
  }
  return result;
}

QString PhoneCountry::pickerText(const QLocale& locale) const {
  QString code = QString::fromLatin1(regionCode.data(), static_cast<qsizetype>(regionCode.size()));
  QLocale::Territory territory = QLocale::codeToTerritory(code);
  QString name = territory == QLocale::AnyTerritory ? code : regionName(locale, territory);
  return flag() + QLatin1Char(' ') + name + QStringLiteral(" +") +
         QString::fromLatin1(callingCode.data(), static_cast<qsizetype>(callingCode.size()));
}

}  // namespace veskar::ui
