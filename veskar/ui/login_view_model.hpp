#pragma once

// The sign-in screen's state and actions: the calling-code picker, the phone
// number and password, the sign-in request with its progress, the failure
// toast, and the website's registration and password-reset pages.

#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/ui/toast.hpp"
#include "veskar/ui/url_opener.hpp"

#include <QLocale>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <memory>

namespace veskar::ui {

class LoginViewModel final : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString phoneNumber READ phoneNumber WRITE setPhoneNumber NOTIFY phoneNumberChanged)
  Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
  Q_PROPERTY(QStringList countries READ countries CONSTANT)
  Q_PROPERTY(int selectedCountry READ selectedCountry WRITE setSelectedCountry NOTIFY
                 selectedCountryChanged)
  Q_PROPERTY(QString selectedCallingCode READ selectedCallingCode NOTIFY selectedCountryChanged)
  Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
  Q_PROPERTY(bool canLogin READ canLogin NOTIFY canLoginChanged)
  Q_PROPERTY(QString toastMessage READ toastMessage NOTIFY toastMessageChanged)

 public:
  static constexpr double toastSeconds = 3;

  struct Dependencies {
    runtime::Executor executor;
    std::shared_ptr<LoginManager> loginManager;
    std::shared_ptr<runtime::Clock> clock;
    QUrl websiteBaseURL;
    UrlOpener openURL;
    QLocale locale;
  };

  explicit LoginViewModel(Dependencies dependencies, QObject* parent = nullptr);

  // A message that arrives with the screen (why the session ended).
  void showNotice(const QString& text);

  QString phoneNumber() const { return phoneNumber_; }
  void setPhoneNumber(const QString& value);
  QString password() const { return password_; }
  void setPassword(const QString& value);
  QStringList countries() const { return countries_; }
  int selectedCountry() const { return selectedCountry_; }
  void setSelectedCountry(int index);
  // The flag and "+" code shown on the collapsed picker.
  QString selectedCallingCode() const;
  bool isLoading() const { return isLoading_; }
  bool canLogin() const;
  QString toastMessage() const { return toast_.message(); }

  // Signs in with "+", the calling code and the number; does nothing unless canLogin.
  Q_INVOKABLE void login();
  Q_INVOKABLE void openSignUp();
  Q_INVOKABLE void openForgotPassword();

 signals:
  void phoneNumberChanged();
  void passwordChanged();
  void selectedCountryChanged();
  void isLoadingChanged();
  void canLoginChanged();
  void toastMessageChanged();

 private:
  void setLoading(bool loading);
  void openAccountPage(const QString& path);
  static runtime::Task<void> signIn(QPointer<LoginViewModel> self,
                                    std::shared_ptr<LoginManager> loginManager, std::string phone,
                                    std::string password);

  Dependencies dependencies_;
  QString phoneNumber_;
  QString password_;
  QStringList countries_;
  int selectedCountry_ = 0;
  bool isLoading_ = false;
  Toast toast_;
};

}  // namespace veskar::ui
