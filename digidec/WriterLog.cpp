#include "digidec/WriterLog.h"

#include <QFile>
#include <algorithm>

namespace kx::digidec {

int HoldInBar(int value) { return std::clamp(value, 0, 100); }

bool IsWindowsProgram(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) && f.read(2) == QByteArrayLiteral("MZ");
}

QString ExitDescription(int exitCode, bool killed) {
  return (killed ? QStringLiteral("killed by signal ") : QStringLiteral("exit code ")) + QString::number(exitCode);
}

namespace {
// The three characters after "P:", blanks before the digits allowed; 0 unless an integer.
int PercentAfter(const QString &message, qsizetype at) {
  QString digits = message.mid(at + 2, 3);
  while (digits.startsWith(QLatin1Char(' '))) digits.remove(0, 1);
  bool ok = false;
  const int value = digits.toInt(&ok, 10);
  return ok ? value : 0;
}
}  // namespace

LineOutcome CheckLine(const QString &line, int bar1, int bar2) {
  LineOutcome out;
  out.bar1 = HoldInBar(bar1);
  out.bar2 = HoldInBar(bar2);
  const qsizetype sep = line.indexOf(QStringLiteral(": "));
  if (sep >= 0) out.message = line.mid(sep + 2);
  const QString &s = out.message;

  if (s.contains(QStringLiteral("E:"))) ++out.shows;
  if (s.contains(QStringLiteral("I:"))) {
    // Each new phase moves the overall bar to its next step; the phase bar starts again.
    if (s == QStringLiteral("I:Erasing..")) {
      out.bar1 = HoldInBar((out.bar1 + 13) / 25 * 25 + 5);
      out.bar2 = 0;
    }
    if (s.contains(QStringLiteral("I:Erase "))) out.bar2 = HoldInBar(out.bar2 + 18);
    if (s == QStringLiteral("I:Writing..")) {
      out.bar1 = HoldInBar((out.bar1 - 5 + 13) / 25 * 25 + 15);
      out.bar2 = 0;
    }
    if (s == QStringLiteral("I:Comparing..")) {
      out.bar1 = HoldInBar((out.bar1 - 15 + 13) / 25 * 25 + 25);
      out.bar2 = 0;
    }
    if (s == QStringLiteral("I:Success")) {
      out.bar1 = 100;
      out.bar2 = 100;
      out.success = true;
    }
    ++out.shows;
  }
  if (const qsizetype p = s.indexOf(QStringLiteral("P:")); p >= 0) out.bar2 = HoldInBar(PercentAfter(s, p));
  return out;
}

QStringList SplitLines(const QByteArray &bytes, QString *unfinished) {
  QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
  // What follows the last line end: empty for a complete log, else an unfinished line.
  QString tail = lines.takeLast();
  for (QString &l : lines) {
    if (l.endsWith(QLatin1Char('\r'))) l.chop(1);
  }
  if (unfinished) {
    *unfinished = tail;
  } else if (!tail.isEmpty()) {
    lines.append(tail);
  }
  return lines;
}

QStringList LogLineReader::Lines(const QByteArray &bytes) {
  QString unfinished;
  QStringList lines = SplitLines(bytes, &unfinished);
  if (!unfinished.isEmpty() && unfinished == lastUnfinished_) lines.append(unfinished);
  lastUnfinished_ = unfinished;
  return lines;
}

QStringList LogLineReader::Settled(const QByteArray &bytes) {
  QStringList lines = SplitLines(bytes, &lastUnfinished_);
  if (!lastUnfinished_.isEmpty()) lines.append(lastUnfinished_);
  return lines;
}

QString RotatedLogName(const QDateTime &lastChange) {
  return QStringLiteral("log_") + lastChange.toString(QStringLiteral("yyyyMMdd_HHmm")) + QStringLiteral(".txt");
}

QDateTime FileTimeToLocalDateTime(const QDateTime &fileTime) {
  if (!fileTime.isValid()) return QDateTime(QDate(1899, 12, 30), QTime(0, 0));
  return fileTime.toLocalTime();
}

}  // namespace kx::digidec
