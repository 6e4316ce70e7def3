#include "comm/CommX.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <new>

#include "comm/CommThreads.h"
#include "platform/Tick.h"
#include "platform/serial/PortMap.h"
#include "platform/serial/SerialDevice.h"
#include "platform/serial/TermiosDevice.h"

using kx::serial::Device;
using kx::serial::LineSettings;

struct TCustomCommX::Line {
  LineSettings s;
};

void TCustomCommX::RetireWatch::operator()(TCommReceiveWatch *watch) const { TCommReceiveWatch::Retire(watch); }

struct TCustomCommX::ReadWait {
  QEventLoop loop;
  QSocketNotifier *notifier = nullptr;
  ReadWait *outer = nullptr;
};

Q_LOGGING_CATEGORY(lcSerial, "kx.serial")

namespace {
// One 10-bit character at the given rate, rounded down, plus 1 ms.
int HalfWait(int bitRate) { return 1000 / (bitRate / 10) + 1; }
}  // namespace

TCustomCommX::TCustomCommX(QObject *AOwner) : QObject(AOwner), FDCB(std::make_unique<Line>()) {}

TCustomCommX::~TCustomCommX() {
  try {
    PortClose();
  } catch (...) {
    // Closing cannot fail in a way the owner could still act on.
  }
}

std::unique_ptr<Device> TCustomCommX::OpenSystemPort(int portNo) {
  const QString path = kx::serial::DevicePath(portNo);
  if (path.isEmpty()) return nullptr;
  return kx::serial::OpenTermios(path.toStdString());
}

int TCustomCommX::Handle() const { return FHandle ? FHandle->PollFd() : INVALID_HANDLE_VALUE; }

// ---------------------------------------------------------------- settings

template <typename Edit>
void TCustomCommX::ApplyLine(Edit edit, const char *message) {
  if (!FHandle) return;
  LineSettings next = FDCB->s;
  edit(next);
  // Below 10 bit/s a character lasts longer than the half-duplex wait can express.
  if (next.bitRate < 10 || !FHandle->Configure(next)) {
    FHandle->Configure(FDCB->s);  // a refusal may have changed part of the line
    throw ECommError(message);
  }
  FDCB->s = next;
}

void TCustomCommX::ApplyTimeouts() {
  if (FHandle && (FTimeOutTrans < 0 || FTimeOutReceive < 0)) throw ECommError("Error at TimeOut setting");
}

void TCustomCommX::ApplyQueues() {
  if (!FHandle) return;
  // The tty's queues have a fixed size; what remains of sizing them is the block size.
  if (FBufLenTrans <= 0 || FBufLenReceive <= 0) throw ECommError("Can not create COM buffer");
  appliedBufLenTrans_ = FBufLenTrans;
}

void TCustomCommX::SetPortNo(int value) {
  FPortNo = value;
  if (FHandle) {
    PortClose();
    PortOpen();
  }
}

void TCustomCommX::SetBitRate(int value) {
  FBitRate = value;
  ApplyLine([value](LineSettings &s) { s.bitRate = value; }, "Error at BitRate setting");
  if (TransThread) TransThread->HalfWaitTim = HalfWait(value);
}

void TCustomCommX::SetCharSize(int value) {
  FCharSize = value;
  ApplyLine([value](LineSettings &s) { s.charSize = value & 0xFF; }, "Error at CharSize setting");
}

void TCustomCommX::SetParityBit(TCommParityBits value) {
  FParityBit = value;
  ApplyLine([value](LineSettings &s) { s.parity = static_cast<kx::serial::Parity>(value); },
            "Error at ParityBit setting");
}

void TCustomCommX::SetStopBit(TCommStopBits value) {
  FStopBit = value;
  ApplyLine([value](LineSettings &s) { s.stopBits = static_cast<kx::serial::StopBits>(value); },
            "Error at StopBit setting");
}

