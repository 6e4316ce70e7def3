#include "platform/serial/PortMap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <map>

namespace kx::serial {
namespace {

struct Scheme {
  const char *prefix;
  int firstPort;
};
constexpr Scheme kSchemes[] = {{"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}};
constexpr int kPerScheme = 32;

// "COMn" with n from 1 to 8 digits, as a port name can carry no more.
int PortNoFromName(const QString &name) {
  static const QRegularExpression re(QStringLiteral("^COM([1-9][0-9]{0,7})$"));
  const QRegularExpressionMatch m = re.match(name);
  return m.hasMatch() ? m.captured(1).toInt() : 0;
}

bool BackedByHardware(const PortRoots &roots, const QString &name, bool legacyUart) {
  const QString sys = roots.sysTtyDir + QLatin1Char('/') + name;
  if (!QFileInfo::exists(sys + QStringLiteral("/device"))) return false;
  if (!legacyUart) return true;
  // An 8250 port without a chip behind it has type 0 (unknown).
  QFile type(sys + QStringLiteral("/type"));
  if (!type.open(QIODevice::ReadOnly)) return false;
  const QByteArray t = type.readAll().trimmed();
  return !t.isEmpty() && t != "0";
}

}  // namespace

PortRoots PortRoots::FromEnvironment() {
  PortRoots r;
  if (const QString dir = qEnvironmentVariable("KX7391_PORT_DIR"); !dir.isEmpty())
    r.portDir = dir;
  else if (const QString run = qEnvironmentVariable("XDG_RUNTIME_DIR"); !run.isEmpty())
    r.portDir = run + QStringLiteral("/kx7391/ports");
  else
    r.portDir = QDir::homePath() + QStringLiteral("/.cache/kx7391/ports");
  return r;
}

QString DevicePath(int portNo, const PortRoots &roots) {
  if (portNo <= 0 || portNo > 99999999) return {};
  const QString link = roots.portDir + QStringLiteral("/COM") + QString::number(portNo);
  if (QFileInfo(link).isSymLink()) return link;
  for (const Scheme &s : kSchemes)
    if (portNo >= s.firstPort && portNo < s.firstPort + kPerScheme)
      return roots.devDir + QLatin1Char('/') + QLatin1String(s.prefix) + QString::number(portNo - s.firstPort);
  return {};
}

std::optional<std::vector<PortEntry>> ListPorts(const PortRoots &roots) {
  std::map<int, PortEntry> ports;

  for (const Scheme &s : kSchemes) {
    const QString prefix = QLatin1String(s.prefix);
    const QStringList names = QDir(roots.devDir).entryList({prefix + QLatin1Char('*')}, QDir::System | QDir::Files);
    for (const QString &name : names) {
      bool ok = false;
      const int k = name.mid(prefix.size()).toInt(&ok);
      if (!ok || k < 0 || k >= kPerScheme || name != prefix + QString::number(k)) continue;
      if (!BackedByHardware(roots, name, s.firstPort == 1)) continue;
      const int n = s.firstPort + k;
      ports[n] = {n, QStringLiteral("COM") + QString::number(n), roots.devDir + QLatin1Char('/') + name};
    }
  }

  const QFileInfo dirInfo(roots.portDir);
  if (dirInfo.exists() || dirInfo.isSymLink()) {
    if (!dirInfo.isDir() || !dirInfo.isReadable() || !dirInfo.isExecutable()) return std::nullopt;
    const QFileInfoList links = QDir(roots.portDir).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &link : links) {
      const int n = PortNoFromName(link.fileName());
      // A link whose device has gone (an unplugged adapter, a stopped simulator) is no port.
      if (n == 0 || !link.isSymLink() || !link.exists()) continue;
      ports[n] = {n, link.fileName(), link.symLinkTarget()};  // a pinned name wins over the scheme
    }
  }

  std::vector<PortEntry> list;
  for (auto &[n, e] : ports) list.push_back(std::move(e));
  return list;
}

}  // namespace kx::serial
