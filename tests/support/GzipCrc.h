#pragma once
// The CRC-32 of some bytes as gzip computes it: the first four of the last eight bytes of
// its output, little-endian. The record tests check the updater's CRC against it, so
// that the value comes from a program other than the one under test.
#include <QByteArray>
#include <QProcess>
#include <QString>

namespace kxtest {

// Eight upper-case hex digits; empty when gzip could not be run.
inline QString GzipCrc32(const QByteArray &bytes) {
  QProcess gzip;
  gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), QStringLiteral("-1")});
  if (!gzip.waitForStarted()) return {};
  gzip.write(bytes);
  gzip.closeWriteChannel();
  QByteArray out;
  while (gzip.waitForReadyRead(10000)) out += gzip.readAllStandardOutput();
  gzip.waitForFinished();
  out += gzip.readAllStandardOutput();
  if (gzip.exitCode() != 0 || out.size() < 18) return {};
  const auto *t = reinterpret_cast<const unsigned char *>(out.constData() + out.size() - 8);
  const quint32 crc = quint32(t[0]) | quint32(t[1]) << 8 | quint32(t[2]) << 16 | quint32(t[3]) << 24;
  return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0')).toUpper();
}

}  // namespace kxtest
