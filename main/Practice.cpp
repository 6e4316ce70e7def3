#include "main/Practice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <signal.h>
#include <sys/prctl.h>

#include "platform/FileError.h"

namespace kx {

QString HomeWorkFolder() { return QDir::home().filePath(QStringLiteral("KX7391Updater")); }
QString PracticeWorkFolder() { return QDir(HomeWorkFolder()).filePath(QStringLiteral("practice")); }
QString PracticeCaptionSuffix() { return QStringLiteral(" \u2014 practice with a simulated receiver"); }

void WorkIn(const QString &folder) {
  if (!QDir().mkpath(folder) || !QDir::setCurrent(folder))
    throw EFileError(QStringLiteral("Can not work in the folder [%1]: it cannot be made or entered.").arg(folder));
}

Practice::Practice() = default;

Practice::~Practice() {
  if (sim_.state() == QProcess::NotRunning) return;
  sim_.terminate();
  if (!sim_.waitForFinished(5000)) {
    sim_.kill();
    sim_.waitForFinished(5000);
  }
}

QString Practice::SimulatorProgram() {
  if (const QString set = qEnvironmentVariable("KX7391_SIM"); !set.isEmpty()) return set;
  // Beside the updater in a build tree; in the installation's bin/ (the updater itself lives
  // in lib/kx7391updater/).
  const QDir appDir(QCoreApplication::applicationDirPath());
  for (const QString &candidate :
       {appDir.filePath(QStringLiteral("kx7391-sim")), appDir.filePath(QStringLiteral("../../bin/kx7391-sim"))}) {
    if (QFileInfo(candidate).isExecutable()) return QDir::cleanPath(candidate);
  }
  return QStandardPaths::findExecutable(QStringLiteral("kx7391-sim"));
}

void Practice::Start() {
  const QString program = SimulatorProgram();
  if (program.isEmpty())
    throw EFileError(QStringLiteral("Practice needs the receiver simulator kx7391-sim, which was not found "
                                    "beside the updater nor on PATH."));
  ports_ = std::make_unique<QTemporaryDir>(QDir::temp().filePath(QStringLiteral("kx7391-practice-XXXXXX")));
  if (!ports_->isValid())
    throw EFileError(QStringLiteral("Practice cannot make its port folder: %1").arg(ports_->errorString()));

  sim_.setProgram(program);
  sim_.setArguments({QStringLiteral("--port-dir"), ports_->path(), QStringLiteral("--com"),
                     QString::number(kComNumber)});
  sim_.setStandardInputFile(QProcess::nullDevice());
  // Should the updater die without closing, the simulator goes with it.
  sim_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
  sim_.start();
  if (!sim_.waitForStarted(10000))
    throw EFileError(QStringLiteral("Practice cannot start the receiver simulator %1: %2").arg(program, sim_.errorString()));

  // The simulator announces its port in one line once the port is published.
  const QDeadlineTimer deadline(10000);
  while (!sim_.canReadLine() && sim_.state() == QProcess::Running && !deadline.hasExpired())
    sim_.waitForReadyRead(int(deadline.remainingTime()));
  if (!sim_.canReadLine()) {
    const QString said = QString::fromLocal8Bit(sim_.readAllStandardError()).trimmed();
    throw EFileError(QStringLiteral("The receiver simulator %1 did not start%2")
                         .arg(program, said.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + said));
  }
  announcement_ = QString::fromLocal8Bit(sim_.readLine()).trimmed();
  qputenv("KX7391_PORT_DIR", QFile::encodeName(ports_->path()));
}

}  // namespace kx
