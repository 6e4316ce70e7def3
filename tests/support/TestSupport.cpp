#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

#include "platform/Dialogs.h"

namespace kxtest {

MessageBoxes::MessageBoxes() {
  kx::SetMessageBoxObserver([this](QMessageBox &box) {
    texts.append(box.text());
    QTimer::singleShot(0, &box, &QMessageBox::accept);
  });
}

MessageBoxes::~MessageBoxes() { kx::SetMessageBoxObserver({}); }

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit) {
  QDeadlineTimer deadline(limit);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

ScopedWorkDir::ScopedWorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
ScopedWorkDir::~ScopedWorkDir() { QDir::setCurrent(previous_); }

QByteArray ReadAll(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

}  // namespace kxtest
