// The SH write of kx7391: every receiver on a thread of its own, with its own event loop,
// port, engine and logs, since the engine's 200 and 500 ms sleeps block their thread.
// The main thread asks for Enter once for all of them, takes Ctrl+C and sums up.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "cli/Common.h"
#include "cli/Console.h"
#include "cli/Writes.h"
#include "comm/CommX.h"
#include "platform/Signals.h"
#include "platform/serial/PortMap.h"
#include "shboot/BoardLoad.h"
#include "shboot/BoardSetup.h"
#include "shboot/BootFrame.h"
#include "shboot/BootWriter.h"

namespace kx::cli {

namespace sh = kx::shboot;

const char *const kSteps[4] = {
    "Step 1 :  Power OFF via rear switch.\n"
    "Step 2 :  Open DIP SWITCH area (bottom of receiver); remove screw and metal plate.\n"
    "Step 3 :  Set DIP switch 1 to ON.\n"
    "Step 4 :  Power on via rear switch. Wait 10 sec.\n",
    "Step 1 :  Power OFF via rear switch.\n"
    "Step 2 :  Open DIP SWITCH area (bottom of receiver); remove screw and metal plate.\n"
    "Step 3 :  Set DIP switch 2 to ON.\n"
    "Step 4 :  Power on via rear switch. Wait 10 sec.\n",
    "Step 1 :  Power OFF via rear switch.\n"
    "Step 2 :  Open DIP SWITCH area (bottom of receiver); remove screw and metal plate.\n"
    "Step 3 :  Set DIP switches 2 and 3 to ON.\n"
    "Step 4 :  Power on via rear switch. Wait 10 sec.\n",
    "Step 1 :  Power OFF via rear switch.\n"
    "Step 2 :  Connect PC to Receiver's I/Q OUT.\n"
    "Step 3 :  Power on via rear switch .  Wait 10 sec.\n"};

const QStringList &MainBoardImages() {
  static const QStringList images{QStringLiteral("MAIN_NONE_SH_7391"), QStringLiteral("MAIN_B_SH_7391"),
                                  QStringLiteral("MAIN_R_SH_7391"), QStringLiteral("MAIN_Q_SH_7391")};
  return images;
}

namespace {

const char *const kBoardJson[] = {"mainboard", "decoder", "panel"};
const char *const kBoardRecord[] = {"MainBoard", "Decoder", "Panel"};
const char *const kBoardClick[] = {"[MainBoard](FormMain) clicked", "[Decorder](FormMain) clicked",
                                   "[Panel](FormMain) clicked"};

// The port's entry as COM Search lists it: "COM9(/dev/pts/4)".
QString PortEntryText(int portNo) {
  if (const auto ports = serial::ListPorts())
    for (const auto &p : *ports)
      if (p.portNo == portNo) return p.portName + QLatin1Char('(') + p.device + QLatin1Char(')');
  return QStringLiteral("COM%1").arg(portNo);
}

struct Outcome {
  int exit = kOk;
  QString result;   // written, failed, aborted, refused, not started
  QString message;
  QString image;
  int blocks = 0;
  int sent = 0;
  double seconds = 0;
  bool started = false;  // the engine ran: the receiver is in boot mode
};

class Job;

// One receiver's run as printed: plain lines naming the port, or a live line on a
// terminal; JSON Lines with --json.
class JobView : public sh::BootWriterView {
 public:
  JobView(Job &job, sh::BootWriter &writer, int nonBlank) : job_(job), writer_(writer), nonBlank_(nonBlank) {}
  std::function<void()> ended;
  QStringList messages;
  QString portError;
  QString lastPanel;
  QString lastShown;
  int sent = 0;
  Board board = Board::AsBefore;

  void StateChanged(int state) override;
  void PanelText(const QString &t) override;
  void Message(const QString &t) override;
  void ErrorMessage(const QString &t) override;
  void BlockSent(unsigned) override;
  void BoardState(Board state) override { board = state; }

