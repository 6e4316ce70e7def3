// libFuzzer target for the rules by which the DigiDec window follows the writer tool's
// log: the input is the log file as one poll reads it. The first two bytes give the
// bars' positions before the log (anything, even out of range); the rest is the log.
// Besides the sanitizers' checks, it traps when a rule is broken.
#include <cstddef>
#include <cstdint>

#include "digidec/WriterLog.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace kx::digidec;
  if (size < 2) return 0;
  int bar1 = static_cast<std::int8_t>(data[0]) * 3;
  int bar2 = static_cast<std::int8_t>(data[1]) * 3;
  const QByteArray log(reinterpret_cast<const char *>(data + 2), static_cast<qsizetype>(size - 2));

  QString unfinished;
  const QStringList complete = SplitLines(log, &unfinished);
  const QStringList all = SplitLines(log);
  Require(all.size() == complete.size() + (unfinished.isEmpty() ? 0 : 1));
  for (const QString &line : all) Require(!line.contains(QChar(u'\n')));

  // A line still being written counts once a second read finds it unchanged.
  LogLineReader reader;
  const QStringList first = reader.Lines(log);
  const QStringList second = reader.Lines(log);
  Require(first == complete);
  Require(second == all);
  Require(LogLineReader().Settled(log) == all);

  for (const QString &line : all) {
    const LineOutcome out = CheckLine(line, bar1, bar2);
    Require(out.bar1 >= 0 && out.bar1 <= 100 && out.bar2 >= 0 && out.bar2 <= 100);
    Require(out.shows >= 0 && out.shows <= 2);
    Require(!out.success || (out.bar1 == 100 && out.bar2 == 100));
    Require(out.message.size() <= line.size());
    bar1 = out.bar1;
    bar2 = out.bar2;
  }
  return 0;
}
