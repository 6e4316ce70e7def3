#pragma once
// Helpers shared by the tests.
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

#include <ostream>

// Readable failure messages for Qt strings in GoogleTest.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) {
  *os << '{';
  for (const QString &s : l) *os << " \"" << s.toStdString() << '"';
  *os << " }";
}

namespace kxtest {

// Records the text of every message box and closes each as the user would with OK,
// after its nested event loop has started. Restores the previous state when destroyed.
class MessageBoxes {
 public:
  MessageBoxes();
  ~MessageBoxes();
  QStringList texts;
};

// Runs the event loop until `done` holds or the time is up; returns `done()`.
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The share of one core this process used while its event loop ran for `span`
// (user and system time of every thread, from getrusage).
double IdleCpuShare(std::chrono::milliseconds span);

// A fresh temporary directory made the working directory for the fixture's life.
class ScopedWorkDir {
 public:
  ScopedWorkDir();
  ~ScopedWorkDir();
  QString path() const { return dir_.path(); }
  QString file(const QString &name) const { return dir_.filePath(name); }

 private:
  QTemporaryDir dir_;
  QString previous_;
};

// The bytes of a file, or an empty array when it cannot be read.
QByteArray ReadAll(const QString &path);

}  // namespace kxtest
