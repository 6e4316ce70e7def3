#pragma once
// The payloads the updater carries: named, read-only blocks of bytes embedded with
// the Qt resource system as ":/payloads/NAME".
#include <QByteArray>
#include <QString>
#include <optional>

namespace kx {

// Resource path of a payload, ":/payloads/NAME".
QString PayloadPath(const QString &name);

// Whether a payload of that name is carried (names compare case-insensitively).
bool PayloadExists(const QString &name);

// The whole payload. A name that is not carried raises kx::EFileError with
// "Resource NAME not found", which no caller catches: it ends the operation under way.
QByteArray ReadPayload(const QString &name);

// Lets a test stand a damaged payload in for a carried one: ReadPayload(name) gives
// `bytes` until the override is lifted with std::nullopt. Nothing in the updater sets it.
void SetPayloadOverride(const QString &name, std::optional<QByteArray> bytes);

}  // namespace kx