void TCustomCommX::SetFlowCtrl(TCommFlowCtrls value) {
  FFlowCtrl = value;
  ApplyLine([value](LineSettings &s) { s.flow = static_cast<kx::serial::Flow>(value); }, "Error at FlowCtrl setting");
}

void TCustomCommX::SetTimeOutTrans(int ms) {
  FTimeOutTrans = ms;
  ApplyTimeouts();
}

void TCustomCommX::SetTimeOutReceive(int ms) {
  FTimeOutReceive = ms;
  ApplyTimeouts();
}

void TCustomCommX::SetXonChar(char value) {
  FXonChar = value;
  ApplyLine([value](LineSettings &s) { s.xonChar = static_cast<std::uint8_t>(value); }, "Error at XonChar setting");
}

void TCustomCommX::SetXoffChar(char value) {
  FXoffChar = value;
  ApplyLine([value](LineSettings &s) { s.xoffChar = static_cast<std::uint8_t>(value); }, "Error at XoffChar setting");
}

void TCustomCommX::SetBufLenTrans(int bytes) {
  FBufLenTrans = bytes;
  ApplyQueues();
}

void TCustomCommX::SetBufLenReceive(int bytes) {
  FBufLenReceive = bytes;
  ApplyQueues();
  ApplyLine([](LineSettings &) {}, "Error at FlowCtrl setting");
}

// ---------------------------------------------------------------- open and close

void TCustomCommX::PortOpen() {
  if (FHandle) throw ECommError("Already opened the COM poer");
  std::unique_ptr<Device> device = opener_ ? opener_(FPortNo) : OpenSystemPort(FPortNo);
  if (!device) throw ECommError("Can not open the COM port");
  FHandle = std::move(device);
  try {
    {
      std::lock_guard c2(Critical2);
      TransBufLen = 0;
      TransCnt = 0;
    }
    ApplyQueues();
    // A USB adapter otherwise holds received bytes until its latency timer runs out
    // (16 ms on common FTDI chips), which doubles the time of a write that waits for
    // an answer after every frame. Drivers without the mode open as before.
    FHandle->RequestLowLatency();
    if (const int ms = FHandle->LatencyTimerMs(); ms > 1) {
      qCWarning(lcSerial, "COM%d: the USB adapter's latency timer is %d ms; received bytes wait up to %d ms",
                FPortNo, ms, ms);
    }
    FHandle->PurgeTx();
    FHandle->PurgeRx();
    // The settings go to the driver one at a time in this fixed order, each with its
    // own message, starting from a plain line.
    FDCB->s = LineSettings{};
    FDCB->s.flow = kx::serial::Flow::None;
    SetBitRate(FBitRate);
    SetCharSize(FCharSize);
    SetParityBit(FParityBit);
    SetStopBit(FStopBit);
    SetFlowCtrl(FFlowCtrl);
    ApplyTimeouts();
    SetXonChar(FXonChar);
    SetXoffChar(FXoffChar);

    std::uint64_t generation;
    {
      std::lock_guard lock(reportMutex_);
      generation = liveGeneration_ = ++lastGeneration_;
    }
    try {
      TransThread = std::make_unique<TCommTransThread>(this, FHandle.get(), generation);
      TransThread->HalfWaitTim = HalfWait(FBitRate);
      TransThread->Start();
    } catch (const std::exception &) {
      TransThread.reset();
      throw ECommError("Can not create TX thread");
    }
    try {
      ReceiveWatch.reset(new TCommReceiveWatch(this, FHandle.get(), generation));
      ReceiveWatch->Start();
    } catch (const std::exception &) {
      ReceiveWatch.reset();
      throw ECommError("Can not create RX thread");
    }
    // The line settles with DTR and RTS up before anything is sent.
    kx::Sleep(kOpenSettleMs);
  } catch (...) {
    PortClose();
    throw;
  }
}

void TCustomCommX::PortClose() { ClosePort(true); }

