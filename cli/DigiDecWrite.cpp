// kx7391 write digidec: the carried writer tool deployed, run and followed by the same
// engine as the DigiDec window, printed instead of shown.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QSocketNotifier>
#include <memory>
#include <unistd.h>

#include "cli/Common.h"
#include "cli/Console.h"
#include "cli/Writes.h"
#include "digidec/Deployment.h"
#include "digidec/DigiDecRun.h"
#include "platform/Signals.h"

namespace kx::cli {

namespace {

namespace dd = kx::digidec;

class DigiDecView : public dd::DigiDecRunView {
 public:
  DigiDecView(const QString &serial, bool json) : serial_(serial), json_(json) {}
  std::function<void()> ended;
  bool running = false;
  Outcome outcome = Outcome::NotStarted;
  QString exitText;
  QString lastError;
  QString lastMessage;

  QJsonObject Object(const QString &kind) const { return JsonObject(kind, QString(), serial_, QStringLiteral("digidec")); }

  void Message(const QString &text) override {
    lastMessage = text;
    if (text.startsWith(QStringLiteral("E:"))) lastError = text;
    if (json_) {
      QJsonObject o = Object(QStringLiteral("message"));
      o["text"] = text;
      Console::Get().Json(o);
    }
    if (text.startsWith(QStringLiteral("E:")) || !text.startsWith(QStringLiteral("I:")))
      Console::Get().Err(text);
    else if (!json_)
      Console::Get().Out(text);
  }
  void Bars(int overall, int phase) override {
    if (json_) {
      if (overall == overall_ && phase == phase_) return;
      QJsonObject o = Object(QStringLiteral("progress"));
      o["percent"] = overall;
      o["phase"] = phase;
      Console::Get().Json(o);
    } else if (Console::Get().Terminal()) {
      Console::Get().Live(0, QStringLiteral("DigiDec %1 %  (phase %2 %)").arg(overall, 3).arg(phase, 3));
    } else if (overall != overall_) {
      Console::Get().Out(QStringLiteral("%1 %").arg(overall));
    }
    overall_ = overall;
    phase_ = phase;
  }
  void BoardState(Board state) override {
    if (state == Board::Running) running = true;
    if (json_) {
      QJsonObject o = Object(QStringLiteral("state"));
      o["state"] = state == Board::Running ? "running" : state == Board::Written ? "written" : "failed";
      Console::Get().Json(o);
    }
    if (state == Board::Running && started) started();
  }
  void ErrorMessage(const QString &text) override {
    lastError = text;
    if (json_) {
      QJsonObject o = Object(QStringLiteral("message"));
      o["text"] = text;
      Console::Get().Json(o);
    }
    Console::Get().Err(text);
  }
  void RunEnded(Outcome o, const QString &exit) override {
    outcome = o;
    exitText = exit;
    if (ended) ended();
  }
  std::function<void()> started;

