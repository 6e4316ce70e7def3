// The version check against a peer that never answers: the retries and the give-up,
// in real time (about 12 s), and Abort.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include "comm/CommX.h"
#include "main/UnitMain.h"
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

TEST_F(VersionCheckSilent, FourRequestsThenGiveUp) {
  SilentPeer peer;
  FormMain->BlockVersion = 1;
  const qsizetype mark = LogMark();
  FormMain->ConnectTestBitBtn->click();
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }, std::chrono::seconds(20)));
  const QByteArray request("\r\nVR\r\nVRP\r\n");
  EXPECT_EQ(peer.heard, request + request + request + request);
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Red);
  EXPECT_EQ(FormMain->BlockVersion, 0);
  EXPECT_FALSE(FormMain->MainBoardBitBtn->isEnabled());
  EXPECT_FALSE(FormMain->DecoderBitBtn->isEnabled());
  EXPECT_FALSE(FormMain->PanelBitBtn->isEnabled());
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_EQ(FormMain->ConnectTestTimer->Tag, 0);
  EXPECT_EQ(LogSince(mark), (QStringList{"[VersionTest](FormMain) clicked", "VersionTest Finish"}));
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
