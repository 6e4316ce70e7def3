#include "payload/Payload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QResource>
#include <map>
#include <mutex>

#include "platform/FileError.h"

// The payload files are compiled into a separate library of their own; referring
// to its registration function keeps the linker from dropping it.
static void InitPayloadResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(carried_payloads);
    return true;
  }();
  (void)done;
}

namespace kx {

namespace {

const QString kPrefix = QStringLiteral(":/payloads/");

std::mutex g_overrideMutex;
std::map<QString, QByteArray> g_overrides;  // by the carried name

std::optional<QByteArray> Override(const QString &name) {
  std::lock_guard lock(g_overrideMutex);
  const auto it = g_overrides.find(name);
  if (it == g_overrides.end()) return std::nullopt;
  return it->second;
}

// The carried name that matches `name` without regard to case, or an empty string.
QString ResolveName(const QString &name) {
  InitPayloadResources();
  if (name.isEmpty()) return {};
  if (QFileInfo::exists(kPrefix + name)) return name;
  for (const QString &entry : QDir(kPrefix).entryList(QDir::Files))
    if (entry.compare(name, Qt::CaseInsensitive) == 0) return entry;
  return {};
}

}  // namespace

QString PayloadPath(const QString &name) { return kPrefix + name; }

bool PayloadExists(const QString &name) { return !ResolveName(name).isEmpty(); }

QByteArray ReadPayload(const QString &name) {
  const QString found = ResolveName(name);
  if (found.isEmpty()) throw EFileError(QStringLiteral("Resource %1 not found").arg(name));
  if (auto bytes = Override(found)) return *bytes;
  QFile file(kPrefix + found);
  if (!file.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Resource %1 cannot be read: %2").arg(name, file.errorString()));
  return file.readAll();
}

void SetPayloadOverride(const QString &name, std::optional<QByteArray> bytes) {
  const QString found = ResolveName(name);
  std::lock_guard lock(g_overrideMutex);
  if (bytes) {
    g_overrides[found.isEmpty() ? name : found] = *bytes;
  } else {
    g_overrides.erase(found.isEmpty() ? name : found);
  }
}

}  // namespace kx
