// The sign-in screen against the control server: when the button works, the
// number it sends, the failure toast, the website pages.

#include "tests/integration/ui/screens_fixture.hpp"

namespace veskar::test {
namespace {

TEST_F(Screens, SignInNeedsBothFieldsAndSendsPlusCodeAndDigits) {
  EXPECT_FALSE(loginModel->canLogin());
  loginModel->setPhoneNumber(QStringLiteral("5550100"));
  EXPECT_FALSE(loginModel->canLogin());
  loginModel->login();  // no password: nothing happens
  EXPECT_FALSE(loginModel->isLoading());

  // The locale is en_US, so the picker starts at US +1.
  EXPECT_EQ(loginModel->selectedCallingCode(), QString::fromUtf8("\U0001F1FA\U0001F1F8 +1"));
  loginModel->setPassword(QString::fromLatin1(testbed::test::labPassword));
  ASSERT_TRUE(loginModel->canLogin());
  int shellSwitched = 0;
  QObject::connect(shell.get(), &ui::AppShell::isLoggedInChanged, [&] { ++shellSwitched; });

  loginModel->login();
  EXPECT_TRUE(loginModel->isLoading());
  EXPECT_FALSE(loginModel->canLogin());
  loginModel->login();  // a second press while signing in is ignored
  ASSERT_TRUE(until([&] { return !loginModel->isLoading(); }));

  EXPECT_EQ(count("/v1/auth/login"), 1u);
  EXPECT_TRUE(shell->isLoggedIn());
  EXPECT_EQ(shellSwitched, 1);
  EXPECT_EQ(manager->currentLoginInfo()->phone, testbed::test::labPhone);
  EXPECT_TRUE(loginModel->toastMessage().isEmpty());
  // Nothing typed survives into the next sign-in screen.
  EXPECT_TRUE(loginModel->password().isEmpty());
}

TEST_F(Screens, EachFailureShowsItsToastForAFullThreeSeconds) {
  loginModel->setSelectedCountry(0);  // CN +86: the lab knows no such number
  loginModel->setPhoneNumber(QStringLiteral("5550100"));
  loginModel->setPassword(QStringLiteral("wrong"));
  loginModel->login();
  ASSERT_TRUE(until([&] { return !loginModel->isLoading(); }));
  EXPECT_EQ(loginModel->toastMessage().toStdString(),
            "The phone number or password is wrong. Check them and try again.");
  EXPECT_FALSE(shell->isLoggedIn());

  advance(2);
  loginModel->setPassword(QStringLiteral("still wrong"));
  loginModel->login();
  ASSERT_TRUE(until([&] { return !loginModel->isLoading(); }));
  EXPECT_FALSE(loginModel->toastMessage().isEmpty());
  advance(2);  // the first toast's time is over, the second's is not
  EXPECT_FALSE(loginModel->toastMessage().isEmpty());
  advance(1);
  EXPECT_TRUE(loginModel->toastMessage().isEmpty());
}

TEST_F(Screens, AccountPagesOpenUnderTheWebsite) {
  loginModel->openSignUp();
  loginModel->openForgotPassword();
  mainModel->openHelp();
  EXPECT_EQ(openedURLs,
            (std::vector<QUrl>{QUrl(QStringLiteral("https://www.lab.example/register/")),
                               QUrl(QStringLiteral("https://www.lab.example/reset-password/")),
                               QUrl(QStringLiteral("https://www.lab.example/help/"))}));
}

}  // namespace
}  // namespace veskar::test
