#pragma once
// What the DigiDec tests share without widgets: a tool folder of their own in place of
// the one beside the test executable, the payloads to deploy into it, stand-in tools
// the test controls, and the processes of a tool's group.
#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <stdexcept>

#include <sys/types.h>

#include "digidec/Deployment.h"

namespace kxtest {

// The catalogue's sizes of the two images, which the writer tool checks.
constexpr qsizetype kImageSize = 567045;
constexpr qsizetype kImage10Size = 567419;

// A temporary folder that stands for the executable's folder while it lives.
class ToolBase {
 public:
  ToolBase() { kx::digidec::SetBaseDirectory(dir_.path()); }
  ~ToolBase() {
    kx::digidec::SetBaseDirectory(QString());
    kx::digidec::SetPayloads(nullptr);
  }
  QString path() const { return dir_.path(); }
  QString tool() const { return dir_.filePath(QStringLiteral("digidecw")); }
  QString toolFile(const QString &name) const { return tool() + QLatin1Char('/') + name; }

 private:
  QTemporaryDir dir_;
};

// Payloads for the deployment: the real writer stand-in and images of the carried sizes.
inline QMap<QString, QByteArray> RunnablePayloads() {
  return {{QStringLiteral("WRITER_CMD_EXEC"), kx::digidec::ReadPayload(QStringLiteral("WRITER_CMD_EXEC"))},
          {QStringLiteral("DIGIDEC_A57"), QByteArray(kImageSize, '\x5a')},
          {QStringLiteral("DIGIDEC_10_A57"), QByteArray(kImage10Size, '\xa5')}};
}

inline kx::digidec::PayloadReader ReaderOf(const QMap<QString, QByteArray> &payloads) {
  return [payloads](const QString &name) {
    if (!payloads.contains(name)) throw std::runtime_error("Payload " + name.toStdString() + " not found.");
    return payloads.value(name);
  };
}

inline void WriteFile(const QString &path, const QByteArray &bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
    throw std::runtime_error("cannot write " + path.toStdString());
}

// The bytes of a file, or an empty array when it cannot be read.
inline QByteArray ReadFile(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Deploys the runnable payloads into base's tool folder; false when that fails.
inline bool DeployRunnable(const ToolBase &base, const QMap<QString, QByteArray> &payloads = RunnablePayloads()) {
  kx::digidec::DeployReport quiet{[](const QString &) {}, [] {}, [](const QString &) {}, [](const QString &) {}};
  return kx::digidec::DeployWriterTool(base.path(), ReaderOf(payloads), quiet);
}

// Writes a shell script as the deployed tool.
inline void InstallScriptTool(const ToolBase &base, const QByteArray &script) {
  QDir().mkpath(base.tool());
  const QString path = base.toolFile(kx::digidec::kToolFileName);
  QFile::remove(path);
  WriteFile(path, script);
  QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// A tool that writes nothing and ends when the test says: it waits for the file "end"
// in its folder and ends with the exit code written there, or aborts for "abort".
inline const QByteArray kHeldTool = "#!/bin/sh\n"
                                    "ulimit -c 0\n"
                                    "while [ ! -e end ]; do sleep 0.02; done\n"
                                    "code=$(cat end)\n"
                                    "rm -f end\n"
                                    "if [ \"$code\" = abort ]; then kill -ABRT $$; fi\n"
                                    "exit \"$code\"\n";

// A hung tool that ignores SIGTERM and has started a second process of its group.
inline const QByteArray kHungToolWithChild = "#!/bin/sh\n"
                                             "trap '' TERM\n"
                                             "sleep 1000 &\n"
                                             "sleep 1000\n";

// The live (not yet reaped zombie) processes of process group pgid, from /proc.
inline int LiveProcessesOfGroup(pid_t pgid) {
  int n = 0;
  for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    bool number = false;
    entry.toInt(&number);
    if (!number) continue;
    QFile f(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
    if (!f.open(QIODevice::ReadOnly)) continue;
    const QByteArray stat = f.readAll();
    // "pid (comm) state ppid pgrp ...": comm may hold blanks, so count from its ")".
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() > 2 && fields[2].toLongLong() == pgid && fields[0] != "Z" && fields[0] != "X") ++n;
  }
  return n;
}

// Runs the event loop until `done` holds or the time is up; returns `done()`.
inline bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  QDeadlineTimer deadline(limit);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

}  // namespace kxtest