 private:
  Job &job_;
  sh::BootWriter &writer_;
  int nonBlank_;
  int lastTenth_ = -1;
  int lastPercent_ = -1;
  QElapsedTimer clock_;
  QElapsedTimer sinceProgress_;
};

class Job : public QThread {
 public:
  Job(int board, Receiver receiver, int slot, int count, const WriteOptions &options, WriteRecordFile &records)
      : board_(board), rx_(std::move(receiver)), slot_(slot), named_(count > 1), options_(options), records_(records) {}

  // Called on the job's thread once it is ready to write (or has ended without).
  std::function<void(Job *)> ready;
  Outcome outcome;
  bool waiting = false;  // main thread: ready and waiting for Go or Cancel
  bool done = false;     // main thread: the thread has ended

  const Receiver &Rx() const { return rx_; }
  bool Json() const { return options_.json; }
  int Slot() const { return slot_; }
  QString BoardJson() const { return QLatin1String(kBoardJson[board_]); }
  QJsonObject Object(const QString &kind) const { return JsonObject(kind, rx_.port, rx_.serial, BoardJson()); }
  // With several receivers each line names its port; one receiver's lines are as they were.
  QString Named(const QString &t) const { return named_ ? rx_.port + QStringLiteral(": ") + t : t; }
  void Say(const QString &t) const { Console::Get().Out(Named(t)); }
  void SayErr(const QString &t) const { Console::Get().Err(Named(t)); }

  // From the main thread.
  void Go() { Post([this] { Decide(true, kOk, {}, {}); }); }
  void Cancel(int exit, const QString &message, const QString &logLine) {
    Post([this, exit, message, logLine] { Decide(false, exit, message, logLine); });
  }
  void Abort() {
    abortRequested_ = true;
    Post([this] {
      if (abortNow_) abortNow_();
    });
  }

 protected:
  void run() override {
    QObject context;
    {
      std::lock_guard lock(mutex_);
      context_ = &context;
    }
    Logs logs(rx_.serial);
    TellInterruptedWrite(rx_.serial, rx_.port, BoardJson(), Json(), &logs);
    TCommX port;
    port.SetFlowCtrl(cfcNone);
    port.SetPortNo(rx_.portNo);
    outcome = Run(logs, port);
    logs.Save();
    {
      std::lock_guard lock(mutex_);
      context_ = nullptr;
    }
    // The events posted to the context after this are dropped with it.
    QCoreApplication::removePostedEvents(&context);
  }

 private:
  void Post(std::function<void()> f) {
    std::lock_guard lock(mutex_);
    if (context_) QMetaObject::invokeMethod(context_, std::move(f), Qt::QueuedConnection);
  }
  void Decide(bool go, int exit, const QString &message, const QString &logLine) {
    if (decided_) decided_(go, exit, message, logLine);
  }
  Outcome Refused(Outcome o, int exit, const QString &message) {
    SayErr(message);
    o.exit = exit;
    o.result = QStringLiteral("refused");
    o.message = message;
    return o;
  }
  Outcome Run(Logs &logs, TCommX &port);
  void Record(const sh::BoardSetup &setup, const MemoryStream &firm, WriteResult result, double seconds, Logs &logs);