 private:
  QString serial_;
  bool json_;
  int overall_ = -1;
  int phase_ = -1;
};

QByteArray FileBytes(const QString &path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

int WriteDigiDec(const QString &serial, const WriteOptions &options) {
  Console &con = Console::Get();
  Logs logs(serial);
  TellInterruptedWrite(serial, QString(), QStringLiteral("digidec"), options.json, &logs);
  const auto finish = [&](int exit, const QString &result, const QString &message, double seconds) {
    if (options.json) {
      QJsonObject e = JsonObject(QStringLiteral("end"), QString(), serial, QStringLiteral("digidec"));
      e["exit"] = exit;
      e["result"] = result;
      e["image"] = dd::kImageFileName + QLatin1Char('+') + dd::kImage10FileName;
      e["seconds"] = seconds;
      e["message"] = message;
      con.Json(e);
    } else if (exit == kOk) {
      con.Out(message);
    } else {
      con.Err(QStringLiteral("%1 (exit %2): %3").arg(result).arg(exit).arg(message));
    }
    return exit;
  };
  const dd::DeployReport report{[&](const QString &t) { logs.Add(t); }, [&] { logs.Save(); },
                                [&](const QString &t) { con.Err(t); }, [&](const QString &t) { con.Err(t); }};
  if (!dd::MakeExeAndA57(report)) {
    logs.Save();
    return finish(kPayloadRefused, QStringLiteral("refused"),
                  QStringLiteral("The writer tool could not be put in place: ") + dd::ToolDirectory(), 0);
  }
  logs.Add(QStringLiteral("[DigiDec](FormMain) clicked"));
  logs.Save();

  DigiDecView view(serial, options.json);
  dd::DigiDecRun run({[&](const QString &t) { logs.Add(t); }, [&] { logs.Save(); }});
  run.SetView(&view);
  run.FormCreate();

  QEventLoop loop;
  bool interrupted = false;
  bool confirmed = options.yes;
  std::unique_ptr<QSocketNotifier> input;
  if (!confirmed) {
    const QString prompt =
        QLatin1String(kSteps[3]) + QStringLiteral("Press Enter to write DigiDec (about 10 minutes; Ctrl+C to stop).\n");
    if (options.json)
      con.Err(prompt.chopped(1));
    else
      con.OutBlock(prompt);
    bool eof = false;
    input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray typed;
    QObject::connect(input.get(), &QSocketNotifier::activated, [&] {
      char buf[256];
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n > 0) typed.append(buf, n);
      if (n == 0) eof = true;
      if (eof || typed.contains('\n')) {
        confirmed = !eof;
        loop.quit();
      }
    });
    OnTerminationSignal([&] {
      if (!input) {
        if (run.Running()) {
          interrupted = true;
          logs.Add(QStringLiteral("Termination signal received"));
          logs.Save();
          run.Stop();
        }
        return;
      }
      interrupted = true;
      loop.quit();
    });
    loop.exec();
    input.reset();
    if (interrupted || !confirmed) {
      logs.Add(interrupted ? QStringLiteral("Termination signal received")
                           : QStringLiteral("Write not started: end of input at the prompt"));
      logs.Save();
      return interrupted
                 ? finish(kAborted, QStringLiteral("not started"),
                          QStringLiteral("Interrupted at the Enter prompt: nothing was written."), 0)
                 : finish(kNotConfirmed, QStringLiteral("not started"),
                          QStringLiteral("End of input at the Enter prompt: nothing was written (--yes writes without it)."),
                          0);
    }
  } else {
    // As the window at a shutdown: the tool and its group are stopped, and it is logged.
    OnTerminationSignal([&] {
      if (run.Running()) {
        interrupted = true;
        logs.Add(QStringLiteral("Termination signal received"));
        logs.Save();
        run.Stop();
      }
    });
  }

  // The record's images: the two files the tool is given, as they are in its folder.
  const QByteArray image = FileBytes(QDir(dd::ToolDirectory()).filePath(dd::kImageFileName));
  const QByteArray image10 = FileBytes(QDir(dd::ToolDirectory()).filePath(dd::kImage10FileName));
  WriteRecordFile records;
  records.failed = [](const QString &message) { Console::Get().Err(message); };
  WriteRecord record;
  record.serial = serial;
  record.board = QStringLiteral("DigiDec");
  record.SetImages({{dd::kImageFileName, image}, {dd::kImage10FileName, image10}});
  record.version = QStringLiteral(KX_VERSION);
  QElapsedTimer clock;
  bool recorded = false;
  view.started = [&] {
    clock.start();
    recorded = true;
    record.result = WriteResult::Started;
    records.Append(record);
    logs.Add(WriteRecordLogLine(record));
    logs.Save();
  };
  view.ended = [&] { loop.quit(); };
  if (Console::Get().Terminal() && !options.json) Console::Get().SetLiveLines(1);
  run.Start();
  if (run.Running()) loop.exec();
  // Nothing of the tool outlives the command: a stopped tool's group is waited for.
  if (run.ToolAlive()) {
    QObject::connect(&run, &dd::DigiDecRun::ToolGone, &loop, &QEventLoop::quit);
    if (run.ToolAlive()) loop.exec();
  }
  const double seconds = recorded ? clock.elapsed() / 1000.0 : 0;

  int exit = kOk;
  QString result = QStringLiteral("written");
  QString message = QStringLiteral("Success");
  WriteResult end = WriteResult::Written;
  switch (view.outcome) {
    case dd::DigiDecRunView::Outcome::Succeeded:
      break;
    case dd::DigiDecRunView::Outcome::Stopped:
      exit = kAborted;
      end = WriteResult::Aborted;
      result = QStringLiteral("aborted");
      message = view.lastMessage;
      break;
    case dd::DigiDecRunView::Outcome::Failed:
      exit = kToolFailed;
      end = WriteResult::Failed;
      result = QStringLiteral("failed");
      message = (view.lastError.isEmpty() ? QString() : view.lastError + QStringLiteral("; ")) +
                QStringLiteral("WriterCmd ended without Success: ") + view.exitText;
      break;
    case dd::DigiDecRunView::Outcome::NotStarted:
      exit = kToolNotStarted;
      result = QStringLiteral("not started");
      message = view.lastError.isEmpty() ? QStringLiteral("The writer tool was not started.") : view.lastError;
      break;
  }
  if (!run.Running() && view.outcome == dd::DigiDecRunView::Outcome::NotStarted && view.lastError.isEmpty())
    message = QStringLiteral("The writer tool was not started (see the log).");
  if (recorded) {
    record.result = end;
    record.seconds = seconds;
    record.time = QDateTime();
    records.Append(record);
    logs.Add(WriteRecordLogLine(record));
    logs.Save();
  }
  if (Console::Get().Terminal() && !options.json) Console::Get().EndLive();
  finish(exit, result, message, seconds);
  if (!options.json && recorded)
    con.Out(QStringLiteral("Step 5 :  When \"Success\" appears, power off via rear switch."));
  (void)interrupted;
  return exit;
}

}  // namespace kx::cli
