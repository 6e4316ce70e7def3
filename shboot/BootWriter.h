#pragma once
// The SH boot-mode write as an engine without widgets: the states 2 to 999, their waits
// and time limits, the frames, the skipping of blank blocks, the routing of received
// bytes and the actions of every failure. The owner gives it the port, the log and the
// board's loaded payloads, and sees the run through a BootWriterView: the writer window
// shows it in its widgets, the command line prints it.
//
// The run is driven by a step event the engine posts to itself, from its 100 ms timer
// and from every step that moves the machine on, and by the bytes the owner hands to
// Receive.
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>

#include "payload/MemoryStream.h"

class TCommX;

namespace kx::shboot {

// What a view does with a run. Every call is made on the engine's thread, in the
// order the run acts; a call may run a nested event loop (a window's message box),
// and the run goes on inside it.
class BootWriterView {
 public:
  virtual ~BootWriterView() = default;
  // A step runs in `state` (also when idle, every 100 ms).
  virtual void StepRan(int /*state*/) {}
  // The state changed.
  virtual void StateChanged(int /*state*/) {}
  // The progress value and its maximum.
  virtual void ProgressMaximum(int /*maximum*/) {}
  virtual void ProgressValue(int /*value*/) {}
  // The status line (the window's status panel 1).
  virtual void PanelText(const QString & /*text*/) {}
  // A message for the user that waits for an answer where the view can ask one. A
  // failure's closing state runs in a window's message box while it is open; a view
  // that answers at once calls BootWriter::LetClosingStateRun to keep that order.
  virtual void Message(const QString & /*text*/) {}
  // The message of an error that ended the run before anything was sent.
  virtual void ErrorMessage(const QString & /*text*/) {}
  virtual void Beep() {}
  // Whether WRITE START and Abort can be used.
  virtual void WriteEnabled(bool /*enabled*/) {}
  virtual void AbortEnabled(bool /*enabled*/) {}
  // The run is about to take the port (whoever holds it loses it).
  virtual void PortTaking() {}
  // The port was opened or closed by the run.
  virtual void PortChanged(bool /*open*/) {}
  // A frame went out for the block at `address` / a blank block was passed over.
  virtual void BlockSent(unsigned /*address*/) {}
  virtual void BlockSkipped(unsigned /*address*/) {}
  // The chip took a block.
  virtual void BlockAnswered() {}
  // The board's state as the run leaves it: a run in progress, written, failed (the
  // board may be blank or half written), or as it was before the run.
  enum class Board { Running, Written, Failed, AsBefore };
  virtual void BoardState(Board /*state*/) {}
};

// The log the run writes to: a line, and the save after it.
struct BootWriterLog {
  std::function<void(const QString &)> add;
  std::function<void()> save;
};

// The board's loaded payloads, owned by the caller: the boot data as transmitted
// (length and program), the same bytes as the expected echo, the 0x40000-byte flash
// image, and why either did not load whole (empty when it did).
struct BootPayloads {
  MemoryStream *boot = nullptr;
  MemoryStream *echo = nullptr;
  MemoryStream *firm = nullptr;
  QString bootFault;
  QString firmFault;
};

class BootWriter : public QObject {
  Q_OBJECT
 public:
  BootWriter(TCommX &port, BootWriterLog log, QObject *parent = nullptr);
  ~BootWriter() override;

  void SetView(BootWriterView *view) { view_ = view ? view : &noView_; }
  void SetPayloads(const BootPayloads &payloads) { payloads_ = payloads; }
  const BootPayloads &Payloads() const { return payloads_; }
  // The boot timing item the run opens the port with (0: 9600, 1: 19200 bit/s).
  void SetTimingItem(int item) { timingItem_ = item; }

  // 0 while no run is in progress.
  int State() const { return state_; }
  // Whether the last run that ended reached "Writing complete".
  bool Succeeded() const { return succeeded_; }
  // The 100 ms timer that keeps the steps going.
  QTimer *Timer() const { return timer_; }

  // WRITE START: logs the click and starts a run; false, with the reason logged and
  // given to the view, when the payloads cannot be written.
  bool Start();
  // Abort: ends a run at once, the port closed.
  void Abort();
  // The port's device hung up: a run in progress fails with `message`.
  void Disconnected(const QString &message);
  // A byte the port received while a run is in progress.
  void Receive(std::uint8_t RxData);
  // One step of the machine in its current state.
  void Step();
  // Runs the event loop while a failure's closing state (999) is still to run.
  void LetClosingStateRun();

 signals:
  // State 999 has closed the port and the run has ended.
  void ClosingStateDone();

 protected:
  void customEvent(QEvent *event) override;

 private:
  void SetState(int state);
  void PostStep();
  void Log(const QString &text);
  void LogSave();
  void Panel(const QString &text);
  void Progress(int value);
  void ProgressMax(int maximum);

  // Steps of the link set-up.
  void BootPortOpen();
  void AdjustBitRateSend();
  void AdjustBitRateWait();
  void EraseRequest();
  void EraseWait();
  void BootProgramPrepare();
  void BootProgramTransmit();
  void BootProgramEchoWait();
  void BootProgramStartWait();
  void BitRateChange();
  // Steps of the flash programming and the close.
  void FirmwarePrepare();
  void FirmwareStart();
  void FirmwareStartWait();
  void WriteBlock();
  void WriteBlockWait();
  void WriteComplete();
  void BootPortClose();

  // Receive branches.
  void AdjustBitRateReceive(std::uint8_t RxData);
  void EraseReceive(std::uint8_t RxData);
  void BootProgramEchoReceive(std::uint8_t RxData);
  void BootProgramStartReceive(std::uint8_t RxData);
  void FirmwareStartReceive(std::uint8_t RxData);
  void WriteBlockReceive(std::uint8_t RxData);

  // The end of a run on an error: state 999 first, then the actions in the order
  // that failure prescribes.
  enum class FailAct { Log, Beep, Box, Panel, Sleep, Post, Abort };
  void Failure(const QString &message, std::initializer_list<FailAct> actions);

  TCommX &port_;
  BootWriterLog log_;
  BootWriterView *view_ = nullptr;
  BootWriterView noView_;
  BootPayloads payloads_;
  QTimer *timer_;
  int timingItem_ = -1;
  int state_ = 0;

  std::uint8_t txBuf_[512] = {};
  std::uint8_t echoByte_ = 0;
  std::uint32_t phaseStartTick_ = 0;
  std::uint32_t lastEventTick_ = 0;
  QDateTime startTime_;
  bool succeeded_ = false;
  // The run has sent the erase request: from then on the board may be blank or half written.
  bool eraseStarted_ = false;
  // The run has told the view that the board is being written.
  bool boardRunning_ = false;
};

}  // namespace kx::shboot
