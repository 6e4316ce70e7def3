#pragma once
// The receiver at hand: its accepted serial number, the latest complete answer it gave,
// the MainBoard variant flags and the update plan that follow from those two alone, and
// the run in progress on it. The main window, the writer windows and kx7391 all read
// the receiver from here, so that nothing one receiver set is ever used for another.
//
// The identity changes with every serial-number change and every change of the answer
// taken: whatever was prepared for an earlier identity (a board's loaded image) is stale.
#include <QString>
#include <cstdint>
#include <optional>

#include "main/UpdatePlan.h"

namespace kx {

// The versions the updater carries.
struct CarriedVersions {
  QString mainBoard = QStringLiteral("403A");
  QString decoder = QStringLiteral("3N5A");
  QString panel = QStringLiteral("511A");
  QString digiDec = QStringLiteral("507A");
};

// What a complete version answer said.
struct VersionAnswer {
  QString receiver;
  QString mainBoard;
  QString decoder;
  QString panel;
};

// A run that holds the receiver until it ends.
enum class RunKind { None, ShWrite, DigiDecWrite };

class ReceiverContext {
 public:
  const QString &SerialNumber() const { return serial_; }
  // Takes a new serial number: the previous receiver's answer and flags go, the flags
  // are those of the serial number alone. False when it is the number taken already.
  bool TakeSerialNumber(const QString &serial);
  // The MainBoard block variant the serial number gives (0968...: 0, 0971...: 1).
  static int SerialBlockVersion(const QString &serial);
  int SerialBlockVersion() const { return SerialBlockVersion(serial_); }
  // Whether the serial number is one whose DigiDec board can be written.
  static bool DigiDecWritable(const QString &serial);

  // A complete answer of this receiver: the plan and the flags from it and the serial
  // number. The plan is returned also for another model (plan.otherModel).
  const PlanResult &AcceptAnswer(const VersionAnswer &answer);
  // A check that gave up: no answer speaks for this receiver any more.
  void ForgetAnswer();
  const std::optional<VersionAnswer> &Answer() const { return answer_; }
  const std::optional<PlanResult> &Plan() const { return plan_; }

  // The MainBoard variant flags: from the serial number, and the answer where one was taken.
  int BlockVersion() const { return blockVersion_; }
  int ShortRfu() const { return shortRfu_; }

  std::uint64_t Identity() const { return identity_; }

  const CarriedVersions &Carried() const { return carried_; }

  // The run in progress, and for which serial number it started. A serial number
  // cannot be taken while one is in progress.
  void BeginRun(RunKind kind);
  void EndRun(RunKind kind);
  // An SH write and a DigiDec run may go on side by side (one on the serial port, the
  // other on USB): each holds the receiver until its own end. Run() names the SH write
  // first.
  RunKind Run() const { return shRun_ ? RunKind::ShWrite : ddRun_ ? RunKind::DigiDecWrite : RunKind::None; }
  bool RunInProgress() const { return shRun_ || ddRun_; }
  const QString &RunSerialNumber() const { return runSerial_; }
  static QString RunName(RunKind kind);
  // An SH write holds the port: every other user is refused.
  bool WriteHoldsPort() const { return shRun_; }
  // Why `action` cannot be done now (the port is held by an SH write); empty when it can.
  QString PortRefusal(const QString &action) const;
  // Why the serial number cannot be changed now; empty when it can.
  QString SerialChangeRefusal() const;

 private:
  void Renew() { ++identity_; }

  QString serial_;
  std::optional<VersionAnswer> answer_;
  std::optional<PlanResult> plan_;
  int blockVersion_ = 0;
  int shortRfu_ = 0;
  std::uint64_t identity_ = 1;
  CarriedVersions carried_;
  bool shRun_ = false;
  bool ddRun_ = false;
  QString runSerial_;
};

}  // namespace kx
