// Every text the screens show is a message id with an English and a Chinese
// translation; English agrees with the application core's table.

#include "veskar/control/texts.hpp"
#include "tests/support/qt/qt_test_application.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTranslator>

#include <set>
#include <string>

namespace veskar::ui {
namespace {

const QString kSourceDir = QStringLiteral(VESKAR_UI_SOURCE_DIR);

QString readFile(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
  return QString::fromUtf8(file.readAll());
}

QStringList filesIn(const QString& folder, const QStringList& patterns) {
  QStringList paths;
  QDir dir(kSourceDir + QLatin1Char('/') + folder);
  for (const QString& name : dir.entryList(patterns, QDir::Files)) {
    paths.append(dir.filePath(name));
  }
  return paths;
}

// The first argument of every call of `function` with a string literal.
std::set<QString> idsCalled(const QString& function, const QStringList& files) {
  std::set<QString> ids;
  QRegularExpression call(QRegularExpression::escape(function) + QStringLiteral("\\(\"([^\"]+)\""));
  for (const QString& path : files) {
    auto matches = call.globalMatch(readFile(path));
    while (matches.hasNext()) ids.insert(matches.next().captured(1));
  }
  return ids;
}

std::set<QString> usedIds() {
  std::set<QString> ids = idsCalled(QStringLiteral("qsTrId"), filesIn("qml", {"*.qml"}));
  for (const QString& id : idsCalled(QStringLiteral("qtTrId"), filesIn(".", {"*.cpp"}))) {
    ids.insert(id);
  }
  // Error texts come from the core's keys.
  for (const char* key :
       {"error.server.format", "error.server.invalid_response", "error.session.expired",
        "vpn.nodes.none_available", "vpn.configuration.save_failed"}) {
    ids.insert(QString::fromLatin1(key));
  }
  return ids;
}

// The keys of the core's English table that the window shows.
std::set<QString> coreKeys() {
  std::set<QString> keys;
  QString table = readFile(kSourceDir + QStringLiteral("/../control/texts.cpp"));
  // An entry may wrap after its key.
  QRegularExpression entry(QStringLiteral("\\{\"([a-z_.]+)\",\\s*\""));
  auto matches = entry.globalMatch(table);
  while (matches.hasNext()) {
    QString key = matches.next().captured(1);
    // The command line's own messages are not the window's.
    if (!key.startsWith(QStringLiteral("cli."))) keys.insert(key);
  }
  return keys;
}

class Translations : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::testApplication();
    ASSERT_TRUE(english.load(QStringLiteral(":/veskar/translations/veskar_en.qm")));
    ASSERT_TRUE(chinese.load(QStringLiteral(":/veskar/translations/veskar_zh_CN.qm")));
  }
  static QString text(const QTranslator& translator, const QString& id) {
    return translator.translate(nullptr, id.toUtf8().constData());
  }
  QTranslator english;
  QTranslator chinese;
};

TEST_F(Translations, EveryShownIdHasBothLanguagesAndEnglishMatchesTheCore) {
  std::set<QString> ids = usedIds();
  for (const QString& key : coreKeys()) ids.insert(key);
  ASSERT_GT(ids.size(), 40U);
  for (const QString& id : ids) {
    SCOPED_TRACE(id.toStdString());
    QString en = text(english, id);
    QString zh = text(chinese, id);
    EXPECT_FALSE(en.isEmpty());
    EXPECT_FALSE(zh.isEmpty());
    if (id != QStringLiteral("Veskar")) {
      EXPECT_NE(en, zh);
    }
    std::string core = localized(id.toStdString());
    if (core != id.toStdString()) {
      EXPECT_EQ(en.toStdString(), core);
    }
    // Placeholders survive translation.
    EXPECT_EQ(en.count(QStringLiteral("%1")), zh.count(QStringLiteral("%1")));
    EXPECT_EQ(en.count(QStringLiteral("%2")), zh.count(QStringLiteral("%2")));
  }
}

TEST(QmlTexts, EveryStringLiteralIsAMessageIdOrNotShown) {
  // Literals that never reach the screen: resources, colours.
  QRegularExpression hidden(QStringLiteral("^(qrc:/.*|#[0-9a-fA-F]{6,8}|transparent)$"));
  QRegularExpression literal(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\"|'((?:[^'\\\\]|\\\\.)*)'"));
  QRegularExpression lineComment(QStringLiteral("//[^\n]*"));
  QStringList files = filesIn("qml", {"*.qml"});
  ASSERT_FALSE(files.isEmpty());
  QStringList offenders;
  for (const QString& path : files) {
    QString source = readFile(path);
    source.replace(lineComment, QString());
    auto matches = literal.globalMatch(source);
    while (matches.hasNext()) {
      auto match = matches.next();
      QString before = source.left(match.capturedStart());
      if (before.endsWith(QStringLiteral("qsTrId("))) continue;
      QString value = match.captured(1) + match.captured(2);
      if (hidden.match(value).hasMatch()) continue;
      offenders.append(QFileInfo(path).fileName() + QStringLiteral(": ") + match.captured(0));
    }
    EXPECT_FALSE(source.contains(QStringLiteral("qsTr(")))
        << path.toStdString() << " uses source-text translation";
  }
  EXPECT_TRUE(offenders.isEmpty()) << offenders.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
}  // namespace veskar::ui