  int board_;
  Receiver rx_;
  int slot_;
  bool named_;
  WriteOptions options_;
  WriteRecordFile &records_;
  std::mutex mutex_;
  QObject *context_ = nullptr;
  std::atomic<bool> abortRequested_{false};
  // The job's thread only.
  std::function<void()> abortNow_;
  std::function<void(bool, int, const QString &, const QString &)> decided_;
};

void JobView::StateChanged(int state) {
  if (job_.Json()) {
    QJsonObject o = job_.Object(QStringLiteral("state"));
    o["state"] = state;
    Console::Get().Json(o);
  }
  if (state == 0 && ended) ended();
}

void JobView::PanelText(const QString &t) {
  lastPanel = t;
  if (t.startsWith(QStringLiteral("Write adrs")) || t.startsWith(QStringLiteral("Skip adrs"))) return;
  if (job_.Json()) {
    QJsonObject o = job_.Object(QStringLiteral("status"));
    o["text"] = t;
    Console::Get().Json(o);
  }
  // In the closing state the status is a failure's text: said on standard error, also on a
  // terminal, and once, whether the failure's message comes before it or after.
  if (writer_.State() == 999) {
    if (t != lastShown) job_.SayErr(t);
    lastShown = t;
    return;
  }
  if (job_.Json() || Console::Get().Terminal()) return;
  job_.Say(t);
}

void JobView::Message(const QString &t) {
  messages.append(t);
  if (job_.Json()) {
    QJsonObject o = job_.Object(QStringLiteral("message"));
    o["text"] = t;
    Console::Get().Json(o);
  }
  if (t != lastShown) job_.SayErr(t);
  lastShown = t;
  // As the window's box: the closing state runs before the sequence goes on.
  writer_.LetClosingStateRun();
}

void JobView::ErrorMessage(const QString &t) {
  portError = t;
  if (job_.Json()) {
    QJsonObject o = job_.Object(QStringLiteral("message"));
    o["text"] = t;
    Console::Get().Json(o);
  }
  job_.SayErr(t);
  lastShown = t;
}

void JobView::BlockSent(unsigned) {
  if (sent == 0) {
    clock_.start();
    sinceProgress_.start();
  }
  ++sent;
  const int percent = nonBlank_ ? sent * 100 / nonBlank_ : 100;
  if (job_.Json()) {
    if (percent != lastPercent_ || sinceProgress_.elapsed() >= 1000 || sent == nonBlank_) {
      lastPercent_ = percent;
      sinceProgress_.restart();
      QJsonObject o = job_.Object(QStringLiteral("progress"));
      o["sent"] = sent;
      o["blocks"] = nonBlank_;
      o["percent"] = percent;
      Console::Get().Json(o);
    }
  } else if (Console::Get().Terminal()) {
    const double secs = clock_.elapsed() / 1000.0;
    const double rate = secs > 0 ? sent / secs : 0;
    const double left = rate > 0 ? (nonBlank_ - sent) / rate : 0;
    Console::Get().Live(job_.Slot(), QStringLiteral("%1 %2 %  %3/%4 blocks  %5 blocks/s  %6 s left")
                                         .arg(job_.Rx().port, -6)
                                         .arg(percent, 3)
                                         .arg(sent)
                                         .arg(nonBlank_)
                                         .arg(rate, 0, 'f', 1)
                                         .arg(left, 0, 'f', 0));
  } else if (percent / 10 != lastTenth_) {
    lastTenth_ = percent / 10;
    job_.Say(QStringLiteral("%1 % (%2/%3 blocks)").arg(percent).arg(sent).arg(nonBlank_));
  }
}

void Job::Record(const sh::BoardSetup &setup, const MemoryStream &firm, WriteResult result, double seconds,
                 Logs &logs) {
  WriteRecord r;
  r.serial = rx_.serial;
  r.board = QLatin1String(kBoardRecord[board_]);
  const std::size_t size = std::min<std::size_t>(firm.Bytes().size(), sh::kFlashSize);
  r.SetImages({{setup.firmwareResource,
                QByteArrayView(reinterpret_cast<const char *>(firm.Bytes().data()), static_cast<qsizetype>(size))}});
  r.port = rx_.port;
  r.result = result;
  r.seconds = seconds;
  r.version = QStringLiteral(KX_VERSION);
  records_.Append(r);
  logs.Add(WriteRecordLogLine(r));
  logs.Save();
}

Outcome Job::Run(Logs &logs, TCommX &port) {
  Outcome o;
  ReceiverContext receiver;
  receiver.TakeSerialNumber(rx_.serial);
  const QString interrupted = QStringLiteral("Interrupted before the write: nothing was written.");
  auto setup = *sh::SetupForBoard(board_, receiver.ShortRfu(), receiver.BlockVersion());
  QString source = QStringLiteral("board");
  if (abortRequested_) return Refused(o, kAborted, interrupted);
  if (board_ == sh::kMainBoard && !rx_.image.isEmpty()) {
    // The expert's way without an answer: the image as named.
    setup.firmwareResource = rx_.image;
    source = QStringLiteral("option");
  } else if (board_ == sh::kMainBoard) {
    bool stopped = false;
    const CheckOutcome c = RunCheck(port, logs, receiver, &abortNow_, &stopped);
    if (Json()) Console::Get().Json(CheckJson(c, rx_.port, rx_.serial, BoardJson()));
    if (stopped) return Refused(o, kAborted, c.message);
    if (c.exit == kPortUnavailable || c.exit == kOtherModel) return Refused(o, c.exit, c.message);
    if (c.exit != kOk) {
      // The image is never guessed from the serial number alone.
      const QString why = c.message + QStringLiteral(
          " The MainBoard image is not guessed: run \"kx7391 check\" with the receiver in normal mode, then "
          "\"kx7391 write mainboard --image NAME\" with the image it printed. Nothing was sent.");
      logs.Add(QStringLiteral("MainBoard write refused: no answer and no image named"));
      logs.Save();
      return Refused(o, kImageNotChosen, why);
    }
    setup = *sh::SetupForBoard(board_, receiver.ShortRfu(), receiver.BlockVersion());
    source = QStringLiteral("check");
  }
  o.image = setup.firmwareResource;
  logs.Add(QLatin1String(kBoardClick[board_]));
  MemoryStream boot, echo, firm;
  sh::BootPayloads payloads{&boot, &echo, &firm, {}, {}};
  const MessageSink sink = [this](const QString &t) { SayErr(t); };
  const sh::BootWriterLog writerLog{[&](const QString &t) { logs.Add(t); }, [&] { logs.Save(); }};
  try {
    const sh::BoardLoadResult loaded =
        sh::LoadBoard(setup, setup.captionPrefix + PortEntryText(port.PortNo()) + QStringLiteral("]"), boot, echo,
                      firm, writerLog, sink);
    payloads.bootFault = loaded.bootFault;
    payloads.firmFault = loaded.firmFault;
    if (!loaded.spareCopyError.isEmpty()) SayErr(loaded.spareCopyError);
  } catch (const std::exception &e) {
    // A missing payload: the loader's own message, for whichever payload it was.
    const QString fault = QString::fromUtf8(e.what());
    (boot.Empty() ? payloads.bootFault : payloads.firmFault) = fault;
    logs.Add(QStringLiteral(" load error! ") + fault);
    SayErr(fault);
  }
  if (!payloads.bootFault.isEmpty() || !payloads.firmFault.isEmpty()) {
    logs.Save();
    return Refused(o, kPayloadRefused, !payloads.bootFault.isEmpty() ? payloads.bootFault : payloads.firmFault);
  }
  o.blocks = sh::NonBlankBlocks(firm);
  if (Json()) {
    QJsonObject p = Object(QStringLiteral("plan"));
    p["image"] = o.image;
    p["source"] = source;
    p["blocks"] = o.blocks;
    Console::Get().Json(p);
  } else {
    Say(QStringLiteral("%1 (%2, %3 blocks)")
            .arg(o.image, source == QStringLiteral("option") ? QStringLiteral("named by --image")
                          : source == QStringLiteral("check") ? QStringLiteral("chosen by the check")
                                                              : QStringLiteral("the board's image"))
            .arg(o.blocks));
  }

  // Ready: the main thread says when to write.
  {
    QEventLoop wait;
    bool go = false;
    decided_ = [&](bool g, int exit, const QString &message, const QString &logLine) {
      go = g;
      if (!g) {
        o = Refused(o, exit, message);
        o.result = QStringLiteral("not started");
        if (!logLine.isEmpty()) logs.Add(logLine);
        logs.Add(QStringLiteral("Write not started: ") + message);
        logs.Save();
      }
      wait.quit();
    };
    abortNow_ = [&] { decided_(false, kAborted, interrupted, QStringLiteral("Termination signal received")); };
    if (ready) ready(this);
    if (!abortRequested_) wait.exec();
    else decided_(false, kAborted, interrupted, QStringLiteral("Termination signal received"));
    decided_ = nullptr;
    abortNow_ = nullptr;
    if (!go) return o;
  }

  sh::BootWriter writer(port, writerLog);
  JobView view(*this, writer, o.blocks);
  writer.SetView(&view);
  writer.SetPayloads(payloads);
  writer.SetTimingItem(setup.bpsItem);
  port.OnReceive = [&](QObject *, int size) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max(size, 0)));
    const int got = port.ReceiveBlock(buf.data(), size);
    for (int i = 0; i < got; ++i)
      if (writer.State() != 0) writer.Receive(buf[static_cast<std::size_t>(i)]);
  };
  port.OnDisconnect = [&](QObject *) {
    writer.Disconnected(QStringLiteral("COM%1 was disconnected.").arg(port.PortNo()));
  };
  bool aborted = false;
  // Ctrl+C runs Abort's sequence: the port closed and the click logged.
  abortNow_ = [&] {
    if (writer.State() != 0) {
      aborted = true;
      logs.Add(QStringLiteral("Termination signal received"));
      writer.Abort();
    }
  };
  QElapsedTimer clock;
  clock.start();
  if (!writer.Start()) {
    abortNow_ = nullptr;
    return Refused(o, kPayloadRefused, view.messages.isEmpty() ? QStringLiteral("The write was refused.")
                                                               : view.messages.last());
  }
  o.started = true;
  Record(setup, firm, WriteResult::Started, 0, logs);
  QEventLoop loop;
  view.ended = [&loop] { loop.quit(); };
  if (abortRequested_) abortNow_();
  if (writer.State() != 0) loop.exec();
  abortNow_ = nullptr;
  port.OnReceive = nullptr;
  port.OnDisconnect = nullptr;
  o.seconds = clock.elapsed() / 1000.0;
  o.sent = view.sent;

  WriteResult result = WriteResult::Written;
  if (aborted) {
    o.exit = kAborted;
    result = WriteResult::Aborted;
    o.message = view.board == sh::BootWriterView::Board::Failed
                    ? QStringLiteral("Write aborted: the board is left unwritten. Write it again.")
                    : QStringLiteral("Write aborted before the erase: the board is as it was.");
  } else if (!view.portError.isEmpty()) {
    o.exit = kPortUnavailable;
    result = WriteResult::Failed;
    o.message = view.portError;
  } else if (!writer.Succeeded()) {
    o.exit = kWriteFailed;
    result = WriteResult::Failed;
    o.message = !view.messages.isEmpty() ? view.messages.last() : view.lastPanel;
  } else {
    o.message = view.lastPanel;
  }
  o.result = WriteResultText(result);
  Record(setup, firm, result, o.seconds, logs);
  // Every failure is said, also where the status line is not printed (a terminal).
  if (o.exit != kOk && o.message != view.lastShown) SayErr(o.message);
  return o;
}

}  // namespace