void TCustomCommX::ClosePort(bool linePauses) {
  if (!FHandle) return;
  SetDtrSignal(false);
  SetRtsSignal(false);
  ClearTransBuf();
  ClearReceiveBuf();
  if (linePauses) kx::Sleep(kCloseQuietMs);
  // From here no report of this opening reaches a handler, and a thread waiting for
  // its report to be handled stops waiting: the threads can be joined even when
  // this runs inside a handler of their own report.
  {
    std::lock_guard lock(reportMutex_);
    liveGeneration_ = 0;
    pendingReports_.clear();
    handledReports_.clear();
  }
  reportCv_.notify_all();
  for (ReadWait *w = readWait_; w; w = w->outer) {
    w->notifier->setEnabled(false);
    w->loop.quit();
  }
  if (TransThread) {
    TransThread->Terminate();
    TransThread->Join();
  }
  TransThread.reset();
  ReceiveWatch.reset();
  FHandle.reset();
  // DTR and RTS stay low at least this long before the port can be opened again: a
  // receiver may take that as the end of the session.
  if (linePauses) kx::Sleep(kCloseRestMs);
}

// ---------------------------------------------------------------- transmit

bool TCustomCommX::TransChar(char c) { return TransBlock(&c, 1); }

bool TCustomCommX::TransString(const QByteArray &s) {
  if (s.isEmpty()) return true;
  return TransBlock(s.constData(), static_cast<int>(s.size()));
}

bool TCustomCommX::TransBlock(const void *Data, int BufSize) {
  if (BufSize == 0) return true;
  if (BufSize < 0 || !Data) return false;
  const auto *p = static_cast<const std::uint8_t *>(Data);
  int remaining = BufSize;
  while (remaining > 0) {
    if (!FHandle || !TransThread) return false;
    int outstanding;
    {
      std::lock_guard c2(Critical2);
      outstanding = TransCnt;
    }
    if (outstanding >= kMaxOutstandingBlocks) {
      WaitForTransmitSlot();
      continue;
    }
    int rest = std::min(remaining, appliedBufLenTrans_);
    if (outstanding == 0) {
      const int taken = WriteWhileIdle(p, rest);
      if (!FHandle || !TransThread) return false;  // a line-error handler closed the port
      p += taken;
      remaining -= taken;
      rest -= taken;
      if (rest == 0) continue;
    }
    try {
      std::vector<std::uint8_t> block(p, p + rest);
      {
        std::lock_guard c2(Critical2);
        TransBufLen += rest;
        TransCnt += 1;
      }
      TransThread->Post(std::move(block));
    } catch (const std::bad_alloc &) {
      // No memory for the copy: this block is dropped, as the line would drop it.
    }
    p += rest;
    remaining -= rest;
  }
  return true;
}

int TCustomCommX::WriteWhileIdle(const std::uint8_t *data, int length) {
  // With nothing queued and no block being written, the driver takes the bytes from
  // here at once, without waiting for the line: that spares the transmit thread's
  // wake-up in every command-and-answer exchange. What it does not take is queued as
  // usual. Half-duplex bursts stay with the thread, which frames them with RTS.
  const TCommFlowCtrls flow = FFlowCtrl.load();
  if (flow == cfcHalfHigh || flow == cfcHalfLow || TransThread->MsgClearFlg) return 0;
  long taken;
  {
    std::lock_guard c1(Critical1);
    taken = FHandle->WriteSome(data, static_cast<std::size_t>(length));
  }
  if (taken >= 0) return static_cast<int>(taken);
  // As a failed write of the thread: the line errors are reported and the block is done.
  if (const int errors = WriteErrorBits(*FHandle)) HandleReport(Report::Error, errors, lastGeneration_);
  return length;
}

void TCustomCommX::WaitForTransmitSlot() {
  // The transmit thread posts an empty call for every finished block while someone
  // waits here, so the event loop wakes for it as it does for any other event.
  ++transWaiters_;
  bool full;
  {
    std::lock_guard c2(Critical2);
    full = TransCnt >= kMaxOutstandingBlocks;
  }
  if (full) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  --transWaiters_;
}

