#pragma once

// The calling-code countries of the sign-in screen's picker.

#include <QLocale>
#include <QString>

#include <span>
#include <string_view>

namespace veskar::ui {

struct PhoneCountry {
  std::string_view regionCode;   // ISO 3166 two-letter code
  std::string_view callingCode;  // digits without "+"

  friend bool operator==(const PhoneCountry&, const PhoneCountry&) = default;

  // The built-in list, in the picker's order.
  static std::span<const PhoneCountry> all();
  // The entry for the locale's region; CN 86 when the locale has no region or
  // the list has none for it.
  static PhoneCountry defaultCountry(const QLocale& locale);
  // Its index in all().
  static int indexOf(const PhoneCountry& country);

  // The region's flag: each letter shifted to its regional indicator symbol.
  QString flag() const;
  // Flag, space, the region's name in `locale` (else in en_US, else the code),
  // space, "+" and the calling code.
  QString pickerText(const QLocale& locale) const;
};

}  // namespace veskar::ui
