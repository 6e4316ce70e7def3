#pragma once
// The serial port component: one object per RS-232 port. It keeps the line
// settings, opens and closes the port, queues outgoing bytes for a transmit thread
// and reports incoming bytes, breaks and line errors as events on the thread that
// owns it (the user-interface thread).
//
// How to use it:
//  - A property is read by the method of its name and written by Set<Name>:
//    BitRate() / SetBitRate(115200). TCommX also declares them as Qt properties.
//    Set while closed, a value is only stored and applied by the next PortOpen;
//    set while open, it takes effect at once, or the setter raises its ECommError
//    (the new value then stays stored, the line keeps its previous setting).
//  - Events are the public members OnReceive, OnBreak, OnError and OnDisconnect;
//    a handler set or cleared takes effect at the next report. Handlers may close
//    the port and open it again.
//  - When the device hangs up (an unplugged adapter, a peer that went away) the
//    component closes the port itself and then raises OnDisconnect, once.
//  - Tag is a plain int for the port-sharing convention of the program.
//  - Every failure raises ECommError with a fixed message.
//  - All calls are made on the owning thread.
#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace kx::serial {
class Device;
}

enum TCommParityBits : std::uint8_t { cpbNone, cpbOdd, cpbEven };
enum TCommStopBits : std::uint8_t { csb1, csb1p5, csb2 };
enum TCommFlowCtrls : std::uint8_t { cfcRtsCts, cfcDtrDsr, cfcXonXoff, cfcHalfHigh, cfcHalfLow, cfcNone };

using TCommReceiveEvent = std::function<void(QObject *Sender, int ReceiveSize)>;
using TCommBreakEvent = std::function<void(QObject *Sender)>;
using TCommErrEvent = std::function<void(QObject *Sender, int ErrorState)>;
// Raised after the port was closed because its device hung up.
using TCommDisconnectEvent = std::function<void(QObject *Sender)>;

class ECommError : public std::runtime_error {
 public:
  explicit ECommError(const char *message) : std::runtime_error(message) {}
};

class TCommTransThread;
class TCommReceiveWatch;

class TCustomCommX : public QObject {
  Q_OBJECT
 public:
  // The handle value of a closed port.
  static constexpr int INVALID_HANDLE_VALUE = -1;
  // Blocks that may wait for the transmit thread at one time.
  static constexpr int kMaxOutstandingBlocks = 32;
  // The fixed pauses of the owning thread: after the threads start in PortOpen, after
  // the queues are cleared in PortClose, and at the end of PortClose.
  static constexpr int kOpenSettleMs = 100;
  static constexpr int kCloseQuietMs = 100;
  static constexpr int kCloseRestMs = 200;

  explicit TCustomCommX(QObject *AOwner = nullptr);
  ~TCustomCommX() override;

  int PortNo() const { return FPortNo; }
  void SetPortNo(int value);
  int BitRate() const { return FBitRate; }
  void SetBitRate(int value);
  int CharSize() const { return FCharSize; }
  void SetCharSize(int value);
  TCommParityBits ParityBit() const { return FParityBit; }
  void SetParityBit(TCommParityBits value);
  TCommStopBits StopBit() const { return FStopBit; }
  void SetStopBit(TCommStopBits value);
  TCommFlowCtrls FlowCtrl() const { return FFlowCtrl.load(); }
  void SetFlowCtrl(TCommFlowCtrls value);
  int TimeOutTrans() const { return FTimeOutTrans.load(); }
  void SetTimeOutTrans(int ms);
  int TimeOutReceive() const { return FTimeOutReceive; }
  void SetTimeOutReceive(int ms);
  char XonChar() const { return FXonChar; }
  void SetXonChar(char value);
  char XoffChar() const { return FXoffChar; }
  void SetXoffChar(char value);
  int BufLenTrans() const { return FBufLenTrans; }
  void SetBufLenTrans(int bytes);
  int BufLenReceive() const { return FBufLenReceive; }
  void SetBufLenReceive(int bytes);
  // The open port's descriptor, INVALID_HANDLE_VALUE while closed.
  int Handle() const;

  TCommReceiveEvent OnReceive;
  TCommBreakEvent OnBreak;
  TCommErrEvent OnError;
  TCommDisconnectEvent OnDisconnect;
  int Tag = 0;

  void PortOpen();
  void PortClose();
  bool IsOpen() const { return FHandle != nullptr; }

  bool TransChar(char c);
  bool TransString(const QByteArray &s);
  // Queues the bytes in blocks of at most BufLenTrans and returns before they are
  // written. With 32 blocks outstanding it waits, handling the window's events.
  virtual bool TransBlock(const void *Data, int BufSize);
  // Reads up to MaxSize bytes, waiting at most TimeOutReceive ms (0: no limit) while
  // the window's events go on: the count read, or -1 (closed, or a read failure).
  virtual int ReceiveBlock(void *Buf, int MaxSize);
  // The byte, or -1 when none came within TimeOutReceive.
  int ReceiveChar();

  void ClearTransBuf();
  void ClearReceiveBuf();
  int GetTransLength();
  int GetReceiveLength();

  void SetRtsSignal(bool Signal);
  void SetDtrSignal(bool Signal);
  bool IsCtsSignal();
  bool IsDsrSignal();
  bool IsRingSignal();
  bool IsRlsdSignal();
  // Holds a break on the line for 300 ms; the caller's thread sleeps meanwhile.
  void SendBreak();

