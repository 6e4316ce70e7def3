#include "shboot/BootWriter.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <algorithm>
#include <array>
#include <vector>

#include "comm/CommX.h"
#include "platform/Tick.h"
#include "shboot/BoardSetup.h"
#include "shboot/BootClock.h"
#include "shboot/BootFrame.h"

namespace kx::shboot {

namespace {

// The step message of the engine; posted, never sent.
const QEvent::Type kStepEvent = static_cast<QEvent::Type>(QEvent::User + 0x304);

constexpr std::uint32_t kAdjustLimitMs = 10000;
constexpr std::uint32_t kResendMs = 500;
constexpr std::uint32_t kEraseLimitMs = 10000;
constexpr std::uint32_t kEchoLimitMs = 8000;
constexpr std::uint32_t kStartLimitMs = 5000;
constexpr std::uint32_t kReadyLimitMs = 10000;
constexpr std::uint32_t kBlockLimitMs = 10000;

}  // namespace

BootWriter::BootWriter(TCommX &port, BootWriterLog log, QObject *parent)
    : QObject(parent), port_(port), log_(std::move(log)), view_(&noView_), timer_(new QTimer(this)) {
  timer_->setInterval(100);
  connect(timer_, &QTimer::timeout, this, &BootWriter::PostStep);
  timer_->start();
}

BootWriter::~BootWriter() { timer_->stop(); }

void BootWriter::SetState(int state) {
  state_ = state;
  view_->StateChanged(state);
}

void BootWriter::PostStep() { QCoreApplication::postEvent(this, new QEvent(kStepEvent)); }

void BootWriter::customEvent(QEvent *event) {
  if (event->type() == kStepEvent) {
    Step();
    return;
  }
  QObject::customEvent(event);
}

void BootWriter::Log(const QString &text) {
  if (log_.add) log_.add(text);
}

void BootWriter::LogSave() {
  if (log_.save) log_.save();
}

void BootWriter::Panel(const QString &text) { view_->PanelText(text); }
void BootWriter::Progress(int value) { view_->ProgressValue(value); }
void BootWriter::ProgressMax(int maximum) { view_->ProgressMaximum(maximum); }

bool BootWriter::Start() {
  startTime_ = QDateTime::currentDateTime();
  Log(QStringLiteral("[WRITE](FormSHBoot) Clicked"));
  // A stream that did not load whole is never written, not even the part that did.
  if (const QString fault = !payloads_.bootFault.isEmpty() ? payloads_.bootFault : payloads_.firmFault;
      !fault.isEmpty()) {
    Log(QStringLiteral(" write refused! ") + fault);
    LogSave();
    view_->WriteEnabled(false);
    view_->Message(fault + QStringLiteral("\nNothing was written. Choose the board again in the main window."));
    return false;
  }
  if (!payloads_.boot || payloads_.boot->Empty()) {
    Log(QStringLiteral(" boot data none!"));
    LogSave();
    view_->Message(QStringLiteral("Not Found Boot File"));
    return false;
  }
  if (!payloads_.firm || payloads_.firm->Empty()) {
    Log(QStringLiteral(" .mot data none!"));
    LogSave();
    view_->Message(QStringLiteral("Not Found Firmware File"));
    return false;
  }
  // The chip takes the length and the program from one 6001-byte transmit buffer.
  if (!BootDataFits(payloads_.boot->Size())) {
    const qint64 program = payloads_.boot->Size() - 2;
    Log(QStringLiteral(" boot data too large! (%1 bytes)").arg(program));
    LogSave();
    view_->Message(QStringLiteral("The boot program is too large: %1 bytes (at most %2 bytes).")
                       .arg(program)
                       .arg(kMaxBootProgram));
    return false;
  }
  timer_->start();
  view_->WriteEnabled(false);
  Progress(0);
  ProgressMax(static_cast<int>(payloads_.boot->Size()) + 100);
  view_->AbortEnabled(true);
  SetState(2);
  PostStep();
  LogSave();
  return true;
}

void BootWriter::Abort() {
  Log(QStringLiteral("[Abort](FormSHBoot) clicked"));
  LogSave();
  SetState(0);
  port_.PortClose();
  port_.Tag = 0;
  view_->PortChanged(port_.IsOpen());
  // A run cut short after its erase request leaves the board without firmware; one cut
  // short before it left the board as it was.
  if (eraseStarted_) {
    Log(QStringLiteral("Write aborted: the board is left unwritten. Write it again."));
    LogSave();
    view_->BoardState(BootWriterView::Board::Failed);
  } else if (boardRunning_) {
    view_->BoardState(BootWriterView::Board::AsBefore);
  }
  eraseStarted_ = false;
  boardRunning_ = false;
  view_->WriteEnabled(true);
  view_->AbortEnabled(false);
}

void BootWriter::Step() {
  view_->StepRan(state_);
  switch (state_) {
    case 2: BootPortOpen(); break;
    case 10: AdjustBitRateSend(); break;
    case 12: AdjustBitRateWait(); break;
    case 14: EraseRequest(); break;
    case 16: EraseWait(); break;
    case 20: BootProgramPrepare(); break;
    case 22: BootProgramTransmit(); break;
    case 24: BootProgramEchoWait(); break;
    case 26: BootProgramStartWait(); break;
    case 40: BitRateChange(); break;
    case 42: FirmwarePrepare(); break;
    case 50: FirmwareStart(); break;
    case 52: FirmwareStartWait(); break;
    case 60: WriteBlock(); break;
    case 64: WriteBlockWait(); break;
    case 70: WriteComplete(); break;
    case 999: BootPortClose(); break;
    default: break;
  }
}

void BootWriter::LetClosingStateRun() {
  if (state_ != 999) return;
  QEventLoop loop;
  QMetaObject::Connection ended = connect(this, &BootWriter::ClosingStateDone, &loop, &QEventLoop::quit);
  loop.exec();
  disconnect(ended);
}

void BootWriter::Receive(std::uint8_t RxData) {
  switch (state_) {
    case 12: AdjustBitRateReceive(RxData); break;
    case 16: EraseReceive(RxData); break;
    case 24: BootProgramEchoReceive(RxData); break;
    case 26: BootProgramStartReceive(RxData); break;
    case 52: FirmwareStartReceive(RxData); break;
    case 64: WriteBlockReceive(RxData); break;
    default: break;
  }
}

void BootWriter::Disconnected(const QString &message) {
  // A run already in its closing state ends as it is.
  if (state_ == 0 || state_ == 999) return;
  // The closing state is posted before the box, so the run ends while the box waits.
  using A = FailAct;
  Failure(message, {A::Log, A::Beep, A::Panel, A::Post, A::Box});
}

void BootWriter::Failure(const QString &message, std::initializer_list<FailAct> actions) {
  SetState(999);
  for (FailAct act : actions) {
    switch (act) {
      case FailAct::Log:
        Log(message);
        LogSave();
        break;
      case FailAct::Beep: view_->Beep(); break;
      // A window's box runs the closing state in its own event loop while it is open.
      case FailAct::Box: view_->Message(message); break;
      case FailAct::Panel: Panel(message); break;
      case FailAct::Sleep: kx::Sleep(500); break;
      case FailAct::Post: PostStep(); break;
      case FailAct::Abort: Abort(); break;
    }
  }
}

// State 2: take the port at the boot timing bit rate.
void BootWriter::BootPortOpen() {
  view_->PortTaking();
  if (port_.Tag != 0) {
    port_.PortClose();
    port_.Tag = 0;
    kx::Sleep(200);
  }
  timer_->stop();
  port_.SetStopBit(csb1);
  if (const int rate = BootTimingBitRate(timingItem_)) port_.SetBitRate(rate);
  Log(QStringLiteral("COMM port open  Timing Type") + QString::number(timingItem_ + 1));
  LogSave();
  try {
    port_.PortOpen();
  } catch (const std::exception &e) {
    // Nothing reached the board: the run ends here, ready for the next WRITE START.
    const QString message = QString::fromUtf8(e.what());
    SetState(0);
    timer_->start();
    view_->PortChanged(port_.IsOpen());
    view_->WriteEnabled(true);
    view_->AbortEnabled(false);
    Log(message);
    LogSave();
    view_->ErrorMessage(message);
    return;
  }
  port_.Tag = port_.PortNo();
  view_->PortChanged(true);
  Progress(20);
  boardRunning_ = true;
  eraseStarted_ = false;
  view_->BoardState(BootWriterView::Board::Running);
  succeeded_ = false;
  kx::Sleep(500);
  SetState(10);
  timer_->start();
  phaseStartTick_ = BootTick();
  PostStep();
}

// State 10: one 0x00 for the chip to measure the bit rate from.
void BootWriter::AdjustBitRateSend() {
  txBuf_[0] = 0x00;
  SetState(12);
  port_.TransBlock(txBuf_, 1);
  lastEventTick_ = BootTick();
  Panel(QStringLiteral("Now Adjusting BitRate ...."));
  Progress(40);
  PostStep();
}

// State 12.
void BootWriter::AdjustBitRateWait() {
  const std::uint32_t now = BootTick();
  if (LimitPassed(now, phaseStartTick_, kAdjustLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Adjust BitRate ERROR!!"), {A::Log, A::Beep, A::Box, A::Post, A::Panel, A::Abort});
    return;
  }
  if (LimitPassed(now, lastEventTick_, kResendMs)) {
    SetState(10);
    PostStep();
  }
}

void BootWriter::AdjustBitRateReceive(std::uint8_t RxData) {
  if (RxData != 0x00) return;
  Log(QStringLiteral("AdjustBitRate OK"));
  Progress(60);
  SetState(14);
  PostStep();
}

// State 14: 0x55 starts the erase.
void BootWriter::EraseRequest() {
  txBuf_[0] = 0x55;
  SetState(16);
  phaseStartTick_ = BootTick();
  eraseStarted_ = true;
  port_.TransBlock(txBuf_, 1);
  Panel(QStringLiteral("Waiting erase..."));
  PostStep();
}

// State 16.
void BootWriter::EraseWait() {
  if (LimitPassed(BootTick(), phaseStartTick_, kEraseLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Erase TIME OUT !!!"), {A::Log, A::Beep, A::Box, A::Panel, A::Sleep, A::Post, A::Abort});
  }
}

void BootWriter::EraseReceive(std::uint8_t RxData) {
  if (RxData == 0xAA) {
    Log(QStringLiteral("Erace OK"));
    Progress(80);
    SetState(20);
    PostStep();
  } else if (RxData == 0xFF) {
    using A = FailAct;
    Failure(QStringLiteral("Erase ERROR !!!"), {A::Log, A::Beep, A::Box, A::Panel, A::Sleep, A::Post, A::Abort});
  }
}

// State 20.
void BootWriter::BootProgramPrepare() {
  MemoryStream &boot = *payloads_.boot;
  if (boot.Empty()) return;
  Log(QStringLiteral("Prepare the boot program"));
  LogSave();
  boot.Seek(0);
  payloads_.echo->Seek(0);
  ProgressMax(static_cast<int>(boot.Size()) + 100);
  SetState(22);
  Panel(QStringLiteral("Prepare the boot program"));
  PostStep();
}

// State 22: the length and the whole program in one hand-over.
void BootWriter::BootProgramTransmit() {
  MemoryStream &boot = *payloads_.boot;
  payloads_.echo->ReadByte(echoByte_);
  Progress(static_cast<int>(boot.Position()) + 100);
  SetState(24);
  Panel(QStringLiteral("Transmit the boot program"));
  // Start refused boot data larger than the chip's transfer buffer.
  std::vector<std::uint8_t> data(boot.Size() - std::min(boot.Position(), boot.Size()));
  data.resize(boot.Read(data.data(), data.size()));
  port_.TransBlock(data.data(), static_cast<int>(data.size()));
  lastEventTick_ = BootTick();
  PostStep();
}

// State 24.
void BootWriter::BootProgramEchoWait() {
  if (LimitPassed(BootTick(), lastEventTick_, kEchoLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Transmit the boot program TIME OUT !!!"),
            {A::Beep, A::Log, A::Panel, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void BootWriter::BootProgramEchoReceive(std::uint8_t RxData) {
  if (RxData != echoByte_) return;
  MemoryStream &echo = *payloads_.echo;
  if (echo.Position() >= echo.Size()) {
    SetState(26);
    lastEventTick_ = BootTick();
    PostStep();
    return;
  }
  Progress(static_cast<int>(echo.Position()) + 100);
  echo.ReadByte(echoByte_);
  lastEventTick_ = BootTick();
}

// State 26.
void BootWriter::BootProgramStartWait() {
  if (LimitPassed(BootTick(), lastEventTick_, kStartLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Incomplete transmitting the boot program !!!"),
            {A::Log, A::Panel, A::Beep, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void BootWriter::BootProgramStartReceive(std::uint8_t RxData) {
  if (RxData != 0xAA) return;
  SetState(40);
  kx::Sleep(500);
  PostStep();
}

// State 40: the boot program talks at 115200 bit/s.
void BootWriter::BitRateChange() {
  Log(QStringLiteral("Change the BitRate"));
  LogSave();
  kx::Sleep(500);
  port_.SetStopBit(csb1);
  port_.SetBitRate(115200);
  kx::Sleep(500);
  SetState(42);
  Panel(QStringLiteral("Change the BitRate"));
  PostStep();
}

// State 42.
void BootWriter::FirmwarePrepare() {
  MemoryStream &firm = *payloads_.firm;
  if (firm.Empty()) {
    using A = FailAct;
    Failure(QStringLiteral("Illegal the Firmware"), {A::Log, A::Beep, A::Panel, A::Sleep, A::Post});
    return;
  }
  firm.Seek(0);
  Progress(0);
  ProgressMax(static_cast<int>(firm.Size() / kBlockSize));
  SetState(50);
  Panel(QStringLiteral("Prepare the Firmware"));
  PostStep();
}

// State 50: 0xAB asks the boot program to start.
void BootWriter::FirmwareStart() {
  Log(QStringLiteral("Changed the BitRate to 115kbps"));
  LogSave();
  txBuf_[0] = 0xAB;
  SetState(52);
  lastEventTick_ = BootTick();
  port_.TransBlock(txBuf_, 1);
  Panel(QStringLiteral("Changed the BitRate to 115kbps"));
  PostStep();
}

// State 52.
void BootWriter::FirmwareStartWait() {
  if (LimitPassed(BootTick(), lastEventTick_, kReadyLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Incomplete preparing the Firmware !!!"),
            {A::Log, A::Beep, A::Panel, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void BootWriter::FirmwareStartReceive(std::uint8_t RxData) {
  if (RxData != 0xCD) return;
  payloads_.firm->Seek(0);
  Progress(0);
  SetState(60);
  PostStep();
}

// State 60: one block per step; blank blocks are passed over without a frame.
void BootWriter::WriteBlock() {
  MemoryStream &firm = *payloads_.firm;
  const qint64 address = static_cast<qint64>(firm.Position());
  const int blocksPassed = static_cast<int>(address / kBlockSize);
  if (address >= static_cast<qint64>(kFlashSize)) {
    Progress(blocksPassed);
    SetState(70);
    PostStep();
    return;
  }
  // An image shorter than the flash reads as erased past its end, so the address
  // still moves on and the loop reaches its end.
  std::array<std::uint8_t, kBlockSize> block;
  block.fill(0xFF);
  firm.Read(block.data(), kBlockSize);
  firm.Seek(static_cast<std::size_t>(address) + kBlockSize);
  BlockFrame frame;
  if (BuildBlockFrame(static_cast<std::uint32_t>(address), block, frame)) {
    lastEventTick_ = BootTick();
    SetState(64);
    std::copy(frame.begin(), frame.end(), txBuf_);
    port_.TransBlock(txBuf_, kFrameSize);
    // The view follows the hand-over, so the frame is on its way while it updates.
    Progress(blocksPassed);
    Panel(WriteAddressText(static_cast<unsigned>(address)));
    view_->BlockSent(static_cast<unsigned>(address));
  } else {
    Progress(blocksPassed);
    SetState(60);
    Panel(SkipAddressText(static_cast<unsigned>(address)));
    view_->BlockSkipped(static_cast<unsigned>(address));
  }
  PostStep();
}

// State 64.
void BootWriter::WriteBlockWait() {
  if (LimitPassed(BootTick(), lastEventTick_, kBlockLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Write TIME OUT !!!"), {A::Log, A::Beep, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void BootWriter::WriteBlockReceive(std::uint8_t RxData) {
  if (RxData == 0xAA) {
    SetState(60);
    PostStep();
    view_->BlockAnswered();
  } else if (RxData == 0xFF) {
    using A = FailAct;
    Failure(QStringLiteral("Write ERROR !!!"), {A::Log, A::Beep, A::Box, A::Post, A::Sleep});
  }
}

// State 70.
void BootWriter::WriteComplete() {
  Progress(0);
  const QString text = CompletionText(startTime_.time(), QTime::currentTime());
  Panel(text);
  Log(text);
  LogSave();
  SetState(999);
  succeeded_ = true;
  view_->Beep();
  PostStep();
}

// State 999: the end of every run that Abort alone did not end.
void BootWriter::BootPortClose() {
  Log(QStringLiteral("COMM port close"));
  LogSave();
  kx::Sleep(500);
  port_.PortClose();
  port_.Tag = 0;
  view_->WriteEnabled(true);
  view_->PortChanged(port_.IsOpen());
  SetState(0);
  eraseStarted_ = false;
  boardRunning_ = false;
  view_->BoardState(succeeded_ ? BootWriterView::Board::Written : BootWriterView::Board::Failed);
  PostStep();
  emit ClosingStateDone();
}

}  // namespace kx::shboot
