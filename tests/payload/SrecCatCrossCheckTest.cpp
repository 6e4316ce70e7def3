// The loaders against an independent reader of S-records: srec_cat (srecord).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <algorithm>
#include <random>
#include <string>

#include "payload/Loaders.h"
#include "payload/Payload.h"
#include "payload/SRecord.h"
#include "tests/support/TestSupport.h"

namespace {

QByteArray Bytes(const kx::MemoryStream &s) {
  return QByteArray(reinterpret_cast<const char *>(s.Data()), static_cast<qsizetype>(s.Size()));
}

void Write(const QString &path, const QByteArray &bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
  ASSERT_EQ(f.write(bytes), bytes.size());
}

// Runs srec_cat with `args`; fails the test on any error.
void SrecCat(const QStringList &args) {
  const QString program = QStandardPaths::findExecutable("srec_cat");
  ASSERT_FALSE(program.isEmpty()) << "srec_cat not found (Debian package srecord, see scripts/install-deps)";
  QProcess p;
  p.start(program, args);
  ASSERT_TRUE(p.waitForFinished(60000));
  ASSERT_EQ(p.exitStatus(), QProcess::NormalExit);
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString() << "\nargs: "
                             << args.join(' ').toStdString();
}

QString Hex(qint64 v) { return "0x" + QString::number(v, 16); }

// Random binaries at random addresses, each made into S1, S2 or S3 records of random
// lengths by srec_cat, concatenated in random order, overlaps included. Each piece
// is read back by srec_cat alone; laid over each other in file order (later values
// win), they must give the loader's image.
TEST(SrecCatCrossCheck, RandomRecordsInMixedOrderWithOverlaps) {
  kxtest::ScopedWorkDir dir;
  for (unsigned round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::mt19937 rnd(1000 + round);
    QByteArray combined;
    QByteArray expected(0x40000, '\xFF');
    for (int seg = 0; seg < 12; ++seg) {
      const int length = std::uniform_int_distribution<int>(1, 3000)(rnd);
      // A third of the pieces low enough for 16-bit addresses; some on top of others.
      const int top = (seg % 3 == 0 ? 0x10000 : 0x40000) - length;
      const int address = seg % 4 == 3 ? 0x8000 + seg : std::uniform_int_distribution<int>(0, top)(rnd);
      QByteArray data(length, '\0');
      for (char &c : data) c = static_cast<char>(rnd() & 0xFF);
      Write(dir.file("seg.bin"), data);
      const int addressBytes = std::uniform_int_distribution<int>(2, 4)(rnd);
      const int perRecord = std::uniform_int_distribution<int>(1, 32)(rnd);
      SrecCat({dir.file("seg.bin"), "-binary", "-offset", Hex(address), "-o", dir.file("seg.srec"),
               "-address-length=" + QString::number(addressBytes), "-obs=" + QString::number(perRecord)});
      if (HasFatalFailure()) return;
      SrecCat({dir.file("seg.srec"), "-fill", "0xFF", "0", "0x40000", "-o", dir.file("seg.img"), "-binary"});
      if (HasFatalFailure()) return;
      const QByteArray piece = kxtest::ReadAll(dir.file("seg.img"));
      ASSERT_EQ(piece.size(), 0x40000);
      expected.replace(address, length, piece.mid(address, length));
      combined += kxtest::ReadAll(dir.file("seg.srec"));
    }
    Write(dir.file("all.srec"), combined);
    ASSERT_TRUE(combined.contains("\nS1") && combined.contains("\nS2") && combined.contains("\nS3"));

    // File rule, on srec_cat's LF lines.
    QStringList messages;
    kx::MemoryStream image;
    EXPECT_TRUE(kx::MakeMotStream(dir.file("all.srec"), image, kx::kRomSize,
                                  [&](const QString &t) { messages.append(t); }));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
    EXPECT_TRUE(Bytes(image) == expected);

    // Payload rule, on the same records with CR LF.
    QByteArray crlf = combined;
    crlf.replace("\n", "\r\n");
    const auto r = kx::srec::LoadMotText(std::string_view(crlf.constData(), static_cast<std::size_t>(crlf.size())),
                                         kx::srec::LineRule::Payload, image, kx::kRomSize);
    EXPECT_FALSE(r.error) << r.message;
    EXPECT_TRUE(Bytes(image) == expected);
  }
}

TEST(SrecCatCrossCheck, CarriedFirmwareImagesAndBootPrograms) {
  kxtest::ScopedWorkDir dir;
  for (const char *name : {"MAIN_NONE_SH_7391", "MAIN_B_SH_7391", "MAIN_R_SH_7391", "MAIN_Q_SH_7391",
                           "DECORD_SH_7391", "PANEL_SH_7391"}) {
    SCOPED_TRACE(name);
    Write(dir.file("p.srec"), kx::ReadPayload(name));
    SrecCat({dir.file("p.srec"), "-fill", "0xFF", "0", "0x40000", "-o", dir.file("p.bin"), "-binary"});
    if (HasFatalFailure()) return;
    kx::MemoryStream image;
    ASSERT_TRUE(kx::MakeMotStreamFromResource(name, image, kx::kRomSize, {}));
    EXPECT_TRUE(Bytes(image) == kxtest::ReadAll(dir.file("p.bin")));
  }
  for (const char *name : {"BOOT_SH_7391_MAIN", "BOOT_SH_7391_DECORD", "BOOT_SH_7391_PANEL"}) {
    SCOPED_TRACE(name);
    kx::MemoryStream program;
    ASSERT_TRUE(kx::MakeBootStreamFromResource(name, program, {}));
    Write(dir.file("p.srec"), kx::ReadPayload(name));
    // The RAM window moved to 0, and the loader's gap value (0xFF) as fill.
    SrecCat({dir.file("p.srec"), "-crop", "0xFFFFE800", "0x100000000", "-offset", "-0xFFFFE800", "-fill", "0xFF",
             "0", Hex(static_cast<qint64>(program.Size())), "-o", dir.file("p.bin"), "-binary"});
    if (HasFatalFailure()) return;
    EXPECT_TRUE(Bytes(program) == kxtest::ReadAll(dir.file("p.bin")));
    // The gap of three bytes is really there: srec_cat with another fill differs in exactly three bytes.
    SrecCat({dir.file("p.srec"), "-crop", "0xFFFFE800", "0x100000000", "-offset", "-0xFFFFE800", "-fill", "0x00",
             "0", Hex(static_cast<qint64>(program.Size())), "-o", dir.file("z.bin"), "-binary"});
    if (HasFatalFailure()) return;
    const QByteArray ff = kxtest::ReadAll(dir.file("p.bin")), zero = kxtest::ReadAll(dir.file("z.bin"));
    ASSERT_EQ(ff.size(), zero.size());
    int differ = 0;
    for (qsizetype i = 0; i < ff.size(); ++i) differ += ff[i] != zero[i];
    EXPECT_EQ(differ, 3);
  }
}

}  // namespace
