#include "veskar/ui/qt_executor.hpp"

#include <exception>

namespace veskar::ui {

QEvent::Type QtDispatcher::eventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

bool QtDispatcher::event(QEvent* event) {
  if (event->type() != eventType()) return QObject::event(event);
  // Exceptions must not cross Qt's event loop; spawned work reports its own
  // escapes, so one arriving here is a defect.
  try {
    static_cast<detail::WorkEvent*>(event)->run();
  } catch (...) {
    std::terminate();
  }
  return true;
}

QtMainExecutor::QtMainExecutor() : work_(io_.get_executor()), ioThread_([this] { io_.run(); }) {}

QtMainExecutor::~QtMainExecutor() {
  work_.reset();
  io_.stop();
  ioThread_.join();
}

}  // namespace veskar::ui
