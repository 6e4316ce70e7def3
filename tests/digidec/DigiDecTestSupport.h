#pragma once
// Fixtures shared by the DigiDec tests: a tool folder of their own in place of the one
// beside the test executable, and the two windows the DigiDec window works with.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include "digidec/Deployment.h"
#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "tests/support/TestSupport.h"

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

// The main log's texts without their stamps.
inline QStringList LogTexts() {
  QStringList texts;
  for (const QString &l : FormMain->Log().MainLines()) texts.append(l.mid(24));
  return texts;
}

// FormMain (without its start-up) and FormDigiDec, in a working directory that is not
// the tool's base folder.
class DigiDecWindows {
 public:
  DigiDecWindows() {
    FormMain = new TFormMain;
    QDir().mkpath(base.tool());
  }
  ~DigiDecWindows() {
    delete FormDigiDec;
    FormDigiDec = nullptr;
    delete FormMain;
    FormMain = nullptr;
  }
  // Creates the DigiDec window, which looks at the tool folder's log at once.
  TFormDigiDec *Create() {
    FormDigiDec = new TFormDigiDec;
    return FormDigiDec;
  }
  QString logTxt() const { return base.toolFile(QStringLiteral("log.txt")); }

  ScopedWorkDir work;
  ToolBase base;
  MessageBoxes boxes;
};

}  // namespace kxtest