int WriteSh(int board, const QList<Receiver> &receivers, const WriteOptions &options) {
  Console &con = Console::Get();
  WriteRecordFile records;
  records.failed = [](const QString &message) { Console::Get().Err(message); };
  const bool live = con.Terminal() && !options.json;
  if (live) con.SetLiveLines(static_cast<int>(receivers.size()));

  std::vector<std::unique_ptr<Job>> jobs;
  for (int i = 0; i < receivers.size(); ++i)
    jobs.push_back(std::make_unique<Job>(board, receivers[i], i, static_cast<int>(receivers.size()), options, records));

  QEventLoop loop;
  int finished = 0;
  bool decided = false;
  bool interrupted = false;
  std::unique_ptr<QSocketNotifier> input;
  QByteArray typed;

  const auto cancelWaiting = [&](int exit, const QString &message, const QString &logLine) {
    input.reset();
    for (auto &j : jobs)
      if (j->waiting) {
        j->waiting = false;
        j->Cancel(exit, message, logLine);
      }
  };
  const auto goAll = [&] {
    input.reset();
    for (auto &j : jobs)
      if (j->waiting) {
        j->waiting = false;
        j->Go();
      }
  };
  // Once every job is ready or has ended: Enter once for all of them.
  const auto maybeDecide = [&] {
    if (decided) return;
    int waiting = 0;
    for (auto &j : jobs) {
      if (!j->waiting && !j->done) return;
      waiting += j->waiting;
    }
    decided = true;
    if (waiting == 0) return;
    if (options.yes) {
      goAll();
      return;
    }
    QStringList images;
    for (auto &j : jobs)
      if (j->waiting && !images.contains(j->outcome.image)) images.append(j->outcome.image);
    const QString prompt = QLatin1String(kSteps[board]) + QStringLiteral("Press Enter to write ") +
                           images.join(QStringLiteral(", ")) + QStringLiteral(" (Ctrl+C to stop).\n");
    if (options.json)
      con.Err(prompt.chopped(1));
    else
      con.OutBlock(prompt);
    input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(input.get(), &QSocketNotifier::activated, [&] {
      char buf[256];
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n > 0) {
        typed.append(buf, n);
        if (typed.contains('\n')) goAll();
      } else if (n == 0) {
        cancelWaiting(kNotConfirmed,
                      QStringLiteral("End of input at the Enter prompt: nothing was written (--yes writes without it)."),
                      QString());
      }
    });
  };

  for (auto &j : jobs) {
    Job *job = j.get();
    job->ready = [&, job](Job *) {
      QMetaObject::invokeMethod(qApp, [&, job] {
        job->waiting = true;
        maybeDecide();
      }, Qt::QueuedConnection);
    };
    QObject::connect(job, &QThread::finished, qApp, [&, job] {
      job->done = true;
      job->waiting = false;
      ++finished;
      maybeDecide();
      if (finished == static_cast<int>(jobs.size())) loop.quit();
    }, Qt::QueuedConnection);
  }
  // Ctrl+C and SIGTERM: every run takes its Abort; a prompt ends with nothing written.
  OnTerminationSignal([&] {
    interrupted = true;
    cancelWaiting(kAborted, QStringLiteral("Interrupted at the Enter prompt: nothing was written."),
                  QStringLiteral("Termination signal received"));
    for (auto &j : jobs) j->Abort();
  });
  for (auto &j : jobs) j->start();
  loop.exec();
  for (auto &j : jobs) j->wait();
  if (live) con.EndLive();

  int exit = kOk;
  bool started = false;
  for (auto &j : jobs) {
    const Outcome &o = j->outcome;
    started = started || o.started;
    if (exit == kOk && o.exit != kOk) exit = o.exit;
    if (options.json) {
      QJsonObject e = j->Object(QStringLiteral("end"));
      e["exit"] = o.exit;
      e["result"] = o.result;
      e["image"] = o.image;
      e["blocks"] = o.blocks;
      e["sent"] = o.sent;
      e["seconds"] = o.seconds;
      e["message"] = o.message;
      con.Json(e);
    }
  }
  if (!options.json) {
    // Each receiver's failure is said as it happens; the summary names every result.
    for (auto &j : jobs) {
      const Outcome &o = j->outcome;
      const QString who = j->Rx().port + (j->Rx().serial.isEmpty() ? QString() : QLatin1Char(' ') + j->Rx().serial);
      // One receiver's completion is printed already, except on a terminal.
      if (o.exit == kOk && jobs.size() > 1)
        con.Out(who + QStringLiteral(": written: ") + o.message);
      else if (o.exit == kOk && con.Terminal())
        con.Out(o.message);
      else if (jobs.size() > 1)
        con.Err(QStringLiteral("%1: %2 (exit %3): %4").arg(who, o.result).arg(o.exit).arg(o.message));
    }
    // The switches go back after every run that put a receiver in boot mode.
    if (started)
      con.Out(QStringLiteral(
          "Step 5 :  Power off via rear switch.\nStep 6 :  Return DIP switch(es) to default position."));
  }
  (void)interrupted;
  return exit;
}

}  // namespace kx::cli
