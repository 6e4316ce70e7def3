// The terminal beside an SH write against the simulated receiver: the write takes
// the port from timed sending, and "COM Close" cannot break the write off.
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QPlainTextEdit>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/shboot/WriterRig.h"
#include "tests/support/TestSupport.h"

using namespace shtest;
namespace sim = kx::sim;

namespace {

class TerminalBesideAWrite : public WriterTest {};

TEST_F(TerminalBesideAWrite, TheWriteStopsTimedSendingAndComCloseIsRefusedUntilItEnds) {
  StartReceiver();
  BoxAnswerer boxes;
  ChooseBoard(1);
  const std::vector<std::uint8_t> image = LoadedImage();

  // Timed sending to the receiver on the terminal's own port, every second.
  QTemporaryDir files;
  const QString path = files.filePath(QStringLiteral("cmd.txt"));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("VR\r\n");
  f.close();
  FormTerminal->OpenButtonClick();
  FormTerminal->SendFileEdit->setText(path);
  FormTerminal->SendTimer->Tag = 1;
  FormTerminal->TimerSendButtonClick();
  ASSERT_TRUE(FormTerminal->SendTimer->isActive());

  FormSHBoot->WriteButton->click();
  // Programming under way.
  ASSERT_TRUE(kxtest::WaitUntil([&] { return BootState != 0 && rx->counters().framesReceived >= 2; },
                                std::chrono::seconds(15)));
  EXPECT_FALSE(FormTerminal->SendTimer->isActive());
  EXPECT_EQ(FormTerminal->TimerSendButton->text(), QStringLiteral("Timer Send Start"));
  FormTerminal->TerminalRxFlush();
  EXPECT_TRUE(FormTerminal->RichEdit1->toPlainText().contains(
      QStringLiteral("; Timer Send stopped: the SH writer takes the port\n")));

  // Mid-flash: refused with a message, the port stays open.
  FormTerminal->CloseButtonClick();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].startsWith(QStringLiteral("COM Close is not possible while an SH write is running")))
      << boxes.texts[0].toStdString();
  EXPECT_TRUE(FormMain->CommX1->IsOpen());
  EXPECT_TRUE(FormTerminal->CloseButton->isEnabled());

  // Typed and file sends would land in the block frames: each is refused with a note.
  FormTerminal->CommandComboBox->setEditText(QStringLiteral("VR"));
  FormTerminal->SendButtonClick();
  FormTerminal->CommandComboBox->setEditText(QStringLiteral("55 AA"));
  FormTerminal->SendHEXButtonClick();
  FormTerminal->FileSendStartButtonClick();
  FormTerminal->TerminalRxFlush();
  EXPECT_EQ(FormTerminal->RichEdit1->toPlainText().count(
                QStringLiteral("; The SH writer holds the port: nothing was sent\n")),
            3);

  ASSERT_TRUE(kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(boxes.texts.size(), 1) << boxes.texts.join(" | ").toStdString();
  EXPECT_TRUE(rx->programmed(sim::Board::Decoder));
  EXPECT_TRUE(rx->flash(sim::Board::Decoder) == image) << "the receiver's flash differs from the loaded image";
  EXPECT_EQ(FormMain->DecoderBitBtn->FontColor(), kx::colors::Blue);
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
}

}  // namespace
