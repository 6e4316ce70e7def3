#pragma once
// Helpers shared by the tests.
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

#include <ostream>

#include "tests/support/CoreSupport.h"

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
// A Yes/No question is answered No, or Yes while `answerYes` is set.
class MessageBoxes {
 public:
  MessageBoxes();
  ~MessageBoxes();
  QStringList texts;
  bool answerYes = false;
};

// The share of one core this process used while its event loop ran for `span`
// (user and system time of every thread, from getrusage).
double IdleCpuShare(std::chrono::milliseconds span);

// Makes a file or folder immutable (chattr +i) for as long as it lives: not even root,
// as the tests run, may write it. ok() tells whether chattr did it.
class Immutable {
 public:
  // Why chattr cannot make files immutable in `dir` (it is not installed, or the file
  // system refuses the flag, as tmpfs and overlayfs do, or the user may not set it),
  // or an empty string when it can. See KX_SKIP_UNLESS_IMMUTABLE.
  static QString Unavailable(const QString &dir);

  explicit Immutable(const QString &path);
  ~Immutable() { Release(); }
  Immutable(const Immutable &) = delete;
  Immutable &operator=(const Immutable &) = delete;
  bool ok() const { return !path_.isEmpty(); }
  void Release();

 private:
  QString path_;
};

// The bytes of a file, or an empty array when it cannot be read.
QByteArray ReadAll(const QString &path);

// A helper program (flock, socat, pandoc) started with fork and exec, its standard
// output in a pipe. QProcess starts children with a vfork-like clone that
// ThreadSanitizer does not see: the child runs in the parent's memory, and
// afterwards the sanitizer misses the starting thread's locking and reports races
// that are not there. The child is killed, if still running, and reaped at the end.
class ChildProcess {
 public:
  ChildProcess(const QString &program, const QStringList &arguments);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0; }
  // Standard output until `ms` pass or the child closes it (then everything).
  QByteArray ReadOutput(int ms, bool untilEnd);
  // The exit code once the child has ended within `ms`; -1 when it has not (or died of a signal).
  int Wait(int ms);
  void Signal(int sig);

 private:
  int pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
};

}  // namespace kxtest

// Skips the test, with the reason, where chattr cannot make files immutable in `dir`.
#define KX_SKIP_UNLESS_IMMUTABLE(dir)                                                      \
  do {                                                                                     \
    if (const QString kxWhyNot = kxtest::Immutable::Unavailable(dir); !kxWhyNot.isEmpty()) \
      GTEST_SKIP() << kxWhyNot.toStdString();                                              \
  } while (false)
