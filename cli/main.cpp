// kx7391: the version check and the SH writer from the command line, on the same
// engines, port names and logs as the updater.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

#include "comm/CommX.h"
#include "main/OperationLog.h"
#include "main/ReceiverContext.h"
#include "main/UpdatePlan.h"
#include "main/VersionDialogue.h"
#include "payload/Loaders.h"
#include "platform/Licence.h"
#include "platform/Signals.h"
#include "platform/serial/PortMap.h"
#include "shboot/BoardLoad.h"
#include "shboot/BoardSetup.h"
#include "shboot/BootFrame.h"
#include "shboot/BootWriter.h"

namespace sh = kx::shboot;

namespace {

// Exit codes, as --help lists them.
enum Exit {
  kOk = 0,
  kUsage = 1,
  kPortUnavailable = 2,
  kNoAnswer = 3,
  kNotReady = 4,
  kOtherModel = 5,
  kWriteFailed = 6,
  kAborted = 7,
  kPayloadRefused = 8,
  kNoPorts = 9,
};

const char *kExitHelp =
    "Exit status:\n"
    "  0  success (check: a complete answer; write: \"Writing complete\")\n"
    "  1  usage error\n"
    "  2  the port cannot be opened (missing, or held by another program)\n"
    "  3  check: no answer from the receiver\n"
    "  4  check: the receiver answered \"Can not FIND\" (not ready yet)\n"
    "  5  check: the receiver is not a KX-7391D\n"
    "  6  write: the write failed (the message names the failure)\n"
    "  7  write: interrupted (Ctrl+C ran Abort)\n"
    "  8  write: the board's payloads could not be loaded\n"
    "  9  ports: no COM port found\n";

QTextStream &Out() {
  static QTextStream s(stdout);
  return s;
}
QTextStream &Err() {
  static QTextStream s(stderr);
  return s;
}

// The logs of the updater, in the working directory. A save that fails is said once on
// standard error, and the lines wait for the next save.
struct Logs {
  kx::OperationLog log;
  explicit Logs(const QString &serial) {
    log.saveFailed = [](const QString &message) { Err() << "log: " << message << Qt::endl; };
    log.Open(kx::OperationLog::kMain);
    if (!serial.isEmpty()) log.ChangeSerialNumber(serial);
  }
  void Add(const QString &t) { log.Add(t); }
  void Save() { log.Save(3); }
};

int PortNumber(const QString &name) {
  if (!name.startsWith(QStringLiteral("COM"), Qt::CaseInsensitive)) return 0;
  bool ok = false;
  const int n = name.mid(3).toInt(&ok);
  return ok ? n : 0;
}

// The port's entry as COM Search lists it: "COM9(/dev/pts/4)".
QString PortEntryText(int portNo) {
  if (const auto ports = kx::serial::ListPorts())
    for (const auto &p : *ports)
      if (p.portNo == portNo) return p.portName + QLatin1Char('(') + p.device + QLatin1Char(')');
  return QStringLiteral("COM%1").arg(portNo);
}

void PrintJson(const QJsonObject &o) { Out() << QJsonDocument(o).toJson(QJsonDocument::Compact) << Qt::endl; }

int Ports(bool json) {
  const auto ports = kx::serial::ListPorts();
  if (!ports) {
    Err() << "Error! Please check serial connection." << Qt::endl;
    return kNoPorts;
  }
  if (ports->empty()) {
    Err() << "Can Not Find COM Port!" << Qt::endl;
    return kNoPorts;
  }
  QJsonArray list;
  for (const auto &p : *ports) {
    if (json)
      list.append(QJsonObject{{"port", p.portName}, {"device", p.device}});
    else
      Out() << p.portName << '(' << p.device << ')' << Qt::endl;
  }
  if (json) PrintJson({{"ports", list}});
  return kOk;
}

struct CheckOutcome {
  int exit = kNoAnswer;
  QString message;
  kx::VersionCheckFields fields;
  std::optional<kx::PlanResult> plan;
};

// The version dialogue and the update plan, as VersionCheck runs them; a complete
// answer is taken into the receiver's context.
CheckOutcome RunCheck(TCommX &port, Logs &logs, kx::ReceiverContext &receiver) {
  CheckOutcome out;
  logs.Add(QStringLiteral("[VersionTest](FormMain) clicked"));
  kx::VersionDialogue dialogue(port, out.fields, {[&](const QString &t) { logs.Add(t); }, [&] { logs.Save(); }});
  QEventLoop loop;
  std::optional<kx::VersionLineResult> result;
  port.OnReceive = [&](QObject *, int size) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max(size, 0)));
    const int got = port.ReceiveBlock(buf.data(), size);
    for (int i = 0; i < got && !result; ++i) {
      const kx::VersionLineResult r = dialogue.Receive(buf[static_cast<std::size_t>(i)]);
      if (r != kx::VersionLineResult::None) {
        result = r;
        loop.quit();
      }
    }
  };
  QObject::connect(&dialogue, &kx::VersionDialogue::GaveUp, &loop, &QEventLoop::quit);
  // A receiver that went away cannot answer: the check gives up at once.
  QString disconnected;
  port.OnDisconnect = [&](QObject *) {
    disconnected = QStringLiteral("COM%1 was disconnected.").arg(port.PortNo());
    logs.Add(disconnected);
    loop.quit();
  };
  try {
    dialogue.Start([&] {
      port.SetStopBit(csb1);
      port.SetBitRate(115200);
      port.SetFlowCtrl(cfcNone);
      port.PortOpen();
      port.Tag = port.PortNo();
    });
  } catch (const std::exception &e) {
    out.exit = kPortUnavailable;
    out.message = QString::fromUtf8(e.what());
    logs.Add(out.message);
    logs.Save();
    return out;
  }
  logs.Save();
  loop.exec();
  dialogue.Stop();
  port.OnReceive = nullptr;
  port.OnDisconnect = nullptr;
  logs.Add(QStringLiteral("VersionTest Finish"));
  port.PortClose();
  port.Tag = 0;
  if (!result) {
    out.message = !disconnected.isEmpty() ? disconnected : QStringLiteral("No answer from the receiver.");
  } else if (*result == kx::VersionLineResult::Retry) {
    logs.Add(QStringLiteral("Wait and Retry [VersionCheck]"));
    out.exit = kNotReady;
    out.message = QStringLiteral("Receiver not ready yet.");
  } else {
    out.plan = receiver.AcceptAnswer({out.fields.rs_tmp, out.fields.ms_tmp, out.fields.ds_tmp, out.fields.ps_tmp});
    for (const QString &l : out.plan->logLines) logs.Add(l);
    if (out.plan->otherModel) {
      out.exit = kOtherModel;
      out.message = QStringLiteral("Receiver is NOT KX-7391D !");
    } else {
      out.exit = kOk;
    }
  }
  logs.Save();
  return out;
}

