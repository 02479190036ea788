#include "veskar/ui/login_view_model.hpp"

#include "runtime/spawn.hpp"
#include "veskar/ui/error_text.hpp"
#include "veskar/ui/phone_country.hpp"

#include <QPointer>

#include <utility>

namespace veskar::ui {

LoginViewModel::LoginViewModel(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      dependencies_(std::move(dependencies)),
      toast_(dependencies_.executor, dependencies_.clock, [this] { emit toastMessageChanged(); }) {
  for (const PhoneCountry& country : PhoneCountry::all()) {
    countries_.append(country.pickerText(dependencies_.locale));
  }
  selectedCountry_ = PhoneCountry::indexOf(PhoneCountry::defaultCountry(dependencies_.locale));
}

void LoginViewModel::setPhoneNumber(const QString& value) {
  if (value == phoneNumber_) return;
  bool could = canLogin();
  phoneNumber_ = value;
  emit phoneNumberChanged();
  if (could != canLogin()) emit canLoginChanged();
}

void LoginViewModel::setPassword(const QString& value) {
  if (value == password_) return;
  bool could = canLogin();
  password_ = value;
  emit passwordChanged();
  if (could != canLogin()) emit canLoginChanged();
}

void LoginViewModel::setSelectedCountry(int index) {
  if (index < 0 || index >= static_cast<int>(PhoneCountry::all().size())) return;
  if (index == selectedCountry_) return;
  selectedCountry_ = index;
  emit selectedCountryChanged();
}

QString LoginViewModel::selectedCallingCode() const {
  const PhoneCountry& country = PhoneCountry::all()[static_cast<std::size_t>(selectedCountry_)];
  return country.flag() + QStringLiteral(" +") +
         QString::fromLatin1(country.callingCode.data(),
                             static_cast<qsizetype>(country.callingCode.size()));
}

bool LoginViewModel::canLogin() const {
  return !phoneNumber_.isEmpty() && !password_.isEmpty() && !isLoading_;
}

void LoginViewModel::setLoading(bool loading) {
  if (loading == isLoading_) return;
  bool could = canLogin();
  isLoading_ = loading;
  emit isLoadingChanged();
  if (could != canLogin()) emit canLoginChanged();
}

void LoginViewModel::login() {
  if (!canLogin()) return;
  setLoading(true);
  const PhoneCountry& country = PhoneCountry::all()[static_cast<std::size_t>(selectedCountry_)];
  std::string phone = "+" + std::string(country.callingCode) + phoneNumber_.toStdString();
  runtime::spawn(dependencies_.executor,
                 signIn(QPointer<LoginViewModel>(this), dependencies_.loginManager,
                        std::move(phone), password_.toStdString()));
}

runtime::Task<void> LoginViewModel::signIn(QPointer<LoginViewModel> self,
                                           std::shared_ptr<LoginManager> loginManager,
                                           std::string phone, std::string password) {
  std::exception_ptr error;
  try {
    co_await loginManager->login(std::move(phone), std::move(password));
  } catch (...) {
    error = std::current_exception();
  }
  if (!self) co_return;
  self->setLoading(false);
  // A typed secret outlives no sign-in: after sign-out the field is empty.
  if (!error) self->setPassword(QString());
  if (error) self->toast_.show(describeError(error, true).shown(), toastSeconds);
}

void LoginViewModel::showNotice(const QString& text) { toast_.show(text, toastSeconds); }

void LoginViewModel::openSignUp() { openAccountPage(QStringLiteral("register")); }

void LoginViewModel::openForgotPassword() { openAccountPage(QStringLiteral("reset-password")); }

void LoginViewModel::openAccountPage(const QString& path) {
  QUrl page = websitePage(dependencies_.websiteBaseURL, path);
  if (page.isValid() && dependencies_.openURL) dependencies_.openURL(page);
}

}  // namespace veskar::ui
