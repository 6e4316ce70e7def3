// libFuzzer target for what the write record reads from files: the record file's CSV and
// the end of a serial-number log. Besides the sanitizers' checks, it traps when a rule
// breaks: rows written back field by field read as the same rows, a record read from a
// row reads the same once written again, and a write found interrupted has a board and a
// valid start.
#include <cstddef>
#include <cstdint>

#include "main/WriteRecord.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));

  const QList<QStringList> rows = kx::ParseCsv(text);
  QString again;
  for (const QStringList &row : rows) {
    Require(!row.isEmpty());
    QStringList cells;
    for (const QString &f : row) cells.append(kx::CsvField(f));
    again += cells.join(u',') + QStringLiteral("\r\n");
    if (const auto record = kx::WriteRecordFromFields(row)) {
      const auto back = kx::WriteRecordFromFields(kx::ParseCsv(QString::fromUtf8(kx::WriteRecordRow(*record))).value(0));
      Require(back.has_value());
      Require(back->serial == record->serial && back->image == record->image && back->version == record->version &&
              back->result == record->result && back->time == record->time);
    }
  }
  Require(kx::ParseCsv(again) == rows);

  for (const bool inside : {false, true}) {
    if (const auto w = kx::LastWriteInterrupted(text, inside)) {
      Require(!w->board.isEmpty() && !w->board.contains(u' '));
      Require(w->started.isValid());
      Require(w->startedText.size() == 19);
      Require(!kx::InterruptedWriteMessage(*w).isEmpty());
    }
  }
  return 0;
}
