#include "cli/Common.h"

#include <QEventLoop>
#include <QJsonArray>
#include <vector>

#include "cli/Console.h"
#include "comm/CommX.h"
#include "main/VersionDialogue.h"
#include "platform/Tick.h"
#include "shboot/BoardSetup.h"

namespace kx::cli {

Logs::Logs(const QString &serial) {
  log.saveFailed = [](const QString &message) { Console::Get().Err(QStringLiteral("log: ") + message); };
  log.Open(OperationLog::kMain);
  if (!serial.isEmpty()) log.ChangeSerialNumber(serial);
}

QJsonObject JsonObject(const QString &kind, const QString &port, const QString &serial, const QString &board) {
  return QJsonObject{{"kind", kind}, {"port", port}, {"serial", serial}, {"board", board}};
}

const char *DecisionText(int d) {
  switch (d) {
    case 1: return "update";
    case 2: return "up to date";
    case 3: return "newer than carried";
    default: return "unknown";
  }
}

CheckOutcome RunCheck(TCommX &port, Logs &logs, ReceiverContext &receiver, std::function<void()> *abort,
                      bool *aborted) {
  CheckOutcome out;
  logs.Add(QStringLiteral("[VersionTest](FormMain) clicked"));
  VersionDialogue dialogue(port, out.fields, {[&](const QString &t) { logs.Add(t); }, [&] { logs.Save(); }});
  QEventLoop loop;
  std::optional<VersionLineResult> result;
  port.OnReceive = [&](QObject *, int size) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::max(size, 0)));
    const int got = port.ReceiveBlock(buf.data(), size);
    for (int i = 0; i < got && !result; ++i) {
      const VersionLineResult r = dialogue.Receive(buf[static_cast<std::size_t>(i)]);
      if (r != VersionLineResult::None) {
        result = r;
        loop.quit();
      }
    }
  };
  QObject::connect(&dialogue, &VersionDialogue::GaveUp, &loop, &QEventLoop::quit);
  // A receiver that went away cannot answer: the check gives up at once.
  QString disconnected;
  port.OnDisconnect = [&](QObject *) {
    disconnected = QStringLiteral("COM%1 was disconnected.").arg(port.PortNo());
    logs.Add(disconnected);
    loop.quit();
  };
  bool stopped = false;
  if (abort)
    *abort = [&] {
      logs.Add(QStringLiteral("Termination signal received"));
      stopped = true;
      loop.quit();
    };
  try {
    dialogue.Start([&] {
      port.SetStopBit(csb1);
      port.SetBitRate(115200);
      port.SetFlowCtrl(cfcNone);
      port.PortOpen();
      port.Tag = port.PortNo();
      // As the terminal's COM Open: the line settles before the first request.
      Sleep(500);
    });
  } catch (const std::exception &e) {
    if (abort) *abort = nullptr;
    port.OnReceive = nullptr;
    port.OnDisconnect = nullptr;
    out.exit = kPortUnavailable;
    out.message = QString::fromUtf8(e.what());
    logs.Add(out.message);
    logs.Save();
    return out;
  }
  logs.Save();
  if (!stopped) loop.exec();
  if (abort) *abort = nullptr;
  if (aborted) *aborted = stopped;
  port.OnReceive = nullptr;
  port.OnDisconnect = nullptr;
  // The window logs the retry before its Abort ends the check.
  if (!stopped && result == VersionLineResult::Retry) logs.Add(QStringLiteral("Wait and Retry [VersionCheck]"));
  logs.Add(QStringLiteral("VersionTest Finish"));
  dialogue.Stop();
  // As the terminal's COM Close: the last line is let out before the port closes.
  if (port.IsOpen()) Sleep(500);
  port.PortClose();
  port.Tag = 0;
  if (stopped) {
    out.exit = kAborted;
    out.message = QStringLiteral("Check interrupted: nothing was written.");
  } else if (!result) {
    out.message = !disconnected.isEmpty() ? disconnected : QStringLiteral("No answer from the receiver.");
    receiver.ForgetAnswer();
  } else if (*result == VersionLineResult::Retry) {
    out.exit = kNotReady;
    out.message = QStringLiteral("Receiver not ready yet.");
    receiver.ForgetAnswer();
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

QJsonObject CheckJson(const CheckOutcome &c, const QString &port, const QString &serial, const QString &board) {
  QJsonObject o = JsonObject(QStringLiteral("check"), port, serial, board);
  o["exit"] = c.exit;
  if (!c.message.isEmpty()) o["message"] = c.message;
  if (c.plan && !c.plan->otherModel) {
    o["receiver"] = c.fields.rs_tmp.trimmed();
    const QString names[] = {"mainboard", "decoder", "panel"};
    const QString versions[] = {c.fields.ms_tmp, c.fields.ds_tmp, c.fields.ps_tmp};
    const QString labels[] = {c.plan->mainLabel, c.plan->decoderLabel, c.plan->panelLabel};
    QJsonObject boards;
    for (int b = 0; b < 3; ++b)
      boards[names[b]] =
          QJsonObject{{"version", versions[b]},
                      {"label", labels[b]},
                      {"decision", DecisionText(c.plan->decision[b])},
                      {"image", shboot::SetupForBoard(b, c.plan->shortRfu, c.plan->blockVersion)->firmwareResource}};
    o["boards"] = boards;
  }
  return o;
}

void PrintCheck(const CheckOutcome &c) {
  Console &con = Console::Get();
  con.Out(QStringLiteral("Receiver: ") + c.fields.rs_tmp.trimmed());
  const char *names[] = {"MainBoard", "Decoder", "Panel"};
  const QString versions[] = {c.fields.ms_tmp, c.fields.ds_tmp, c.fields.ps_tmp};
  const QString labels[] = {c.plan->mainLabel, c.plan->decoderLabel, c.plan->panelLabel};
  for (int b = 0; b < 3; ++b)
    con.Out(QStringLiteral("%1: %2  (%3)  %4  image %5")
                .arg(QLatin1String(names[b]), versions[b], labels[b], QLatin1String(DecisionText(c.plan->decision[b])),
                     shboot::SetupForBoard(b, c.plan->shortRfu, c.plan->blockVersion)->firmwareResource));
}

void TellInterruptedWrite(const QString &serial, const QString &port, const QString &board, bool json, Logs *logs) {
  if (serial.isEmpty()) return;
  const InterruptedWriteLook look = LookForInterruptedWriteOf(serial);
  if (!look.error.isEmpty()) Console::Get().Err(look.error);
  if (!look.interrupted) return;
  const QString message = InterruptedWriteMessage(*look.interrupted);
  Console::Get().Err(message);
  if (logs) {
    logs->Add(message);
    logs->Save();
  }
  if (json) {
    QJsonObject o = JsonObject(QStringLiteral("interrupted"), port, serial, board);
    o["message"] = message;
    o["interruptedBoard"] = look.interrupted->board;
    o["started"] = look.interrupted->startedText;
    Console::Get().Json(o);
  }
}

}  // namespace kx::cli
