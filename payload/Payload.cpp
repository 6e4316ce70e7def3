#include "payload/Payload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QResource>

#include "platform/FileError.h"

// The payload files are compiled into a separate library of their own; referring
// to its registration function keeps the linker from dropping it.
static void InitPayloadResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(payloads);
    return true;
  }();
  (void)done;
}

namespace kx {

namespace {

const QString kPrefix = QStringLiteral(":/payloads/");

// The carried name that matches `name` without regard to case, or an empty string.
QString ResolveName(const QString &name) {
  InitPayloadResources();
  if (name.isEmpty()) return {};
  if (QFileInfo::exists(kPrefix + name)) return name;
  for (const QString &entry : PayloadNames())
    if (entry.compare(name, Qt::CaseInsensitive) == 0) return entry;
  return {};
}

}  // namespace

QString PayloadPath(const QString &name) { return kPrefix + name; }

bool PayloadExists(const QString &name) { return !ResolveName(name).isEmpty(); }

QByteArray ReadPayload(const QString &name) {
  const QString found = ResolveName(name);
  if (found.isEmpty()) throw EFileError(QStringLiteral("Resource %1 not found").arg(name));
  QFile file(kPrefix + found);
  if (!file.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Resource %1 cannot be read: %2").arg(name, file.errorString()));
  return file.readAll();
}

QStringList PayloadNames() {
  InitPayloadResources();
  QStringList names = QDir(kPrefix).entryList(QDir::Files, QDir::Name);
  return names;
}

}  // namespace kx
