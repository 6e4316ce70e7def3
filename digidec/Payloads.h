#pragma once
// Read access to the payloads the DigiDec deployment writes to disk.
#include <QByteArray>
#include <QString>
#include <functional>

namespace kx::digidec {

// The payload NAME whole, from the carried payloads (the writer stand-in included).
// Raises kx::EFileError when the updater does not carry it.
QByteArray ReadPayload(const QString &name);

// Where the deployment takes its payloads from; tests hand in their own.
using PayloadReader = std::function<QByteArray(const QString &name)>;

}  // namespace kx::digidec