const char *DecisionText(int d) {
  switch (d) {
    case 1: return "update";
    case 2: return "up to date";
    case 3: return "newer than carried";
    default: return "unknown";
  }
}

int Check(TCommX &port, const QString &serial, bool json) {
  Logs logs(serial);
  kx::ReceiverContext receiver;
  receiver.TakeSerialNumber(serial);
  const CheckOutcome c = RunCheck(port, logs, receiver);
  if (json) {
    QJsonObject o{{"exit", c.exit}};
    if (!c.message.isEmpty()) o["message"] = c.message;
    if (c.plan && !c.plan->otherModel) {
      o["receiver"] = c.fields.rs_tmp.trimmed();
      const QString names[] = {"mainboard", "decoder", "panel"};
      const QString versions[] = {c.fields.ms_tmp, c.fields.ds_tmp, c.fields.ps_tmp};
      const QString labels[] = {c.plan->mainLabel, c.plan->decoderLabel, c.plan->panelLabel};
      QJsonObject boards;
      for (int b = 0; b < 3; ++b)
        boards[names[b]] = QJsonObject{{"version", versions[b]}, {"label", labels[b]},
                                       {"decision", DecisionText(c.plan->decision[b])},
                                       {"image", sh::SetupForBoard(b, c.plan->shortRfu, c.plan->blockVersion)
                                                     ->firmwareResource}};
      o["boards"] = boards;
    }
    PrintJson(o);
    return c.exit;
  }
  if (c.exit != kOk || !c.plan) {
    Err() << c.message << Qt::endl;
    return c.exit;
  }
  Out() << "Receiver: " << c.fields.rs_tmp.trimmed() << Qt::endl;
  const char *names[] = {"MainBoard", "Decoder", "Panel"};
  const QString versions[] = {c.fields.ms_tmp, c.fields.ds_tmp, c.fields.ps_tmp};
  const QString labels[] = {c.plan->mainLabel, c.plan->decoderLabel, c.plan->panelLabel};
  for (int b = 0; b < 3; ++b)
    Out() << names[b] << ": " << versions[b] << "  (" << labels[b] << ")  " << DecisionText(c.plan->decision[b])
          << "  image " << sh::SetupForBoard(b, c.plan->shortRfu, c.plan->blockVersion)->firmwareResource
          << Qt::endl;
  return kOk;
}

