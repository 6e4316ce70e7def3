#include "tests/shboot/WriterRig.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "platform/Dialogs.h"
#include "platform/Tick.h"
#include "shboot/BootClock.h"
#include "shboot/BootFrame.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/support/TestSupport.h"

namespace shtest {

namespace {

std::atomic<std::uint32_t> g_clockOffset{0};
std::uint32_t OffsetTick() { return kx::GetTickCount() + g_clockOffset.load(); }

QTemporaryDir &WorkDir() {
  static QTemporaryDir dir;
  return dir;
}

constexpr int kStampLength = 24;

}  // namespace

void EnsureWindows() {
  static bool made = false;
  if (made) return;
  made = true;
  QDir::setCurrent(WorkDir().path());
  QDir().mkpath(QStringLiteral("ports"));
  qputenv("KX7391_PORT_DIR", WorkDir().filePath(QStringLiteral("ports")).toLocal8Bit());
  kx::shboot::SetTickSource(&OffsetTick);

  FormMain = new TFormMain;
  FormMain->FormCreate();
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormMain->CommX1->SetPortNo(kSimPort);
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680661"));
  FormMain->SerialNumberEditExit();
  FormMain->Step03LabelClick();  // enables the board buttons
}

void AdvanceWriterClock(std::uint32_t ms) { g_clockOffset += ms; }

qsizetype LogMark() { return FormMain->Log().MainLines().size(); }

QStringList LogSince(qsizetype mark) {
  QStringList out;
  const QStringList &lines = FormMain->Log().MainLines();
  for (qsizetype i = mark; i < lines.size(); ++i) out.append(lines[i].mid(kStampLength));
  return out;
}

QStringList RecordsMarked(const QStringList &lines) {
  static const QRegularExpression record(QStringLiteral("^(Write record: \\S+) .*$"));
  QStringList out;
  for (const QString &l : lines) {
    const QRegularExpressionMatch m = record.match(l);
    out.append(m.hasMatch() ? m.captured(1) : l);
  }
  return out;
}

QStringList WithRecordMarks(QStringList engineLines, const QString &result) {
  engineLines.insert(1, QStringLiteral("Write record: started"));
  engineLines.insert(engineLines.indexOf(QStringLiteral("COMM port close")) + 1, QStringLiteral("Write record: ") + result);
  return engineLines;
}

std::size_t NonBlankBlocks(const std::vector<std::uint8_t> &image) {
  std::size_t n = 0;
  for (std::size_t a = 0; a + kx::shboot::kBlockSize <= image.size(); a += kx::shboot::kBlockSize) {
    for (int i = 0; i < kx::shboot::kBlockSize; ++i) {
      if (image[a + i] != 0xFF) {
        ++n;
        break;
      }
    }
  }
  return n;
}

std::vector<std::uint8_t> LoadedImage() {
  const std::vector<std::uint8_t> &all = FormSHBoot->FirmStream->Bytes();
  return {all.begin(), all.begin() + std::min<std::size_t>(all.size(), kx::shboot::kFlashSize)};
}

BoxAnswerer::BoxAnswerer(std::function<bool()> closeWhen) {
  kx::SetMessageBoxObserver([this, closeWhen](QMessageBox &box) {
    texts.append(box.text());
    auto *poll = new QTimer(&box);
    const QDeadlineTimer deadline(5000);
    QObject::connect(poll, &QTimer::timeout, &box, [this, &box, closeWhen, deadline] {
      if (closeWhen && !closeWhen() && !deadline.hasExpired()) return;
      logLengthAtClose.push_back(LogMark());
      box.accept();
    });
    poll->start(10);
  });
}

BoxAnswerer::~BoxAnswerer() { kx::SetMessageBoxObserver({}); }

void WriterTest::SetUp() {
  EnsureWindows();
  ASSERT_EQ(BootState, 0) << "a run of an earlier test is still going";
  FormMain->ColorClearButtonClick();
  FormMain->CommX1->SetPortNo(kSimPort);
}

void WriterTest::TearDown() {
  // Leave no run behind for the next test.
  if (BootState != 0) FormSHBoot->AbortButtonClick();
  kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(50));
  if (rx) rx->stop();
  rx.reset();
}

void WriterTest::StartReceiver(std::vector<kx::sim::Fault> faults, bool pace) {
  kx::sim::Options opt;
  opt.pace = pace;
  opt.eraseSeconds = 0.05;
  opt.faults = std::move(faults);
  StartReceiverWith(std::move(opt));
}

void WriterTest::StartReceiverWith(kx::sim::Options opt) {
  if (rx) rx->stop();
  opt.portDir = WorkDir().filePath(QStringLiteral("ports")).toStdString();
  opt.comNumber = kSimPort;
  rx = std::make_unique<kx::sim::Receiver>(opt);
  hungUpAt = std::chrono::steady_clock::time_point{};
  rx->onHangup([this] { hungUpAt = std::chrono::steady_clock::now(); });
  rx->start();
}

void WriterTest::ChooseBoard(int board) {
  QPushButton *buttons[] = {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn};
  buttons[board]->click();
}

bool WriterTest::RunUntilIdle(std::chrono::milliseconds limit) {
  FormSHBoot->WriteButton->click();
  return kxtest::WaitUntil([] { return BootState == 0; }, limit);
}

bool WriterTest::RunUntilState(int state, std::chrono::milliseconds limit) {
  return kxtest::WaitUntil([state] { return BootState == state; }, limit);
}

bool WriterTest::SettleInState(int state, std::chrono::milliseconds limit) {
  QDeadlineTimer settled(300);
  return kxtest::WaitUntil(
      [&] {
        if (BootState != state) settled = QDeadlineTimer(300);
        return BootState == state && settled.hasExpired();
      },
      limit);
}

}  // namespace shtest
