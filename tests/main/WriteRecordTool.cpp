// A process that appends to a record file, for the test of several updaters sharing a
// folder: argument 1 the file, 2 a tag for its serial numbers, 3 how many records, 4 the
// moment to start (milliseconds since the epoch), so that two copies start together.
// Exits 0 when every record reached the file.
#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>
#include <ctime>

#include "main/WriteRecord.h"

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() != 5) return 2;
  kx::WriteRecordFile file(args[1]);
  file.failed = [](const QString &m) { std::fprintf(stderr, "%s\n", qPrintable(m)); };
  const int count = args[3].toInt();
  const qint64 startMs = args[4].toLongLong();
  const timespec start{static_cast<time_t>(startMs / 1000), static_cast<long>(startMs % 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &start, nullptr) != 0) {
  }
  kx::WriteRecord r;
  r.time = QDateTime::currentDateTime();
  r.board = QStringLiteral("MainBoard");
  r.image = QStringLiteral("MAIN_Q_SH_7391");
  r.crc32 = QStringLiteral("1A2B3C4D");
  r.port = QStringLiteral("COM9");
  r.version = QStringLiteral("test, \"quoted\"");
  for (int i = 0; i < count; ++i) {
    // Serial numbers with a comma and a quote, so that every row has quoted fields.
    r.serial = QStringLiteral("%1,%2\"").arg(args[2]).arg(i, 6, 10, QChar(u'0'));
    r.result = (i % 2 == 0) ? kx::WriteResult::Started : kx::WriteResult::Written;
    r.seconds = i;
    file.Append(r);
  }
  return file.PendingRows() == 0 ? 0 : 1;
}
