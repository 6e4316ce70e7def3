// The carried payloads, read through the loaders as the writer window reads them.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>
#include <QList>

#include "payload/JpegImage.h"
#include "payload/Loaders.h"
#include "platform/Dialogs.h"
#include "payload/Payload.h"
#include "platform/FileError.h"
#include "tests/support/TestSupport.h"

namespace {

QByteArray Bytes(const kx::MemoryStream &s) {
  return QByteArray(reinterpret_cast<const char *>(s.Data()), static_cast<qsizetype>(s.Size()));
}

struct Firmware {
  const char *name;
  const char *version;
  int last;  // last address any record writes
};

const Firmware kFirmware[] = {
    {"MAIN_NONE_SH_7391", "403A", 0x3FD86}, {"MAIN_B_SH_7391", "403AB", 0x3FF2E},
    {"MAIN_R_SH_7391", "403AR", 0x3FD76},   {"MAIN_Q_SH_7391", "403AQ", 0x3FF12},
    {"DECORD_SH_7391", "3N5A", 0x3A28F},    {"PANEL_SH_7391", "511A", 0x37CF7},
};

TEST(PayloadCatalogue, EveryFirmwareLoadsWithoutMessageAndIsSavedToMemmem) {
  QList<QByteArray> images;
  for (const Firmware &f : kFirmware) {
    SCOPED_TRACE(f.name);
    kxtest::ScopedWorkDir dir;
    kxtest::MessageBoxes boxes;
    kx::MemoryStream firm;
    EXPECT_TRUE(kx::MakeMotStreamFromResource(f.name, firm, kx::kRomSize, kx::MessageBoxSink()));
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('\n').toStdString();
    ASSERT_EQ(firm.Size(), 0x40000u);
    const QByteArray image = Bytes(firm);
    EXPECT_EQ(kxtest::ReadAll(dir.file("memmem.mem")), image);

    // The version marker the receiver reports back after programming.
    const QByteArray marker = QByteArray("KX7391-FW-VER=") + f.version + '\0';
    EXPECT_EQ(image.mid(0x800, marker.size()), marker);
    EXPECT_EQ(image.count(QByteArray("KX7391-FW-VER=")), 1);

    // Past the last record only erased flash; before it, blank blocks among data.
    EXPECT_NE(static_cast<unsigned char>(image.at(f.last)), 0xFFu);
    EXPECT_EQ(image.mid(f.last + 1), QByteArray(0x40000 - f.last - 1, '\xFF'));
    int blank = 0, data = 0;
    for (int b = 0; b < (f.last + 1) / 128; ++b)
      (image.mid(b * 128, 128) == QByteArray(128, '\xFF') ? blank : data)++;
    EXPECT_GT(blank, 50);
    EXPECT_GT(data, 1500);
    images.append(image);
  }
  // The four MainBoard variants are four different images.
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(images[i], images[j]) << i << " " << j;
}

TEST(PayloadCatalogue, BootProgramsGiveTheirTransferStreams) {
  struct Boot {
    const char *name;
    int size;
    unsigned char high, low;
  };
  const Boot boots[] = {{"BOOT_SH_7391_MAIN", 2804, 0x0A, 0xF4},
                        {"BOOT_SH_7391_DECORD", 2804, 0x0A, 0xF4},
                        {"BOOT_SH_7391_PANEL", 2828, 0x0B, 0x0C}};
  QList<QByteArray> streams;
  for (const Boot &b : boots) {
    SCOPED_TRACE(b.name);
    kxtest::MessageBoxes boxes;
    kx::MemoryStream boot, echo;
    EXPECT_TRUE(kx::MakeBootStreamFromResource(b.name, boot, kx::MessageBoxSink()));
    kx::BootStreamInit(boot, boot, echo);
    EXPECT_TRUE(boxes.texts.isEmpty());
    const QByteArray stream = Bytes(boot);
    ASSERT_EQ(stream.size(), b.size + 2);
    EXPECT_EQ(static_cast<unsigned char>(stream[0]), b.high);
    EXPECT_EQ(static_cast<unsigned char>(stream[1]), b.low);
    EXPECT_EQ(Bytes(echo), stream);
    EXPECT_EQ(boot.Position(), boot.Size());
    EXPECT_EQ(echo.Position(), echo.Size());

    // The first program byte is the first data byte of the S3 record at 0xFFFFE800,
    // whatever the S1 records before it hold.
    const QByteArray text = kx::ReadPayload(b.name);
    const qsizetype at = text.indexOf("FFFFE800");
    ASSERT_GT(at, 0);
    EXPECT_EQ(QByteArray::fromHex(text.mid(at + 8, 2)), stream.mid(2, 1));
    streams.append(stream);
  }
  // Same size, different programs: the MainBoard's and the Decoder's differ.
  EXPECT_NE(streams[0], streams[1]);
}

TEST(PayloadCatalogue, PicturesDecodeAtTheirSizesWithTheRightSwitchesRed) {
  struct Picture {
    const char *name;
    int width, height;
    QList<int> on;  // switches drawn red
  };
  const Picture pictures[] = {{"JPG_BOTTOM", 135, 117, {}},
                              {"JPG_DIP_1ON", 130, 54, {1}},
                              {"JPG_DIP_2ON", 130, 54, {2}},
                              {"JPG_DIP_23ON", 130, 54, {2, 3}},
                              {"JPG_DIP_ALLOFF", 130, 53, {}}};
  for (const Picture &p : pictures) {
    SCOPED_TRACE(p.name);
    const QImage image = kx::JpgImageFromResource(p.name);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(p.width, p.height));
    if (QByteArray(p.name) == "JPG_BOTTOM") continue;
    for (int sw = 1; sw <= 4; ++sw) {
      // Count strongly red and strongly green pixels in the switch's column.
      int red = 0, green = 0;
      for (int x = 32 + 23 * (sw - 1) + 3; x < 32 + 23 * (sw - 1) + 13; ++x)
        for (int y = 0; y < image.height(); ++y) {
          const QColor c = image.pixelColor(x, y);
          red += c.red() > 160 && c.green() < 90 && c.blue() < 90;
          green += c.green() > 130 && c.red() < 90 && c.blue() < 110;
        }
      const bool on = p.on.contains(sw);
      EXPECT_EQ(red > 30, on) << "switch " << sw;
      EXPECT_EQ(green > 30, !on) << "switch " << sw;
    }
  }
}

