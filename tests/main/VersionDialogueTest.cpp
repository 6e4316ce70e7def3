// The version dialogue engine on QtCore alone (no widgets linked), against the simulated
// receiver: a complete answer, the receiver not ready yet, and the give-up after three
// repeats when no answer is ever whole.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <memory>

#include "comm/CommX.h"
#include "main/VersionDialogue.h"
#include "sim/Receiver.h"
#include "tests/support/CoreSupport.h"

namespace sim = kx::sim;

namespace {

constexpr int kSimPort = 9;

class VersionDialogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QDir(dir.path()).mkpath(QStringLiteral("ports"));
    qputenv("KX7391_PORT_DIR", dir.filePath(QStringLiteral("ports")).toLocal8Bit());
    port = std::make_unique<TCommX>();
    port->SetFlowCtrl(cfcNone);
    port->SetPortNo(kSimPort);
    port->SetBitRate(115200);
    dialogue = std::make_unique<kx::VersionDialogue>(
        *port, fields, kx::VersionCheckLog{[this](const QString &t) { log.append(t); }, [] {}});
    QObject::connect(dialogue.get(), &kx::VersionDialogue::GaveUp, [this] { gaveUp = true; });
    port->OnReceive = [this](QObject *, int size) {
      std::vector<std::uint8_t> buf(static_cast<std::size_t>(size));
      const int got = port->ReceiveBlock(buf.data(), size);
      for (int i = 0; i < got && dialogue->Running(); ++i) {
        const kx::VersionLineResult r = dialogue->Receive(buf[static_cast<std::size_t>(i)]);
        if (r != kx::VersionLineResult::None) {
          result = r;
          dialogue->Stop();
        }
      }
    };
  }

  void TearDown() override {
    dialogue->Stop();
    port->PortClose();
    if (rx) rx->stop();
  }

  void StartReceiver(sim::Options opt) {
    opt.portDir = dir.filePath(QStringLiteral("ports")).toStdString();
    opt.comNumber = kSimPort;
    rx = std::make_unique<sim::Receiver>(opt);
    rx->start();
  }

  void Start() {
    dialogue->Start([this] { port->PortOpen(); });
  }

  QTemporaryDir dir;
  std::unique_ptr<TCommX> port;
  kx::VersionCheckFields fields;
  std::unique_ptr<kx::VersionDialogue> dialogue;
  std::unique_ptr<sim::Receiver> rx;
  std::optional<kx::VersionLineResult> result;
  bool gaveUp = false;
  QStringList log;
};

}  // namespace

TEST_F(VersionDialogueTest, AWholeAnswerFillsTheFieldsAndEndsTheRepeats) {
  sim::Options opt;
  opt.versions = {"402A", "3N4A", "510A"};
  StartReceiver(opt);
  // Fields an earlier check left behind are cleared first.
  fields.VR_str = QStringLiteral("VER-C stale");
  fields.ms_tmp = QStringLiteral("old");
  Start();
  ASSERT_TRUE(kxtest::WaitUntil([this] { return result.has_value(); }, std::chrono::seconds(5)));
  EXPECT_EQ(*result, kx::VersionLineResult::Complete);
  EXPECT_EQ(fields.rs_tmp, " KX7391D");  // as parsed: the blank after "VER-C" stays
  EXPECT_EQ(fields.ms_tmp, "402A");
  EXPECT_EQ(fields.ds_tmp, "3N4A");
  EXPECT_EQ(fields.ps_tmp, "510A");
  EXPECT_EQ(dialogue->Repeats(), 0);
  EXPECT_FALSE(dialogue->Running());
  EXPECT_EQ(rx->counters().versionRequests, 1u);
}

TEST_F(VersionDialogueTest, AReceiverNotReadyAsksForARetry) {
  sim::Options opt;
  opt.notReadySeconds = 30;
  StartReceiver(opt);
  Start();
  ASSERT_TRUE(kxtest::WaitUntil([this] { return result.has_value(); }, std::chrono::seconds(5)));
  EXPECT_EQ(*result, kx::VersionLineResult::Retry);
  EXPECT_EQ(fields.CanNotFindFlag, 1);
}

TEST_F(VersionDialogueTest, NoWholeAnswerGivesUpAfterThreeRepeats) {
  sim::Options opt;
  opt.faults = {{sim::FaultKind::CutAnswer, 1}, {sim::FaultKind::CutAnswer, 2},
                {sim::FaultKind::CutAnswer, 3}, {sim::FaultKind::CutAnswer, 4}};
  StartReceiver(opt);
  QElapsedTimer clock;
  clock.start();
  Start();
  ASSERT_TRUE(kxtest::WaitUntil([this] { return gaveUp; }, std::chrono::seconds(20)));
  const qint64 elapsed = clock.elapsed();
  EXPECT_GE(elapsed, 4 * kx::VersionDialogue::kRequestIntervalMs - 100);
  EXPECT_LT(elapsed, 4 * kx::VersionDialogue::kRequestIntervalMs + 2000);
  EXPECT_FALSE(result.has_value());
  EXPECT_FALSE(dialogue->Running());
  EXPECT_EQ(rx->counters().versionRequests, 4u);
  EXPECT_EQ(rx->counters().panelRequests, 4u);
}

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
