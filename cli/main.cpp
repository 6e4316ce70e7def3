// kx7391: the version check and the board writers from the command line, on the same
// engines, port names, logs and record of writes as the updater.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

#include "cli/Common.h"
#include "cli/Console.h"
#include "cli/Writes.h"
#include "comm/CommX.h"
#include "digidec/Deployment.h"
#include "main/ReceiverContext.h"
#include "platform/Licence.h"
#include "platform/Signals.h"
#include "platform/serial/PortMap.h"

using namespace kx::cli;

namespace {

const char *kExitHelp =
    "Exit status:\n"
    "  0  success (check: a complete answer; write: \"Writing complete\" or \"I:Success\" on every receiver)\n"
    "  1  usage error\n"
    "  2  the port cannot be opened (missing, or held by another program)\n"
    "  3  check: no answer from the receiver\n"
    "  4  check: the receiver answered \"Can not FIND\" (not ready yet)\n"
    "  5  check, write mainboard: the receiver is not a KX-7391D\n"
    "  6  write: the write failed (the message names the failure)\n"
    "  7  interrupted (Ctrl+C or SIGTERM: a write runs Abort, the writer tool is stopped)\n"
    "  8  write: the board's payloads could not be loaded, or the engine refused them\n"
    "  9  ports: no COM port found\n"
    " 10  write mainboard: no complete answer and no --image: the image is never guessed, nothing sent\n"
    " 11  write digidec: the writer tool failed or ended without \"I:Success\"\n"
    " 12  write digidec: the writer tool could not be started (another updater's run holds it)\n"
    " 13  write: end of input at the Enter prompt (nothing written; --yes writes without it)\n"
    "With several receivers the status is that of the first one, in command-line order, that failed.\n";

int Ports(bool json) {
  Console &con = Console::Get();
  const auto ports = kx::serial::ListPorts();
  QString failure;
  if (!ports) failure = QStringLiteral("Error! Please check serial connection.");
  else if (ports->empty()) failure = QStringLiteral("Can Not Find COM Port!");
  if (!failure.isEmpty()) {
    con.Err(failure);
    if (json) {
      QJsonObject o = JsonObject(QStringLiteral("end"), QString(), QString(), QString());
      o["exit"] = kNoPorts;
      o["message"] = failure;
      con.Json(o);
    }
    return kNoPorts;
  }
  QJsonArray list;
  for (const auto &p : *ports) {
    if (json)
      list.append(QJsonObject{{"port", p.portName}, {"device", p.device}});
    else
      con.Out(p.portName + QLatin1Char('(') + p.device + QLatin1Char(')'));
  }
  if (json) {
    QJsonObject o = JsonObject(QStringLiteral("ports"), QString(), QString(), QString());
    o["ports"] = list;
    con.Json(o);
  }
  return kOk;
}

int Check(int portNo, const QString &portName, const QString &serial, bool json) {
  Logs logs(serial);
  TellInterruptedWrite(serial, portName, QStringLiteral("all"), json, &logs);
  kx::ReceiverContext receiver;
  receiver.TakeSerialNumber(serial);
  TCommX port;
  port.SetFlowCtrl(cfcNone);
  port.SetPortNo(portNo);
  std::function<void()> abort;
  bool aborted = false;
  kx::OnTerminationSignal([&] {
    if (abort) abort();
  });
  const CheckOutcome c = RunCheck(port, logs, receiver, &abort, &aborted);
  if (json) {
    Console::Get().Json(CheckJson(c, portName, serial, QStringLiteral("all")));
    return c.exit;
  }
  if (c.exit != kOk || !c.plan) {
    Console::Get().Err(c.message);
    return c.exit;
  }
  PrintCheck(c);
  return kOk;
}

int Usage(const QString &message) {
  Console::Get().Err(message);
  return kUsage;
}

QString PortName(QString name) {
  if (!name.isEmpty() && name[0].isDigit()) name.prepend(QStringLiteral("COM"));
  return name.toUpper();
}

int PortNumber(const QString &name) {
  if (!name.startsWith(QStringLiteral("COM"))) return 0;
  bool ok = false;
  const int n = name.mid(3).toInt(&ok);
  return ok ? n : 0;
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("kx7391"));
  QCoreApplication::setApplicationVersion(QStringLiteral(KX_VERSION "\n" KX_LICENCE_NOTICE));
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral(
          "The KX7391D receiver's version check and board writer, for benches and scripts.\n\n"
          "Commands:\n"
          "  ports                       the COM ports, as COM Search lists them\n"
          "  check --port COMn           the version check and the update plan\n"
          "  write mainboard|decoder|panel --port COMn [--serial N] [--port COMm [--serial M]]...\n"
          "                              write the board's carried firmware in boot mode, to every\n"
          "                              receiver at once; the MainBoard image comes from a complete\n"
          "                              check in the same command, or from --image\n"
          "  write digidec --serial N    write the DigiDec board with the carried writer tool\n\n"
          "A wired bench (receivers in boot mode): kx7391 check first with the receiver in normal\n"
          "mode, then kx7391 write mainboard --image with the image the check printed.\n\n") +
      QLatin1String(kExitHelp));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, check or write"));
  parser.addPositionalArgument(QStringLiteral("board"), QStringLiteral("write: mainboard, decoder, panel or digidec"),
                               QStringLiteral("[board]"));
  const QCommandLineOption portOpt(
      QStringLiteral("port"), QStringLiteral("The COM port (COM9, or 9). write: repeat it for several receivers."),
      QStringLiteral("COMn"));
  const QCommandLineOption serialOpt(
      QStringLiteral("serial"),
      QStringLiteral("The receiver's serial number (its log, the record of writes, the MainBoard variant). "
                     "With several ports, one per --port, in the same order."),
      QStringLiteral("N"));
  const QCommandLineOption imageOpt(
      QStringLiteral("image"),
      QStringLiteral("write mainboard: the image to write, as kx7391 check prints it (MAIN_NONE_SH_7391, "
                     "MAIN_B_SH_7391, MAIN_R_SH_7391, MAIN_Q_SH_7391); no check is run. Once for all "
                     "receivers, or once per --port in the same order."),
      QStringLiteral("NAME"));
  const QCommandLineOption yesOpt(QStringLiteral("yes"),
                                  QStringLiteral("write: do not wait for Enter (a bench whose switches are wired)."));
  const QCommandLineOption jsonOpt(QStringLiteral("json"),
                                   QStringLiteral("Print JSON Lines: one object per event (see kx7391(1))."));
  parser.addOptions({portOpt, serialOpt, imageOpt, yesOpt, jsonOpt});
  parser.process(app);

  const QStringList args = parser.positionalArguments();
  const bool json = parser.isSet(jsonOpt);
  if (args.isEmpty()) {
    Console::Get().Err(parser.helpText());
    return kUsage;
  }
  const QString command = args[0];
  if (command == QStringLiteral("ports")) return Ports(json);
  if (command != QStringLiteral("check") && command != QStringLiteral("write"))
    return Usage(QStringLiteral("Unknown command: ") + command);

  const QStringList portNames = parser.values(portOpt);
  const QStringList serials = parser.values(serialOpt);
  const QStringList images = parser.values(imageOpt);
  // For tests and demonstrations: the folder that holds the writer tool's "digidecw".
  if (const QString base = qEnvironmentVariable("KX7391_TOOL_BASE"); !base.isEmpty())
    kx::digidec::SetBaseDirectory(base);

  if (command == QStringLiteral("write") && args.size() > 1 && args[1].toLower() == QStringLiteral("digidec")) {
    if (!portNames.isEmpty()) return Usage(QStringLiteral("write digidec takes no --port: the writer tool finds the board."));
    if (!images.isEmpty()) return Usage(QStringLiteral("--image is for write mainboard only."));
    if (serials.size() != 1)
      return Usage(QStringLiteral("write digidec writes one receiver at a time (the writer tool has one folder, one "
                                  "log and one lock): give one --serial N."));
    if (!kx::ReceiverContext::DigiDecWritable(serials[0]))
      return Usage(QStringLiteral("The serial number %1 has no DigiDec board to write (8 digits, 0968... or 0971...).")
                       .arg(serials[0]));
    return WriteDigiDec(serials[0], {parser.isSet(yesOpt), json});
  }

  if (portNames.isEmpty()) return Usage(QStringLiteral("A port is needed: --port COMn"));
  QList<Receiver> receivers;
  for (const QString &p : portNames) {
    Receiver r;
    r.port = PortName(p);
    r.portNo = PortNumber(r.port);
    if (r.portNo <= 0) return Usage(QStringLiteral("Not a COM port: ") + p);
    for (const Receiver &other : receivers)
      if (other.portNo == r.portNo) return Usage(QStringLiteral("The port %1 is given twice.").arg(r.port));
    receivers.append(r);
  }
  if (!serials.isEmpty() && serials.size() != receivers.size())
    return Usage(QStringLiteral("--port and --serial go in pairs: %1 ports, %2 serial numbers.")
                     .arg(receivers.size())
                     .arg(serials.size()));
  for (int i = 0; i < serials.size(); ++i) {
    // Two runs would share one serial log and one receiver's record.
    if (serials.indexOf(serials[i]) != i)
      return Usage(QStringLiteral("The serial number %1 is given twice.").arg(serials[i]));
    receivers[i].serial = serials[i];
  }

  if (command == QStringLiteral("check")) {
    if (receivers.size() > 1) return Usage(QStringLiteral("check takes one --port."));
    if (!images.isEmpty()) return Usage(QStringLiteral("--image is for write mainboard only."));
    return Check(receivers[0].portNo, receivers[0].port, receivers[0].serial, json);
  }

  const QStringList boards{QStringLiteral("mainboard"), QStringLiteral("decoder"), QStringLiteral("panel")};
  const int board = args.size() > 1 ? boards.indexOf(args[1].toLower()) : -1;
  if (board < 0) return Usage(QStringLiteral("write needs a board: mainboard, decoder, panel or digidec"));
  if (!images.isEmpty()) {
    if (board != 0) return Usage(QStringLiteral("--image is for write mainboard only (the other boards have one image)."));
    for (const QString &i : images)
      if (!MainBoardImages().contains(i))
        return Usage(QStringLiteral("Not a MainBoard image: %1 (one of %2).")
                         .arg(i, MainBoardImages().join(QStringLiteral(", "))));
    if (images.size() != 1 && images.size() != receivers.size())
      return Usage(QStringLiteral("--image goes once for all receivers, or once per --port: %1 ports, %2 images.")
                       .arg(receivers.size())
                       .arg(images.size()));
    for (int i = 0; i < receivers.size(); ++i) receivers[i].image = images.size() == 1 ? images[0] : images[i];
  }
  return WriteSh(board, receivers, {parser.isSet(yesOpt), json});
}
