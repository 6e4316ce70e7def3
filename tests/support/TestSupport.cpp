#include "tests/support/TestSupport.h"

#include <sys/resource.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
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

namespace {
double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}
}  // namespace

double IdleCpuShare(std::chrono::milliseconds span) {
  const double before = CpuSeconds();
  QElapsedTimer wall;
  wall.start();
  // A plain event loop that sleeps until the timer: WaitUntil polls.
  QEventLoop loop;
  QTimer::singleShot(span, &loop, &QEventLoop::quit);
  loop.exec();
  return (CpuSeconds() - before) / (static_cast<double>(wall.nsecsElapsed()) / 1e9);
}

ScopedWorkDir::ScopedWorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
ScopedWorkDir::~ScopedWorkDir() { QDir::setCurrent(previous_); }

QByteArray ReadAll(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

}  // namespace kxtest
