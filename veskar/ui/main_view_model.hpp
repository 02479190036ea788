#pragma once

// The main screen's state and actions: the connect button with its progress,
// the masked phone number and remaining traffic, the node list with first-hop
// delays (polled only while shown in an active window), the high-speed and
// lockdown switches, sign-out, the toast and the permission alert.

#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "veskar/control/login_manager.hpp"
#include "veskar/tunnel/traffic_manager.hpp"
#include "veskar/tunnel/vpn_manager.hpp"
#include "veskar/ui/toast.hpp"
#include "veskar/ui/url_opener.hpp"

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariantList>

#include <cstdint>
#include <memory>

namespace veskar::ui {

class MainViewModel final : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
  Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
  Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
  Q_PROPERTY(QString phoneText READ phoneText NOTIFY phoneTextChanged)
  Q_PROPERTY(QString trafficText READ trafficText NOTIFY trafficTextChanged)
  Q_PROPERTY(QVariantList nodeInfos READ nodeInfos NOTIFY nodeInfosChanged)
  Q_PROPERTY(bool showingNodeInfo READ showingNodeInfo WRITE setShowingNodeInfo NOTIFY
                 showingNodeInfoChanged)
  Q_PROPERTY(bool windowActive READ windowActive WRITE setWindowActive NOTIFY windowActiveChanged)
  Q_PROPERTY(bool highSpeedEnabled READ highSpeedEnabled NOTIFY highSpeedEnabledChanged)
  Q_PROPERTY(bool lockdownEnabled READ lockdownEnabled NOTIFY lockdownEnabledChanged)
  Q_PROPERTY(QString toastMessage READ toastMessage NOTIFY toastMessageChanged)
  Q_PROPERTY(bool showingPermissionAlert READ showingPermissionAlert WRITE setShowingPermissionAlert
                 NOTIFY permissionAlertChanged)
  Q_PROPERTY(
      QString permissionAlertMessage READ permissionAlertMessage NOTIFY permissionAlertChanged)

 public:
  static constexpr double minimumProgressSeconds = 1;
  static constexpr double errorToastSeconds = 3;
  static constexpr double highSpeedToastSeconds = 2;

  struct Dependencies {
    runtime::Executor executor;
    std::shared_ptr<LoginManager> loginManager;
    std::shared_ptr<VPNManager> vpnManager;
    std::shared_ptr<runtime::Clock> clock;
    QUrl websiteBaseURL;
    UrlOpener openURL;
    QUrl permissionSettingsURL;
  };

  explicit MainViewModel(Dependencies dependencies, QObject* parent = nullptr);
  ~MainViewModel() override;

  bool isRunning() const { return isRunning_; }
  bool isLoading() const { return isLoading_; }
  // The button's words: connect, or the tunnel's state while it runs or the
  // service is away.
  QString statusText() const;
  QString phoneText() const;
  QString trafficText() const;
  QVariantList nodeInfos() const;
  bool showingNodeInfo() const { return showingNodeInfo_; }
  void setShowingNodeInfo(bool showing);
  bool windowActive() const { return windowActive_; }
  void setWindowActive(bool active);
  bool highSpeedEnabled() const { return highSpeedEnabled_; }
  bool lockdownEnabled() const { return lockdownEnabled_; }
  QString toastMessage() const { return toast_.message(); }
  bool showingPermissionAlert() const { return showingPermissionAlert_; }
  void setShowingPermissionAlert(bool showing);
  QString permissionAlertMessage() const { return permissionAlertMessage_; }

  const std::shared_ptr<TrafficManager>& trafficManager() const { return trafficManager_; }

  // The screen appeared: reads the high-speed setting and the daemon's
  // lockdown, loads the tunnel's state and starts the traffic monitor.
  Q_INVOKABLE void appear();
  // The screen went away: node polling and the traffic monitor stop.
  Q_INVOKABLE void disappear();
  // Connects or disconnects, showing progress for at least a second.
  Q_INVOKABLE void toggleConnection();
  Q_INVOKABLE void toggleHighSpeed();
  // The daemon keeps and applies it; the switch moves once it has.
  Q_INVOKABLE void toggleLockdown();
  // Disconnects when connected, stops the traffic monitor, forgets the sign-in.
  Q_INVOKABLE void signOut();
  Q_INVOKABLE void openHelp();
  Q_INVOKABLE void openPermissionSettings();

 signals:
  void isRunningChanged();
  void isLoadingChanged();
  void statusTextChanged();
  void phoneTextChanged();
  void trafficTextChanged();
  void nodeInfosChanged();
  void showingNodeInfoChanged();
  void windowActiveChanged();
  void highSpeedEnabledChanged();
  void lockdownEnabledChanged();
  void toastMessageChanged();
  void permissionAlertChanged();
  // The sign-in ended under the user (an expired session): the text says so.
  void sessionEnded(const QString& text);
  // A connect or disconnect failed; the text says why.
  void toggleFailed(const QString& text);

 private:
  void setRunning(bool running);
  void setLoading(bool loading);
  void updateNodeInfoVisibility();
  void vpnChanged();
  void showFailure(std::exception_ptr error);
  static runtime::Task<void> toggle(QPointer<MainViewModel> self);
  static runtime::Task<void> startScreen(QPointer<MainViewModel> self);
  static runtime::Task<void> signOutTask(QPointer<MainViewModel> self);
  static runtime::Task<void> setLockdownTask(QPointer<MainViewModel> self, bool enabled);
  void setLockdownShown(bool enabled);

  Dependencies dependencies_;
  std::shared_ptr<TrafficManager> trafficManager_;
  std::uint64_t loginObserver_ = 0;
  std::uint64_t vpnObserver_ = 0;
  std::uint64_t trafficObserver_ = 0;
  bool isRunning_ = false;
  bool isLoading_ = false;
  bool showingNodeInfo_ = false;
  bool windowActive_ = true;
  bool highSpeedEnabled_ = true;
  bool lockdownEnabled_ = false;
  bool lockdownChanging_ = false;
  bool showingPermissionAlert_ = false;
  QString permissionAlertMessage_;
  std::vector<VPNNodeInfo> shownNodeInfos_;
  Toast toast_;
};

}  // namespace veskar::ui