TEST(PayloadCatalogue, DigiDecImagesHaveTheirSizes) {
  EXPECT_EQ(kx::ReadPayload("DIGIDEC_A57").size(), 567045);
  EXPECT_EQ(kx::ReadPayload("DIGIDEC_10_A57").size(), 567419);
}

TEST(PayloadCatalogue, NamesCompareWithoutCaseAndAMissingOneIsAPlatformError) {
  EXPECT_EQ(kx::ReadPayload("jpg_bottom"), kx::ReadPayload("JPG_BOTTOM"));
  EXPECT_TRUE(kx::PayloadExists("Boot_SH_7391_Main"));
  EXPECT_FALSE(kx::PayloadExists("NO_SUCH_PAYLOAD"));
  try {
    kx::ReadPayload("NO_SUCH_PAYLOAD");
    FAIL() << "no error";
  } catch (const kx::EFileError &e) {
    EXPECT_STREQ(e.what(), "Resource NO_SUCH_PAYLOAD not found");
  }
  kx::MemoryStream firm;
  firm.Fill(0x11, 3);
  EXPECT_THROW(kx::MakeMotStreamFromResource("NO_SUCH_PAYLOAD", firm, kx::kRomSize, {}), kx::EFileError);
  EXPECT_THROW(kx::JpgImageFromResource("NO_SUCH_PAYLOAD"), kx::EFileError);
  // A payload that is not a picture is refused by the decoder, not shown broken.
  EXPECT_THROW(kx::JpgImageFromResource("BOOT_SH_7391_MAIN"), kx::EJpegError);
}

}  // namespace
