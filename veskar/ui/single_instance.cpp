#include "veskar/ui/single_instance.hpp"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

#include <utility>

namespace veskar::ui {

namespace {

constexpr int kAnswerMilliseconds = 2000;
constexpr char kShow[] = "show\n";

}  // namespace

QString SingleInstance::defaultName() {
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) return QDir(runtime).filePath(QStringLiteral("veskar.instance"));
  return QDir(QDir::tempPath()).filePath(QStringLiteral("veskar-%1.instance").arg(::getuid()));
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_.nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (peer->readAll().contains("show")) emit activationRequested();
      });
    }
  });
}

bool SingleInstance::claim() {
  // Two launches at once must not both decide they are first.
  QLockFile lock(name_ + QStringLiteral(".lock"));
  lock.lock();
  QLocalSocket first;
  first.connectToServer(name_);
  if (first.waitForConnected(kAnswerMilliseconds)) {
    first.write(kShow);
    first.waitForBytesWritten(kAnswerMilliseconds);
    first.disconnectFromServer();
    return false;
  }
  // Nobody answers: a socket left by a process that died is in the way.
  QLocalServer::removeServer(name_);
  return server_.listen(name_);
}

}  // namespace veskar::ui
