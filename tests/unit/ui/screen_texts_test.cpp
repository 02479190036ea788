// The small texts of the screens: the masked phone number, the picker's
// countries and flags, website pages.

#include "tests/support/qt/qt_test_application.hpp"
#include "veskar/control/traffic_info.hpp"
#include "veskar/ui/masked_phone.hpp"
#include "veskar/ui/phone_country.hpp"
#include "veskar/ui/translations.hpp"
#include "veskar/ui/url_opener.hpp"

#include <gtest/gtest.h>

#include <QRegularExpression>

namespace veskar::ui {
namespace {

TEST(MaskedPhone, HidesThreeCharactersBeforeTheLastFour) {
  Translations translations(testsupport::testApplication(), QLocale(QStringLiteral("en_US")));
  struct Case {
    std::optional<LoginInfo> info;
    const char* shown;
  };
  Case cases[] = {
      {std::nullopt, "Unknown"},
      {LoginInfo{"+86123", "u"}, "+86123"},
      {LoginInfo{"1234567", "u"}, "***4567"},
      {LoginInfo{"+8613812345678", "u"}, "+861381***5678"},
  };
  for (const Case& c : cases) EXPECT_EQ(maskedPhoneText(c.info).toStdString(), c.shown);
}

TEST(PhoneCountry, DefaultFollowsTheLocaleRegionElseChina) {
  struct Case {
    QLocale locale;
    const char* region;
  };
  Case cases[] = {
      {QLocale(QLocale::English, QLocale::UnitedStates), "US"},
      {QLocale(QLocale::Russian, QLocale::Kazakhstan), "KZ"},
      {QLocale(QLocale::German, QLocale::Austria), "CN"},  // not in the list
      {QLocale::c(), "CN"},                                // no region
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PhoneCountry::defaultCountry(c.locale).regionCode, c.region)
        << c.locale.name().toStdString();
  }
}

TEST(PhoneCountry, ListFlagsAndPickerTexts) {
  auto all = PhoneCountry::all();
  ASSERT_EQ(all.size(), 31U);
  EXPECT_EQ(all.front(), (PhoneCountry{"CN", "86"}));
  EXPECT_EQ(all.back(), (PhoneCountry{"MX", "52"}));
  EXPECT_EQ(PhoneCountry::indexOf({"US", "1"}), 5);
  EXPECT_EQ(PhoneCountry::indexOf({"CA", "1"}), 6);

  EXPECT_EQ(PhoneCountry({"CN", "86"}).flag(), QString::fromUtf8("\U0001F1E8\U0001F1F3"));
  EXPECT_EQ(PhoneCountry({"US", "1"}).pickerText(QLocale(QLocale::English, QLocale::UnitedStates)),
            QString::fromUtf8("\U0001F1FA\U0001F1F8 United States +1"));
  EXPECT_EQ(PhoneCountry({"CN", "86"}).pickerText(QLocale(QLocale::Chinese, QLocale::China)),
            QString::fromUtf8("\U0001F1E8\U0001F1F3 中国 +86"));
  // Every name in Simplified Chinese, none left in English or Traditional script.
  QLocale chinese(QLocale::Chinese, QLocale::China);
  EXPECT_EQ(PhoneCountry({"DE", "49"}).pickerText(chinese),
            QString::fromUtf8("\U0001F1E9\U0001F1EA 德国 +49"));
  EXPECT_EQ(PhoneCountry({"HK", "852"}).pickerText(chinese),
            QString::fromUtf8("\U0001F1ED\U0001F1F0 中国香港特别行政区 +852"));
  for (const PhoneCountry& country : all) {
    QString text = country.pickerText(chinese);
    EXPECT_FALSE(text.contains(QRegularExpression(QStringLiteral("[A-Za-z]"))))
        << text.toStdString();
  }
}

TEST(TrafficText, TheReadersDecimalSeparatorWhateverTheProcessLocale) {
  struct Case {
    std::int64_t bytes;
    const char* c;
    const char* german;
  };
  const Case cases[] = {
      {53687091200, "50G", "50G"},  // no bare separator left behind
      {1572864, "1.5M", "1,5M"},   {1100000, "1.05M", "1,05M"},
      {-512, "-0.5K", "-0,5K"},    {2199560126464, "2048.5G", "2048,5G"},  // no grouping
  };
  for (const Case& c : cases) {
    for (auto [name, expected] :
         {std::pair{"C", c.c}, std::pair{"de_DE", c.german}, std::pair{"zh_CN", c.c}}) {
      auto point = QLocale(QString::fromLatin1(name)).decimalPoint().toStdString();
      EXPECT_EQ(TrafficInfo::format(c.bytes, point), expected) << name << " " << c.bytes;
    }
  }
}

TEST(WebsitePage, PathAndSlashUnderTheBase) {
  QUrl base(QStringLiteral("https://www.lab.example/"));
  EXPECT_EQ(websitePage(base, QStringLiteral("register")).toString(),
            QStringLiteral("https://www.lab.example/register/"));
  EXPECT_FALSE(websitePage(QUrl(), QStringLiteral("help")).isValid());
}

}  // namespace
}  // namespace veskar::ui
