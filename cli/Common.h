#pragma once
// What the commands of kx7391 share: exit statuses, the logs, the JSON objects' common
// fields, the version check and the record of writes.
#include <QJsonObject>
#include <QString>
#include <functional>
#include <optional>

#include "main/OperationLog.h"
#include "main/ReceiverContext.h"
#include "main/VersionCheck.h"
#include "main/WriteRecord.h"

class TCommX;

namespace kx::cli {

// Exit statuses, as --help and the manual page list them.
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
  kImageNotChosen = 10,
  kToolFailed = 11,
  kToolNotStarted = 12,
  kNotConfirmed = 13,
};

// The logs of the updater, in the working directory: the main log and the serial
// number's log. A save that fails is said once on standard error, and the lines wait
// for the next save. One per thread: each save appends whole lines with one write.
struct Logs {
  OperationLog log;
  explicit Logs(const QString &serial);
  void Add(const QString &t) { log.Add(t); }
  void Save() { log.Save(3); }
};

// Every JSON object names its port, serial number and board.
QJsonObject JsonObject(const QString &kind, const QString &port, const QString &serial, const QString &board);

struct CheckOutcome {
  int exit = kNoAnswer;
  QString message;
  VersionCheckFields fields;
  std::optional<PlanResult> plan;
};

// The version check as the main window runs it: the port opened as the terminal's
// COM Open opens it (500 ms to settle), the requests, and the close as its COM Close
// (500 ms before). A complete answer is taken into `receiver`. `abort`, when given, is
// set to a function that ends the check as the window's Abort does.
CheckOutcome RunCheck(TCommX &port, Logs &logs, ReceiverContext &receiver,
                      std::function<void()> *abort = nullptr, bool *aborted = nullptr);

// The JSON object of a check: the answer and the plan.
QJsonObject CheckJson(const CheckOutcome &c, const QString &port, const QString &serial, const QString &board);
// The check's lines as printed.
void PrintCheck(const CheckOutcome &c);

const char *DecisionText(int decision);

// The look for this receiver's last write, told on standard error and with --json.
void TellInterruptedWrite(const QString &serial, const QString &port, const QString &board, bool json, Logs *logs);

}  // namespace kx::cli