  // How a port number becomes an open device: by default the port map and the
  // termios layer. Tests put a device of their own behind the component here.
  using TDeviceOpener = std::function<std::unique_ptr<kx::serial::Device>(int portNo)>;
  void SetDeviceOpener(TDeviceOpener opener) { opener_ = std::move(opener); }
  static std::unique_ptr<kx::serial::Device> OpenSystemPort(int portNo);

 private:
  friend class TCommTransThread;
  friend class TCommReceiveWatch;

  enum class Report { Receive, Break, Error, Disconnect };
  // Called by the transmit thread: hands the report to the owning thread and waits
  // until it is handled, or until the opening it belongs to has ended. It does not
  // wait while ClearTransBuf empties the queue, since the owning thread is then
  // waiting for that very thread.
  void SendReport(Report kind, int bits, std::uint64_t generation);
  // Queued calls on the owning thread: the oldest waiting report is handled; a
  // transmit slot has come free.
  Q_INVOKABLE void DeliverReport();
  Q_INVOKABLE void WakeOwner() {}
  // PortClose, with or without the line pauses.
  void ClosePort(bool linePauses);
  void HandleReport(Report kind, int bits, std::uint64_t generation);
  // The line errors a failed write reports (overrun, parity, framing), taken from the device.
  static int WriteErrorBits(kx::serial::Device &device);
  // Called by the transmit thread after a failed write.
  void ReportLineErrors(kx::serial::Device *device, std::uint64_t generation);
  // Called by the transmit thread when it finishes a block.
  void BlockFinished(int length);

  // Applies the line configuration with one field changed; raises `message` when refused.
  template <typename Edit>
  void ApplyLine(Edit edit, const char *message);
  void ApplyTimeouts();
  void ApplyQueues();
  void WaitForTransmitSlot();
  // Hands a block to the driver on this thread while the transmit thread is idle: the
  // count the block is done with (all of it after a failed write).
  int WriteWhileIdle(const std::uint8_t *data, int length);

  std::unique_ptr<TCommTransThread> TransThread;
  struct RetireWatch {
    void operator()(TCommReceiveWatch *watch) const;
  };
  std::unique_ptr<TCommReceiveWatch, RetireWatch> ReceiveWatch;
  std::mutex Critical1;  // the start of a port write against a transmit purge
  std::mutex Critical2;  // TransBufLen and TransCnt
  std::condition_variable TransDrained;  // signalled under Critical2 when a block finishes

  std::unique_ptr<kx::serial::Device> FHandle;
  int FPortNo = 1;
  int FBitRate = 9600;
  int FCharSize = 8;
  TCommParityBits FParityBit = cpbNone;
  TCommStopBits FStopBit = csb1;
  std::atomic<TCommFlowCtrls> FFlowCtrl{cfcRtsCts};
  std::atomic<int> FTimeOutTrans{3000};
  int FTimeOutReceive = 3000;
  char FXonChar = 17;
  char FXoffChar = 19;
  int FBufLenTrans = 2048;
  int FBufLenReceive = 2048;

  struct Line;
  std::unique_ptr<Line> FDCB;  // the configuration the open port last accepted
  int appliedBufLenTrans_ = 2048;

  int TransBufLen = 0;
  int TransCnt = 0;
  std::atomic<int> transWaiters_{0};

  std::mutex reportMutex_;
  std::condition_variable reportCv_;
  std::uint64_t liveGeneration_ = 0;  // under reportMutex_; 0 while closed
  bool transDiscard_ = false;         // under reportMutex_: ClearTransBuf is running
  std::uint64_t lastGeneration_ = 0;
  struct PendingReport {
    Report kind = Report::Receive;
    int bits = 0;
    std::uint64_t generation = 0;
    std::uint64_t id = 0;
  };
  std::deque<PendingReport> pendingReports_;   // under reportMutex_: sent, not yet handled
  std::vector<std::uint64_t> handledReports_;  // under reportMutex_: handled, sender not yet gone on
  std::uint64_t lastReportId_ = 0;             // under reportMutex_

  struct ReadWait;
  ReadWait *readWait_ = nullptr;  // the innermost ReceiveBlock waiting for bytes

  TDeviceOpener opener_;
};

// The component as the windows hold it: the same object with its settings
// declared as properties.
class TCommX : public TCustomCommX {
  Q_OBJECT
  Q_PROPERTY(int PortNo READ PortNo WRITE SetPortNo)
  Q_PROPERTY(int BitRate READ BitRate WRITE SetBitRate)
  Q_PROPERTY(int CharSize READ CharSize WRITE SetCharSize)
  Q_PROPERTY(int TimeOutTrans READ TimeOutTrans WRITE SetTimeOutTrans)
  Q_PROPERTY(int TimeOutReceive READ TimeOutReceive WRITE SetTimeOutReceive)
  Q_PROPERTY(int BufLenTrans READ BufLenTrans WRITE SetBufLenTrans)
  Q_PROPERTY(int BufLenReceive READ BufLenReceive WRITE SetBufLenReceive)
  Q_PROPERTY(int Handle READ Handle)
  Q_PROPERTY(int Tag MEMBER Tag)
 public:
  using TCustomCommX::TCustomCommX;
};