// Prints the run: a live progress line on a terminal, plain lines otherwise.
class ConsoleView : public sh::BootWriterView {
 public:
  ConsoleView(sh::BootWriter &writer, int nonBlank, bool quiet)
      : writer_(writer), nonBlank_(nonBlank), tty_(isatty(STDOUT_FILENO) && !quiet), quiet_(quiet) {}
  // Called once the run has ended (the engine back in state 0).
  std::function<void()> ended;

  void StateChanged(int state) override {
    if (state == 0 && ended) ended();
  }
  QStringList messages;
  // Why the port could not be opened (the run ended before anything was sent).
  QString portError;
  QString lastPanel;
  int sent = 0;

  void PanelText(const QString &t) override {
    lastPanel = t;
    if (!quiet_ && !tty_ && !t.startsWith(QStringLiteral("Write adrs")) && !t.startsWith(QStringLiteral("Skip adrs")))
      Out() << t << Qt::endl;
  }
  void Message(const QString &t) override {
    messages.append(t);
    EndLine();
    Err() << t << Qt::endl;
    // As the window's box: the closing state runs before the sequence goes on.
    writer_.LetClosingStateRun();
  }
  void ErrorMessage(const QString &t) override {
    portError = t;
    Err() << t << Qt::endl;
  }
  void BlockSent(unsigned) override {
    if (sent == 0) clock_.start();
    ++sent;
    const int percent = nonBlank_ ? sent * 100 / nonBlank_ : 100;
    if (tty_) {
      const double secs = clock_.elapsed() / 1000.0;
      const double rate = secs > 0 ? sent / secs : 0;
      const double left = rate > 0 ? (nonBlank_ - sent) / rate : 0;
      Out() << QStringLiteral("\r%1 %  %2/%3 blocks  %4 blocks/s  %5 s left ")
                   .arg(percent, 3)
                   .arg(sent)
                   .arg(nonBlank_)
                   .arg(rate, 0, 'f', 1)
                   .arg(left, 0, 'f', 0)
            << Qt::flush;
      open_ = true;
    } else if (!quiet_ && percent / 10 != lastTenth_) {
      lastTenth_ = percent / 10;
      Out() << QStringLiteral("%1 % (%2/%3 blocks)").arg(percent).arg(sent).arg(nonBlank_) << Qt::endl;
    }
  }
  void EndLine() {
    if (open_) Out() << Qt::endl;
    open_ = false;
  }

 private:
  sh::BootWriter &writer_;
  int nonBlank_;
  bool tty_;
  bool quiet_;
  bool open_ = false;
  int lastTenth_ = -1;
  QElapsedTimer clock_;
};

const char *kSteps[3] =
    {"Step 1 :  Power OFF via rear switch.\n"
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
     "Step 4 :  Power on via rear switch. Wait 10 sec.\n"};

