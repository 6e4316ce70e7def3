// The version check against a peer that never answers: the retries and the give-up,
// in real time (about 12 s), and Abort.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSocketNotifier>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/main/VersionRig.h"
#include "tests/support/TestSupport.h"

using namespace vctest;

namespace {

// A pseudo-terminal published as COM<kPort> whose far end only listens.
class SilentPeer {
 public:
  SilentPeer() {
    char name[256] = {};
    EXPECT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    link_ = PortDir() + QStringLiteral("/COM%1").arg(kPort);
    QFile::remove(link_);
    EXPECT_TRUE(QFile::link(QString::fromLocal8Bit(name), link_));
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      char buf[256];
      ssize_t n;
      while ((n = ::read(master_, buf, sizeof buf)) > 0) heard.append(buf, n);
    });
  }
  ~SilentPeer() {
    notifier_.reset();
    QFile::remove(link_);
    ::close(master_);
    ::close(slave_);
  }
  QByteArray heard;

 private:
  int master_ = -1, slave_ = -1;
  QString link_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

class VersionCheckSilent : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureWindows();
    FormMain->Step03LabelClick();
  }
};

}  // namespace

// The receiver is still off at the first click: the check gives up after four
// requests, and the flag returns to what the serial number gives, so the check that
// follows, with the receiver on, chooses the image from the serial number and the answer.
TEST_F(VersionCheckSilent, GiveUpThenRetryKeepsTheSerialNumbersVariant) {
  FormMain->SerialNumberEdit->setText(QStringLiteral("09710001"));
  FormMain->SerialNumberEditExit();
  {
    SilentPeer peer;
    const qsizetype mark = LogMark();
    FormMain->ConnectTestBitBtn->click();
    ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }, std::chrono::seconds(20)));
    const QByteArray request("\r\nVR\r\nVRP\r\n");
    EXPECT_EQ(peer.heard, request + request + request + request);
    EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Red);
    EXPECT_EQ(FormMain->Receiver.BlockVersion(), 1);
    EXPECT_FALSE(FormMain->MainBoardBitBtn->isEnabled());
    EXPECT_FALSE(FormMain->DecoderBitBtn->isEnabled());
    EXPECT_FALSE(FormMain->PanelBitBtn->isEnabled());
    EXPECT_FALSE(FormMain->CommX1->IsOpen());
    EXPECT_EQ(FormMain->VersionDialogue1->Repeats(), 0);
    EXPECT_EQ(LogSince(mark), (QStringList{"[VersionTest](FormMain) clicked", "VersionTest Finish"}));
  }
  kx::sim::Options opt;
  opt.versions = {"402AR", "3N4A", "510A"};
  auto rx = StartReceiver(opt);
  FormMain->ConnectTestBitBtn->click();
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }));
  EXPECT_EQ(FormMain->MainVerLabel->text(), QStringLiteral("402AR => 403AQ"));
  const qsizetype mark = LogMark();
  FormMain->MainBoardBitBtn->click();
  const QStringList log = LogSince(mark);
  ASSERT_EQ(log.size(), 2);
  EXPECT_TRUE(log[1].startsWith(QStringLiteral("Initial for MainBoard  ["))) << log[1].toStdString();
  EXPECT_TRUE(log[1].endsWith(QStringLiteral("(MAIN_Q_SH_7391)"))) << log[1].toStdString();
  FormSHBoot->hide();
}

TEST_F(VersionCheckSilent, AbortEndsTheCheckAndKeepsTheCaptionYellow) {
  SilentPeer peer;
  FormMain->ConnectTestBitBtn->click();
  EXPECT_TRUE(FormMain->CommX1->IsOpen());
  FormMain->AbortButton->click();
  EXPECT_EQ(FormMain->ConnectTestBitBtn->Tag, 0);
  EXPECT_FALSE(FormMain->ConnectTestTimer->isActive());
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_FALSE(FormMain->AbortButton->isEnabled());
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Yellow);
  EXPECT_TRUE(FormMain->MainBoardBitBtn->isEnabled());
}
