#pragma once
// Appending to a file that several processes may append to at once.
#include <QByteArray>
#include <QString>
#include <functional>

namespace kx {

struct AppendResult {
  // How many bytes reached the file: all that `compose` gave unless `error` is set.
  qint64 written = 0;
  // Empty on success, else the file, what failed and the system's reason.
  QString error;
};

// Opens `path` for appending (created when missing), asks `compose` for the bytes to
// add, given the size the file had when opened (0 for a new or empty file), writes
// them with one write() on an O_APPEND descriptor, so that appends of other processes
// never cut into them, and flushes them to the disk before returning.
AppendResult AppendToFile(const QString &path, const std::function<QByteArray(qint64 sizeBefore)> &compose);

}  // namespace kx