int Write(TCommX &port, int board, const QString &serial, bool yes, bool json) {
  Logs logs(serial);
  kx::ReceiverContext receiver;
  receiver.TakeSerialNumber(serial);
  // The MainBoard image follows the variant as the updater finds it: from a version check
  // first (the receiver still in its firmware), else from the serial number alone.
  if (board == sh::kMainBoard) {
    const CheckOutcome c = RunCheck(port, logs, receiver);
    if (c.exit == kOtherModel) {
      Err() << c.message << Qt::endl;
      if (json) PrintJson({{"exit", kOtherModel}, {"message", c.message}});
      return kOtherModel;
    } else if (!json) {
      Out() << "No version answer (" << c.message << "): the image follows the serial number." << Qt::endl;
    }
  }
  const char *logNames[] = {"[MainBoard](FormMain) clicked", "[Decorder](FormMain) clicked", "[Panel](FormMain) clicked"};
  logs.Add(QLatin1String(logNames[board]));
  const auto setup = sh::SetupForBoard(board, receiver.ShortRfu(), receiver.BlockVersion());
  kx::MemoryStream boot, echo, firm;
  sh::BootPayloads payloads{&boot, &echo, &firm, {}, {}};
  const kx::MessageSink sink = [](const QString &t) { Err() << t << Qt::endl; };
  const sh::BootWriterLog writerLog{[&](const QString &t) { logs.Add(t); }, [&] { logs.Save(); }};
  try {
    const sh::BoardLoadResult loaded = sh::LoadBoard(
        *setup, setup->captionPrefix + PortEntryText(port.PortNo()) + QStringLiteral("]"), boot, echo, firm,
        writerLog, sink);
    payloads.bootFault = loaded.bootFault;
    payloads.firmFault = loaded.firmFault;
    if (!loaded.spareCopyError.isEmpty()) Err() << loaded.spareCopyError << Qt::endl;
  } catch (const std::exception &e) {
    payloads.firmFault = QString::fromUtf8(e.what());
    logs.Add(QStringLiteral(" load error! ") + payloads.firmFault);
  }
  if (!payloads.bootFault.isEmpty() || !payloads.firmFault.isEmpty()) {
    logs.Save();
    if (json) PrintJson({{"exit", kPayloadRefused}, {"message", payloads.bootFault + payloads.firmFault}});
    return kPayloadRefused;
  }

  if (!yes) {
    Out() << kSteps[board] << "Press Enter to write " << setup->firmwareResource << " (Ctrl+C to stop)." << Qt::endl;
    std::string line;
    if (!std::getline(std::cin, line)) return kAborted;
  }

  sh::BootWriter writer(port, writerLog);
  const int nonBlank = sh::NonBlankBlocks(firm);
  ConsoleView view(writer, nonBlank, json);
  writer.SetView(&view);
  writer.SetPayloads(payloads);
  writer.SetTimingItem(setup->bpsItem);
  port.OnReceive = [&](QObject *, int size) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max(size, 0)));
    const int got = port.ReceiveBlock(buf.data(), size);
    for (int i = 0; i < got; ++i)
      if (writer.State() != 0) writer.Receive(buf[static_cast<std::size_t>(i)]);
  };
  port.OnDisconnect = [&](QObject *) { writer.Disconnected(QStringLiteral("COM%1 was disconnected.").arg(port.PortNo())); };
  bool interrupted = false;
  // Ctrl+C runs Abort's sequence: the port closed and the click logged.
  kx::OnTerminationSignal([&] {
    if (writer.State() != 0) {
      interrupted = true;
      view.EndLine();
      writer.Abort();
    }
  });
  QElapsedTimer clock;
  clock.start();
  if (!writer.Start()) return kPayloadRefused;
  QEventLoop loop;
  view.ended = [&loop] { loop.quit(); };
  if (writer.State() != 0) loop.exec();
  port.OnReceive = nullptr;
  port.OnDisconnect = nullptr;
  view.EndLine();
  const double seconds = clock.elapsed() / 1000.0;

  int exit = kOk;
  QString message;
  if (interrupted) {
    exit = kAborted;
    message = QStringLiteral("Write aborted: the board is left unwritten. Write it again.");
  } else if (!view.portError.isEmpty()) {
    exit = kPortUnavailable;
    message = view.portError;
  } else if (!writer.Succeeded()) {
    exit = kWriteFailed;
    message = !view.messages.isEmpty() ? view.messages.last() : view.lastPanel;
  } else {
    message = view.lastPanel;
  }
  if (json) {
    PrintJson({{"exit", exit},
               {"board", QStringList{"mainboard", "decoder", "panel"}[board]},
               {"image", setup->firmwareResource},
               {"blocks", nonBlank},
               {"sent", view.sent},
               {"seconds", seconds},
               {"message", message}});
  } else if (exit == kOk) {
    // Without a terminal the status lines, the completion among them, are printed already.
    if (isatty(STDOUT_FILENO)) Out() << message << Qt::endl;
    Out() << "Step 5 :  Power off via rear switch.\nStep 6 :  Return DIP switch(es) to default position." << Qt::endl;
  }
  return exit;
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("kx7391"));
  QCoreApplication::setApplicationVersion(QStringLiteral(KX_VERSION "\n" KX_LICENCE_NOTICE));
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("The KX7391D receiver's version check and SH board writer, for benches and scripts.\n\n"
                     "Commands:\n"
                     "  ports                       the COM ports, as COM Search lists them\n"
                     "  check --port COMn           the version check and the update plan\n"
                     "  write mainboard|decoder|panel --port COMn\n"
                     "                              write the board's carried firmware in boot mode\n\n") +
      QLatin1String(kExitHelp));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, check or write"));
  parser.addPositionalArgument(QStringLiteral("board"), QStringLiteral("write: mainboard, decoder or panel"),
                               QStringLiteral("[board]"));
  const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("The COM port (COM9, or 9)."),
                                   QStringLiteral("COMn"));
  const QCommandLineOption serialOpt(QStringLiteral("serial"),
                                     QStringLiteral("The receiver's serial number (its log; the MainBoard variant)."),
                                     QStringLiteral("N"));
  const QCommandLineOption yesOpt(QStringLiteral("yes"),
                                  QStringLiteral("write: do not wait for Enter (a bench whose switches are wired)."));
  const QCommandLineOption jsonOpt(QStringLiteral("json"), QStringLiteral("Print one JSON object with the results."));
  parser.addOptions({portOpt, serialOpt, yesOpt, jsonOpt});
  parser.process(app);

  const QStringList args = parser.positionalArguments();
  const bool json = parser.isSet(jsonOpt);
  if (args.isEmpty()) {
    Err() << parser.helpText();
    return kUsage;
  }
  const QString command = args[0];
  if (command == QStringLiteral("ports")) return Ports(json);
  if (command != QStringLiteral("check") && command != QStringLiteral("write")) {
    Err() << "Unknown command: " << command << Qt::endl;
    return kUsage;
  }
  QString portName = parser.value(portOpt);
  if (!portName.isEmpty() && portName[0].isDigit()) portName.prepend(QStringLiteral("COM"));
  const int portNo = PortNumber(portName);
  if (portNo <= 0) {
    Err() << "A port is needed: --port COMn" << Qt::endl;
    return kUsage;
  }
  TCommX port;
  port.SetFlowCtrl(cfcNone);
  port.SetPortNo(portNo);
  const QString serial = parser.value(serialOpt);
  if (command == QStringLiteral("check")) return Check(port, serial, json);

  const QStringList boards{QStringLiteral("mainboard"), QStringLiteral("decoder"), QStringLiteral("panel")};
  const int board = args.size() > 1 ? boards.indexOf(args[1].toLower()) : -1;
  if (board < 0) {
    Err() << "write needs a board: mainboard, decoder or panel" << Qt::endl;
    return kUsage;
  }
  return Write(port, board, serial, parser.isSet(yesOpt), json);
}
