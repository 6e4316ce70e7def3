// The record of an SH write through the windows against the simulated receiver: a row
// and a log line when the run starts, another pair when it ends, with the CRC-32 of the
// flash image the run sends.
#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <QPushButton>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "main/WriteRecord.h"
#include "payload/Loaders.h"
#include "shboot/UnitSHBoot.h"
#include "tests/shboot/WriterRig.h"
#include "tests/support/GzipCrc.h"
#include "tests/support/TestSupport.h"

using namespace shtest;
namespace sim = kx::sim;

namespace {

const QString kVersion = QStringLiteral("7.3.91-test");
const QString kSerial = QStringLiteral("09680661");

// The carried image as the flash holds it once written: 0x40000 bytes, erased past its end.
QByteArray FlashImage(const QString &name) {
  kx::MemoryStream s;
  EXPECT_TRUE(kx::MakeMotStreamFromResource(name, s, kx::kRomSize, {}));
  QByteArray flash(kx::kRomSize, char(0xFF));
  std::copy_n(s.Bytes().begin(), std::min<std::size_t>(s.Size(), kx::kRomSize), flash.begin());
  return flash;
}

// The rows of the record file, none before its first write.
QList<kx::WriteRecord> Records() {
  const QString path = QString::fromLatin1(kx::kWriteRecordFileName);
  if (!QFile::exists(path)) return {};
  const kx::WriteRecordFileContents c = kx::ReadWriteRecordFile(path);
  EXPECT_TRUE(c.error.isEmpty()) << c.error.toStdString();
  EXPECT_EQ(c.otherRows, 0);
  return c.records;
}

qsizetype IndexStarting(const QStringList &lines, const QString &prefix) {
  for (qsizetype i = 0; i < lines.size(); ++i)
    if (lines[i].startsWith(prefix)) return i;
  return -1;
}

enum class How { ToTheEnd, AbortWhileWriting, NoReceiver };

struct Case {
  const char *name;
  int board;
  const char *boardName;
  const char *image;
  std::vector<sim::Fault> faults;
  How how;
  kx::WriteResult result;
};

class WriteRecordRun : public WriterTest, public ::testing::WithParamInterface<Case> {};

TEST_P(WriteRecordRun, StartAndEndAreOnRecord) {
  const Case &c = GetParam();
  QCoreApplication::setApplicationVersion(kVersion);
  kxtest::MessageBoxes boxes;
  // No receiver: COM9 names a device that is not there, so the open fails.
  const QString noDevice = qEnvironmentVariable("KX7391_PORT_DIR") + QStringLiteral("/COM%1").arg(kSimPort);
  if (c.how == How::NoReceiver)
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent/kx7391-no-receiver"), noDevice));
  else
    StartReceiver(c.faults);
  struct Unlink {
    QString path;
    bool on;
    ~Unlink() {
      if (on) QFile::remove(path);
    }
  } unlink{noDevice, c.how == How::NoReceiver};
  ChooseBoard(c.board);
  const QByteArray flash = FlashImage(QString::fromLatin1(c.image));
  const QString crc = kxtest::GzipCrc32(flash);
  ASSERT_EQ(crc.size(), 8) << "gzip did not run";
  const qsizetype rows = Records().size();
  const qsizetype mark = LogMark();

  if (c.how == How::AbortWhileWriting) {
    FormSHBoot->WriteButton->click();
    ASSERT_TRUE(SettleInState(64));
    // The start is on the disk, in the receiver's own log, while the board is written.
    const kx::InterruptedWriteLook look = kx::LookForInterruptedWriteOf(kSerial);
    ASSERT_TRUE(look.interrupted.has_value());
    EXPECT_EQ(look.interrupted->board, QLatin1String(c.boardName));
    EXPECT_EQ(Records().size(), rows + 1);
    FormSHBoot->AbortButtonClick();
  } else {
    ASSERT_TRUE(RunUntilIdle());
  }

  const QList<kx::WriteRecord> records = Records().mid(rows);
  ASSERT_EQ(records.size(), 2);
  for (const kx::WriteRecord &r : records) {
    EXPECT_EQ(r.serial, kSerial);
    EXPECT_EQ(r.board, QLatin1String(c.boardName));
    EXPECT_EQ(r.image, QLatin1String(c.image));
    EXPECT_EQ(r.crc32, crc);
    EXPECT_EQ(r.port, QStringLiteral("COM%1").arg(kSimPort));
    EXPECT_EQ(r.version, kVersion);
  }
  EXPECT_EQ(records[0].result, kx::WriteResult::Started);
  EXPECT_EQ(records[1].result, c.result);
  EXPECT_GE(records[1].seconds, 0.0);
  EXPECT_LT(records[1].seconds, 60.0);
  EXPECT_LE(records[0].time, records[1].time);
  if (c.how == How::ToTheEnd && c.result == kx::WriteResult::Written) {
    EXPECT_GT(records[1].seconds, 0.0);
    // What the board holds now is what the record names.
    const std::vector<std::uint8_t> written = rx->flash(static_cast<sim::Board>(c.board));
    EXPECT_EQ(kxtest::GzipCrc32(QByteArray(reinterpret_cast<const char *>(written.data()),
                                           static_cast<qsizetype>(written.size()))),
              crc);
  }

  // The log lines: the start before the port is taken, the end once the run is over.
  const QStringList log = LogSince(mark);
  const QString start = QStringLiteral("Write record: started %1 %2 CRC-32 %3 COM%4")
                            .arg(QLatin1String(c.boardName), QLatin1String(c.image), crc)
                            .arg(kSimPort);
  const qsizetype startAt = log.indexOf(start);
  ASSERT_GE(startAt, 0) << log.join('|').toStdString();
  EXPECT_LT(startAt, IndexStarting(log, QStringLiteral("COMM port open")));
  const QString endPrefix = QStringLiteral("Write record: %1 %2 %3 CRC-32 %4 COM%5 ")
                                .arg(kx::WriteResultText(c.result), QLatin1String(c.boardName),
                                     QLatin1String(c.image), crc)
                                .arg(kSimPort);
  const qsizetype endAt = IndexStarting(log, endPrefix);
  ASSERT_GT(endAt, startAt) << log.join('|').toStdString();
  EXPECT_TRUE(log[endAt].endsWith(QStringLiteral(" s")));
  EXPECT_EQ(IndexStarting(log.mid(endAt + 1), QStringLiteral("Write record:")), -1) << "one end only";
  if (c.how == How::ToTheEnd) {
    EXPECT_LT(IndexStarting(log, QStringLiteral("COMM port close")), endAt);
  }
  // ...in the receiver's own log too, and it knows the write ended.
  const QStringList &serialLines = FormMain->Log().SerialLines();
  EXPECT_TRUE(std::any_of(serialLines.begin(), serialLines.end(),
                          [&](const QString &l) { return l.mid(24).startsWith(endPrefix); }));
  EXPECT_FALSE(kx::LookForInterruptedWriteOf(kSerial).interrupted.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, WriteRecordRun,
    ::testing::Values(
        Case{"Written", 0, "MainBoard", "MAIN_NONE_SH_7391", {}, How::ToTheEnd, kx::WriteResult::Written},
        Case{"Aborted", 1, "Decoder", "DECORD_SH_7391", {{sim::FaultKind::WriteTimeout, 5}}, How::AbortWhileWriting,
             kx::WriteResult::Aborted},
        Case{"WriteError", 2, "Panel", "PANEL_SH_7391", {{sim::FaultKind::WriteError, 3}}, How::ToTheEnd,
             kx::WriteResult::Failed},
        // Nothing answers at COM9: the run ends before it reaches the board.
        Case{"PortNotOpened", 0, "MainBoard", "MAIN_NONE_SH_7391", {}, How::NoReceiver, kx::WriteResult::Failed}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
