#include "digidec/Payloads.h"

#include <QFile>

#include "platform/FileError.h"

// The writer stand-in's resource lives in a static library; naming its initialiser here
// keeps the linker from dropping it from the updater.
static void InitWriterPayload() { Q_INIT_RESOURCE(kx_writer_payload); }

namespace kx::digidec {

QByteArray ReadPayload(const QString &name) {
  static const bool once = (InitWriterPayload(), true);
  (void)once;
  QFile f(QStringLiteral(":/payloads/") + name);
  if (!f.open(QIODevice::ReadOnly)) throw EFileError(QStringLiteral("Payload %1 not found.").arg(name));
  return f.readAll();
}

}  // namespace kx::digidec
