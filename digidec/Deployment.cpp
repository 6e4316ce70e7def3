#include "digidec/Deployment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <unistd.h>

#include "platform/FileError.h"

namespace kx::digidec {

namespace {
QString &BaseOverride() {
  static QString dir;
  return dir;
}
PayloadReader &ReaderOverride() {
  static PayloadReader reader;
  return reader;
}

// A file appears whole or not at all, so that a failed or interrupted copy never
// leaves a truncated tool or image behind for the next start to take as deployed.
void WriteWhole(const QString &path, const QByteArray &bytes, bool executable) {
  QSaveFile f(path);
  f.setDirectWriteFallback(false);
  if (!f.open(QIODevice::WriteOnly)) throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, f.errorString()));
  if (executable) {
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup |
                     QFileDevice::ExeOther);
  }
  if (f.write(bytes) != bytes.size() || !f.commit())
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, f.errorString()));
}
}  // namespace

const std::array<DeployedFile, 3> &DeployedFiles() {
  static const std::array<DeployedFile, 3> files{{
      {kToolFileName, QStringLiteral("WRITER_CMD_EXEC"), true},
      {kImageFileName, QStringLiteral("DIGIDEC_A57"), false},
      {kImage10FileName, QStringLiteral("DIGIDEC_10_A57"), false},
  }};
  return files;
}

namespace {
// access() rather than the permission bits: it also answers for read-only mounts,
// immutable folders and root.
bool Writable(const QString &dir) { return ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0; }
}  // namespace

QString ChooseBaseDirectory(const QString &exeDir, const QString &userDataDir) {
  const QString beside = QDir(exeDir).filePath(kToolDirName);
  if (QFileInfo(beside).isDir()) return Writable(beside) ? exeDir : userDataDir;
  // Where nothing of that name can be made as a folder either, the deployment reports it there.
  return Writable(exeDir) ? exeDir : userDataDir;
}

QString UserDataDirectory() {
  return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
      .filePath(QStringLiteral("kx7391updater"));
}

QString BaseDirectory() {
  if (!BaseOverride().isEmpty()) return BaseOverride();
  return ChooseBaseDirectory(QCoreApplication::applicationDirPath(), UserDataDirectory());
}
void SetBaseDirectory(const QString &dir) { BaseOverride() = dir; }
QString ToolDirectory() { return QDir(BaseDirectory()).filePath(kToolDirName); }

PayloadReader Payloads() { return ReaderOverride() ? ReaderOverride() : PayloadReader(ReadPayload); }
void SetPayloads(PayloadReader reader) { ReaderOverride() = std::move(reader); }

bool DeployWriterTool(const QString &baseDir, const PayloadReader &read, const DeployReport &report) {
  const QString dir = QDir(baseDir).filePath(kToolDirName);
  if (!QFileInfo(dir).isDir()) {
    report.logAdd(QStringLiteral(" Make Dir ") + dir);
    if (!QDir().mkpath(dir)) {
      report.logAdd(QStringLiteral(" False! MakeDir"));
      report.logSave();
      report.messageBox(QStringLiteral("Can not Make directory [") + dir + QStringLiteral("]"));
      return false;
    }
  }
  bool complete = true;
  for (const DeployedFile &file : DeployedFiles()) {
    const QString path = dir + QLatin1Char('/') + file.fileName;
    QString error;
    if (!QFileInfo::exists(path)) {
      report.logAdd(QStringLiteral(" Make File ") + path);
      // A payload or disk failure ends this file only; the others are still tried.
      try {
        WriteWhole(path, read(file.payload), file.executable);
      } catch (const std::exception &e) {
        error = QString::fromUtf8(e.what());
      }
    }
    if (!QFileInfo::exists(path)) {
      report.logAdd(QStringLiteral("Can nor Make file [") + path + QStringLiteral("]"));
      report.logSave();
      if (!error.isEmpty()) report.errorBox(error);
      complete = false;
    }
  }
  return complete;
}

bool MakeExeAndA57(const DeployReport &report) { return DeployWriterTool(BaseDirectory(), Payloads(), report); }

}  // namespace kx::digidec
