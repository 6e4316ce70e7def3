#include "digidec/Payloads.h"

#include "payload/Payload.h"

#include "platform/FileError.h"

// The writer stand-in's resource lives in a static library; naming its initialiser here
// keeps the linker from dropping it from the updater.
static void InitWriterPayload() { Q_INIT_RESOURCE(kx_writer_payload); }

namespace kx::digidec {

QByteArray ReadPayload(const QString &name) {
  static const bool once = (InitWriterPayload(), true);
  (void)once;
  return kx::ReadPayload(name);
}

}  // namespace kx::digidec
