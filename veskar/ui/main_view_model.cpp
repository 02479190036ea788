#include "veskar/ui/main_view_model.hpp"

#include "runtime/spawn.hpp"
#include "veskar/control/shared_store.hpp"
#include "veskar/ui/error_text.hpp"
#include "veskar/ui/masked_phone.hpp"

#include <QLocale>
#include <QVariantMap>

#include <algorithm>
#include <utility>

namespace veskar::ui {

MainViewModel::MainViewModel(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      dependencies_(std::move(dependencies)),
      trafficManager_(TrafficManager::create(dependencies_.executor, dependencies_.clock)),
      toast_(dependencies_.executor, dependencies_.clock, [this] { emit toastMessageChanged(); }) {
  loginObserver_ = dependencies_.loginManager->observers().add([this] { emit phoneTextChanged(); });
  vpnObserver_ = dependencies_.vpnManager->observers().add([this] { vpnChanged(); });
  trafficObserver_ = trafficManager_->observers().add([this] { emit trafficTextChanged(); });
  isRunning_ = dependencies_.vpnManager->isConnected();
  shownNodeInfos_ = dependencies_.vpnManager->nodeInfos();
}

MainViewModel::~MainViewModel() {
  dependencies_.loginManager->observers().remove(loginObserver_);
  dependencies_.vpnManager->observers().remove(vpnObserver_);
  trafficManager_->observers().remove(trafficObserver_);
  trafficManager_->cancelMonitoring();
}

QString MainViewModel::phoneText() const {
  return maskedPhoneText(dependencies_.loginManager->currentLoginInfo());
}

QString MainViewModel::trafficText() const {
  if (trafficManager_->isLoading()) return qtTrId("common.loading");
  const auto& traffic = trafficManager_->currentTraffic();
  if (!traffic) return qtTrId("common.unavailable");
  // Read by a person: the decimal separator of their language, on purpose.
  return QString::fromStdString(
      TrafficInfo::format(traffic->remainingBytes, QLocale().decimalPoint().toStdString()));
}

QString MainViewModel::statusText() const {
  const VPNManager& vpn = *dependencies_.vpnManager;
  if (!vpn.isServiceReachable()) return qtTrId("vpn.status.service_stopped");
  if (vpn.isReconnecting()) return qtTrId("vpn.status.reasserting");
  return qtTrId(isRunning_ ? "vpn.status.connected" : "vpn.connect");
}

QVariantList MainViewModel::nodeInfos() const {
  QVariantList rows;
  for (const VPNNodeInfo& node : shownNodeInfos_) {
    rows.append(QVariantMap{{QStringLiteral("id"), QString::fromStdString(node.id)},
                            {QStringLiteral("name"), QString::fromStdString(node.name)},
                            {QStringLiteral("latency"), QString::fromStdString(node.latency)}});
  }
  return rows;
}

void MainViewModel::vpnChanged() {
  const auto& nodes = dependencies_.vpnManager->nodeInfos();
  if (nodes != shownNodeInfos_) {
    shownNodeInfos_ = nodes;
    emit nodeInfosChanged();
  }
  // Outside a toggle the button follows the tunnel, so a tunnel that was
  // already up at launch or dropped meanwhile is not shown wrongly.
  if (!isLoading_) setRunning(dependencies_.vpnManager->isConnected());
  emit statusTextChanged();
}

void MainViewModel::setRunning(bool running) {
  if (running == isRunning_) return;
  isRunning_ = running;
  emit isRunningChanged();
  emit statusTextChanged();
}

void MainViewModel::setLoading(bool loading) {
  if (loading == isLoading_) return;
  isLoading_ = loading;
  emit isLoadingChanged();
}

void MainViewModel::setShowingNodeInfo(bool showing) {
  if (showing == showingNodeInfo_) return;
  showingNodeInfo_ = showing;
  emit showingNodeInfoChanged();
  updateNodeInfoVisibility();
}

void MainViewModel::setWindowActive(bool active) {
  if (active == windowActive_) return;
  windowActive_ = active;
  emit windowActiveChanged();
  updateNodeInfoVisibility();
}

void MainViewModel::updateNodeInfoVisibility() {
  dependencies_.vpnManager->setNodeInfoVisible(showingNodeInfo_ && windowActive_);
}

void MainViewModel::setShowingPermissionAlert(bool showing) {
  if (showing == showingPermissionAlert_) return;
  showingPermissionAlert_ = showing;
  emit permissionAlertChanged();
}

void MainViewModel::appear() {
  bool stored = dependencies_.loginManager->store().highSpeedEnabled();
  if (stored != highSpeedEnabled_) {
    highSpeedEnabled_ = stored;
    emit highSpeedEnabledChanged();
  }
  runtime::spawn(dependencies_.executor, startScreen(QPointer<MainViewModel>(this)));
}

runtime::Task<void> MainViewModel::startScreen(QPointer<MainViewModel> self) {
  auto vpnManager = self->dependencies_.vpnManager;
  auto loginManager = self->dependencies_.loginManager;
  co_await vpnManager->initialize(loginManager);
  if (!self) co_return;
  try {
    auto host = vpnManager->host();
    bool lockdown = co_await host->lockdown();
    if (!self) co_return;
    self->setLockdownShown(lockdown);
  } catch (const std::exception&) {
    // A daemon out of reach: the switch shows off, as the daemon would start.
  }
  if (!self) co_return;
  auto trafficManager = self->trafficManager_;
  co_await trafficManager->startMonitoring(std::weak_ptr<TrafficSource>(loginManager));
}

void MainViewModel::disappear() {
  dependencies_.vpnManager->setNodeInfoVisible(false);
  trafficManager_->cancelMonitoring();
}

void MainViewModel::toggleConnection() {
  if (isLoading_) return;
  setLoading(true);
  runtime::spawn(dependencies_.executor, toggle(QPointer<MainViewModel>(this)));
}

runtime::Task<void> MainViewModel::toggle(QPointer<MainViewModel> self) {
  auto clock = self->dependencies_.clock;
  auto vpnManager = self->dependencies_.vpnManager;
  auto loginManager = self->dependencies_.loginManager;
  double started = clock->uptime();
  std::exception_ptr error;
  try {
    if (vpnManager->isConnected()) {
      co_await vpnManager->disconnect();
    } else if (!co_await vpnManager->connect(loginManager)) {
      runtime::fail(VPNErrorCase::connectionFailed);
    }
  } catch (...) {
    error = std::current_exception();
  }
  if (!self) co_return;
  if (error) self->showFailure(error);
  double elapsed = clock->uptime() - started;
  if (elapsed < minimumProgressSeconds) {
    co_await clock->sleep(minimumProgressSeconds - elapsed, runtime::CancelToken());
    if (!self) co_return;
  }
  self->setLoading(false);
  self->setRunning(vpnManager->isConnected());
}

void MainViewModel::showFailure(std::exception_ptr error) {
  ErrorText text = describeError(error);
  emit toggleFailed(text.shown());
  if (text.kind == FailureKind::sessionExpired) {
    // Back to the sign-in screen, which says why.
    dependencies_.loginManager->signOut();
    emit sessionEnded(text.shown());
    return;
  }
  if (requiresPermissionSettings(text)) {
    permissionAlertMessage_ = text.shown();
    showingPermissionAlert_ = true;
    emit permissionAlertChanged();
  } else {
    toast_.show(text.shown(), errorToastSeconds);
  }
}

void MainViewModel::toggleHighSpeed() {
  highSpeedEnabled_ = !highSpeedEnabled_;
  emit highSpeedEnabledChanged();
  try {
    dependencies_.loginManager->store().defaults().setBool(kHighSpeedEnabledKey, highSpeedEnabled_);
  } catch (const std::exception&) {
    // Not stored: the running tunnel still switches, and the next start
    // falls back to the default.
  }
  dependencies_.vpnManager->setHighSpeedEnabled(highSpeedEnabled_);
  toast_.show(
      qtTrId(highSpeedEnabled_ ? "vpn.high_speed.enabled_toast" : "vpn.high_speed.disabled_toast"),
      highSpeedToastSeconds);
}

void MainViewModel::setLockdownShown(bool enabled) {
  if (enabled == lockdownEnabled_) return;
  lockdownEnabled_ = enabled;
  emit lockdownEnabledChanged();
}

void MainViewModel::toggleLockdown() {
  if (lockdownChanging_) return;
  lockdownChanging_ = true;
  runtime::spawn(dependencies_.executor,
                 setLockdownTask(QPointer<MainViewModel>(this), !lockdownEnabled_));
}

runtime::Task<void> MainViewModel::setLockdownTask(QPointer<MainViewModel> self, bool enabled) {
  auto host = self->dependencies_.vpnManager->host();
  std::exception_ptr error;
  try {
    co_await host->setLockdown(enabled);
  } catch (...) {
    error = std::current_exception();
  }
  if (!self) co_return;
  self->lockdownChanging_ = false;
  if (error) {
    self->showFailure(error);
    co_return;
  }
  self->setLockdownShown(enabled);
  self->toast_.show(qtTrId(enabled ? "vpn.lockdown.enabled_toast" : "vpn.lockdown.disabled_toast"),
                    highSpeedToastSeconds);
}

void MainViewModel::signOut() {
  runtime::spawn(dependencies_.executor, signOutTask(QPointer<MainViewModel>(this)));
}

runtime::Task<void> MainViewModel::signOutTask(QPointer<MainViewModel> self) {
  auto vpnManager = self->dependencies_.vpnManager;
  auto loginManager = self->dependencies_.loginManager;
  auto trafficManager = self->trafficManager_;
  if (vpnManager->isConnected()) co_await vpnManager->disconnect();
  trafficManager->cancelMonitoring();
  loginManager->signOut();
}

void MainViewModel::openHelp() {
  QUrl page = websitePage(dependencies_.websiteBaseURL, QStringLiteral("help"));
  if (page.isValid() && dependencies_.openURL) dependencies_.openURL(page);
}

void MainViewModel::openPermissionSettings() {
  if (dependencies_.openURL && dependencies_.permissionSettingsURL.isValid()) {
    dependencies_.openURL(dependencies_.permissionSettingsURL);
  }
}

}  // namespace veskar::ui
