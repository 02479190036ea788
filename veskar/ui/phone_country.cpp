#include "veskar/ui/phone_country.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <string>

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

// The country's name in the reader's language, from ICU's display names
// (Qt names territories only in English or through the few locales it knows).
QString regionName(const QLocale& locale, std::string_view regionCode) {
  std::string region(regionCode);
  icu::Locale inLanguage(locale.name().toStdString().c_str());
  icu::UnicodeString name;
  icu::Locale("", region.c_str()).getDisplayCountry(inLanguage, name);
  if (name.isEmpty()) return QString::fromStdString(region);
  return QString(reinterpret_cast<const QChar*>(name.getBuffer()), name.length());
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
  return flag() + QLatin1Char(' ') + regionName(locale, regionCode) + QStringLiteral(" +") +
         QString::fromLatin1(callingCode.data(), static_cast<qsizetype>(callingCode.size()));
}

}  // namespace veskar::ui
