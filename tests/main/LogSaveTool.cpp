// A process that saves the main log in the working directory again and again, for the
// tests that kill it in the middle: argument 1 the number of saves of three lines,
// argument 2 the lines of one large save after them (none when 0). It tells each
// finished save on stdout ("saved N"), and "large" before the large save starts.
#include <QCoreApplication>
#include <cstdio>

#include "main/OperationLog.h"

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  const int saves = args.value(1).toInt();
  const int large = args.value(2).toInt();
  kx::OperationLog log;
  log.saveFailed = [](const QString &m) { std::fprintf(stderr, "%s\n", qPrintable(m)); };
  log.Open(kx::OperationLog::kMain);
  for (int s = 0; s < saves; ++s) {
    for (int l = 0; l < 3; ++l) log.Add(QStringLiteral("save %1 line %2").arg(s).arg(l));
    log.Save(kx::OperationLog::kMain);
    std::printf("saved %d\n", s);
    std::fflush(stdout);
  }
  if (large > 0) {
    for (int l = 0; l < large; ++l) log.Add(QStringLiteral("save %1 line %2").arg(saves).arg(l));
    std::printf("large\n");
    std::fflush(stdout);
    log.Save(kx::OperationLog::kMain);
    std::printf("saved %d\n", saves);
  }
  return log.PendingLines() == 0 ? 0 : 1;
}
