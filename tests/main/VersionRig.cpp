#include "tests/main/VersionRig.h"

#include <QDir>
#include <QTemporaryDir>

#include "comm/CommX.h"
#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"

namespace vctest {

namespace {
QTemporaryDir &WorkDir() {
  static QTemporaryDir dir;
  return dir;
}
}  // namespace

QString PortDir() { return WorkDir().filePath(QStringLiteral("ports")); }

void EnsureWindows() {
  if (FormMain) return;
  QDir::setCurrent(WorkDir().path());
  QDir().mkpath(PortDir());
  qputenv("KX7391_PORT_DIR", PortDir().toLocal8Bit());
  FormMain = new TFormMain;
  FormMain->FormCreate();
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormDigiDec = new TFormDigiDec;
  FormMain->CommX1->SetPortNo(kPort);
}

std::unique_ptr<kx::sim::Receiver> StartReceiver(kx::sim::Options opt) {
  opt.pace = false;
  opt.portDir = PortDir().toStdString();
  opt.comNumber = kPort;
  auto rx = std::make_unique<kx::sim::Receiver>(opt);
  rx->start();
  return rx;
}

qsizetype LogMark() { return FormMain->Log().MainLines().size(); }

QStringList LogSince(qsizetype mark) {
  QStringList out;
  const QStringList &lines = FormMain->Log().MainLines();
  for (qsizetype i = mark; i < lines.size(); ++i) out.append(lines[i].mid(24));
  return out;
}

}  // namespace vctest
