#pragma once

// One application per user session: the first launch listens on a local
// socket in the user's runtime directory; a later launch finds it there, asks
// it to show its window and leaves.

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace veskar::ui {

class SingleInstance final : public QObject {
  Q_OBJECT

 public:
  // "$XDG_RUNTIME_DIR/veskar.instance", else a per-user name in the temporary
  // folder (where the lock file beside it goes too).
  static QString defaultName();

  explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);

  // True when this process is now the one instance; false when another one
  // answered (and was asked to show itself).
  bool claim();

 signals:
  // Another launch asked for the window.
  void activationRequested();

 private:
  QString name_;
  QLocalServer server_;
};

}  // namespace veskar::ui
