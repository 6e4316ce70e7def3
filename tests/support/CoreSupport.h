#pragma once
// Helpers of the tests on QtCore alone, shared by the engine tests that link no widgets
// and (through TestSupport.h) by the rest.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

namespace kxtest {

// Runs the event loop until `done` holds or the time is up; returns `done()`.
inline bool WaitUntil(const std::function<bool()> &done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  QDeadlineTimer deadline(limit);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

// A fresh temporary directory made the working directory for the holder's life: what a
// test runs leaves its files there (the firmware loader's "memmem.mem", logs), never in
// the build or source tree.
class ScopedWorkDir {
 public:
  ScopedWorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
  ~ScopedWorkDir() { QDir::setCurrent(previous_); }
  ScopedWorkDir(const ScopedWorkDir &) = delete;
  ScopedWorkDir &operator=(const ScopedWorkDir &) = delete;
  QString path() const { return dir_.path(); }
  QString file(const QString &name) const { return dir_.filePath(name); }

 private:
  QString previous_;  // taken before dir_ is made the working directory
  QTemporaryDir dir_;
};

}  // namespace kxtest