void TCustomCommX::BlockFinished(int length) {
  {
    std::lock_guard c2(Critical2);
    TransBufLen = std::max(0, TransBufLen - length);
    TransCnt = std::max(0, TransCnt - 1);
  }
  TransDrained.notify_all();
  if (transWaiters_ > 0) {
    static const QMetaMethod wake = staticMetaObject.method(staticMetaObject.indexOfMethod("WakeOwner()"));
    wake.invoke(this, Qt::QueuedConnection);
  }
}

void TCustomCommX::ClearTransBuf() {
  if (!FHandle) return;
  if (!TransThread) {
    FHandle->PurgeTx();
    return;
  }
  TransThread->MsgClearFlg = true;
  {
    std::lock_guard lock(reportMutex_);
    transDiscard_ = true;
  }
  reportCv_.notify_all();
  {
    // The thread starts each write under Critical1 after testing the flag, so after
    // this purge no write of a queued block can begin.
    std::lock_guard c1(Critical1);
    FHandle->PurgeTx();
  }
  {
    std::unique_lock c2(Critical2);
    TransDrained.wait(c2, [this] { return TransCnt == 0; });
  }
  TransThread->MsgClearFlg = false;
  std::lock_guard lock(reportMutex_);
  transDiscard_ = false;
}

int TCustomCommX::GetTransLength() {
  if (!FHandle) return 0;
  std::lock_guard c2(Critical2);
  return TransBufLen;
}

// ---------------------------------------------------------------- receive

int TCustomCommX::ReceiveBlock(void *Buf, int MaxSize) {
  if (!FHandle || !ReceiveWatch || !Buf) return -1;
  if (MaxSize <= 0) return 0;
  auto *out = static_cast<std::uint8_t *>(Buf);
  const std::uint64_t generation = lastGeneration_;
  int got = 0;
  auto take = [&]() -> bool {
    const long n = FHandle->ReadSome(out + got, static_cast<std::size_t>(MaxSize - got));
    if (n < 0) return false;
    got += static_cast<int>(n);
    return true;
  };
  auto failed = [&] {
    const int errors = FHandle->TakeLineEvents().errors;
    if (errors) HandleReport(Report::Error, errors, generation);
    return -1;
  };
  if (!take()) return failed();
  if (got == MaxSize) return got;

  // Wait for the rest in a local event loop, so the window goes on meanwhile.
  ReadWait wait;
  QSocketNotifier notifier(FHandle->PollFd(), QSocketNotifier::Read);
  QTimer limit;
  limit.setSingleShot(true);
  limit.setTimerType(Qt::PreciseTimer);
  bool readFailed = false;
  QObject::connect(&notifier, &QSocketNotifier::activated, &wait.loop, [&] {
    if (!take()) {
      readFailed = true;
      wait.loop.quit();
    } else if (got == MaxSize) {
      wait.loop.quit();
    }
  });
  QObject::connect(&limit, &QTimer::timeout, &wait.loop, &QEventLoop::quit);
  if (FTimeOutReceive > 0) limit.start(FTimeOutReceive);
  wait.notifier = &notifier;
  wait.outer = readWait_;
  readWait_ = &wait;
  wait.loop.exec();
  readWait_ = wait.outer;
  if (!FHandle || generation != lastGeneration_) return -1;  // closed by a handler meanwhile
  if (readFailed) return failed();
  return got;
}

int TCustomCommX::ReceiveChar() {
  std::uint8_t c = 0;
  return ReceiveBlock(&c, 1) == 1 ? c : -1;
}

void TCustomCommX::ClearReceiveBuf() {
  if (FHandle) FHandle->PurgeRx();
}

int TCustomCommX::GetReceiveLength() { return FHandle ? FHandle->InQueue() : 0; }

// ---------------------------------------------------------------- reports

void TCustomCommX::SendReport(Report kind, int bits, std::uint64_t generation) {
  std::uint64_t id;
  {
    std::lock_guard lock(reportMutex_);
    if (liveGeneration_ != generation) return;
    id = ++lastReportId_;
    pendingReports_.push_back({kind, bits, generation, id});
  }
  // The queued call carries nothing: the owning thread takes the report from the
  // queue under reportMutex_, which orders everything this thread did before.
  static const QMetaMethod deliver =
      staticMetaObject.method(staticMetaObject.indexOfMethod("DeliverReport()"));
  deliver.invoke(this, Qt::QueuedConnection);
  std::unique_lock lock(reportMutex_);
  const auto handled = [&] {
    return std::find(handledReports_.begin(), handledReports_.end(), id) != handledReports_.end();
  };
  reportCv_.wait(lock, [&] {
    return handled() || liveGeneration_ != generation || transDiscard_;
  });
  std::erase(handledReports_, id);
}

void TCustomCommX::DeliverReport() {
  PendingReport r;
  {
    std::lock_guard lock(reportMutex_);
    if (pendingReports_.empty()) return;  // dropped by PortClose
    r = pendingReports_.front();
    pendingReports_.pop_front();
  }
  // The sender goes on once the handler has returned, or left with an exception.
  struct Done {
    TCustomCommX *c;
    std::uint64_t id;
    ~Done() {
      {
        std::lock_guard lock(c->reportMutex_);
        c->handledReports_.push_back(id);
      }
      c->reportCv_.notify_all();
    }
  } done{this, r.id};
  HandleReport(r.kind, r.bits, r.generation);
}

void TCustomCommX::HandleReport(Report kind, int bits, std::uint64_t generation) {
  if (!FHandle || generation != lastGeneration_) return;
  switch (kind) {
    case Report::Receive:
      if (OnReceive) {
        const int n = GetReceiveLength();
        // A copy: the handler may replace the event while it runs.
        if (n != 0) {
          const TCommReceiveEvent handler = OnReceive;
          handler(this, n);
        }
      }
      break;
    case Report::Break:
      if (OnBreak) {
        const TCommBreakEvent handler = OnBreak;
        handler(this);
      }
      break;
    case Report::Error:
      if (OnError) {
        const TCommErrEvent handler = OnError;
        handler(this, bits);
      }
      break;
    case Report::Disconnect: {
      // Nothing more can pass through this opening: close it first, so that the
      // handler finds the port closed and may open another one at once. A line that
      // is gone has no receiver to keep its pauses for.
      const TCommDisconnectEvent handler = OnDisconnect;
      ClosePort(false);
      if (handler) handler(this);
      break;
    }
  }
}

int TCustomCommX::WriteErrorBits(Device &device) {
  return device.TakeLineEvents().errors & (kx::serial::kErrOverrun | kx::serial::kErrParity | kx::serial::kErrFrame);
}

void TCustomCommX::ReportLineErrors(Device *device, std::uint64_t generation) {
  if (const int errors = WriteErrorBits(*device)) SendReport(Report::Error, errors, generation);
}

// ---------------------------------------------------------------- modem lines

void TCustomCommX::SetRtsSignal(bool Signal) {
  if (FHandle) FHandle->SetRts(Signal);
}

void TCustomCommX::SetDtrSignal(bool Signal) {
  if (FHandle) FHandle->SetDtr(Signal);
}

bool TCustomCommX::IsCtsSignal() { return FHandle && (FHandle->ModemStatus() & kx::serial::kModemCts); }
bool TCustomCommX::IsDsrSignal() { return FHandle && (FHandle->ModemStatus() & kx::serial::kModemDsr); }
bool TCustomCommX::IsRingSignal() { return FHandle && (FHandle->ModemStatus() & kx::serial::kModemRing); }
bool TCustomCommX::IsRlsdSignal() { return FHandle && (FHandle->ModemStatus() & kx::serial::kModemDcd); }

void TCustomCommX::SendBreak() {
  if (!FHandle) return;
  FHandle->SetBreak(true);
  kx::Sleep(300);
  FHandle->SetBreak(false);
}
