#include "main/ReceiverContext.h"

namespace kx {

int ReceiverContext::SerialBlockVersion(const QString &serial) {
  return serial.size() == 8 && serial.startsWith(QStringLiteral("0971")) ? 1 : 0;
}

bool ReceiverContext::DigiDecWritable(const QString &serial) {
  return serial.size() == 8 && (serial.startsWith(QStringLiteral("0968")) || serial.startsWith(QStringLiteral("0971")));
}

bool ReceiverContext::TakeSerialNumber(const QString &serial) {
  if (serial == serial_) return false;
  serial_ = serial;
  answer_.reset();
  plan_.reset();
  blockVersion_ = SerialBlockVersion();
  shortRfu_ = 0;
  Renew();
  return true;
}

const PlanResult &ReceiverContext::AcceptAnswer(const VersionAnswer &answer) {
  PlanInput in;
  in.receiver = answer.receiver;
  in.mainVer = answer.mainBoard;
  in.decoderVer = answer.decoder;
  in.panelVer = answer.panel;
  in.serialNumber = serial_;
  in.serialBlockVersion = SerialBlockVersion();
  // Only this answer speaks: no flag of an earlier receiver carries over.
  in.shortRfu = 0;
  in.mainNew = carried_.mainBoard;
  in.decoderNew = carried_.decoder;
  in.panelNew = carried_.panel;
  in.digiDecNew = carried_.digiDec;
  answer_ = answer;
  plan_ = EvaluatePlan(in);
  blockVersion_ = plan_->blockVersion;
  shortRfu_ = plan_->shortRfu;
  Renew();
  return *plan_;
}

void ReceiverContext::ForgetAnswer() {
  const bool had = answer_.has_value() || blockVersion_ != SerialBlockVersion() || shortRfu_ != 0;
  answer_.reset();
  plan_.reset();
  blockVersion_ = SerialBlockVersion();
  shortRfu_ = 0;
  if (had) Renew();
}

void ReceiverContext::BeginRun(RunKind kind) {
  // The serial number cannot change while a run is in progress, so a second run is for
  // the same receiver.
  if (!RunInProgress()) runSerial_ = serial_;
  if (kind == RunKind::ShWrite) shRun_ = true;
  if (kind == RunKind::DigiDecWrite) ddRun_ = true;
}

void ReceiverContext::EndRun(RunKind kind) {
  if (kind == RunKind::ShWrite) shRun_ = false;
  if (kind == RunKind::DigiDecWrite) ddRun_ = false;
  if (!RunInProgress()) runSerial_.clear();
}

QString ReceiverContext::RunName(RunKind kind) {
  switch (kind) {
    case RunKind::ShWrite: return QStringLiteral("an SH write");
    case RunKind::DigiDecWrite: return QStringLiteral("a DigiDec write");
    case RunKind::None: break;
  }
  return QString();
}

QString ReceiverContext::PortRefusal(const QString &action) const {
  if (!WriteHoldsPort()) return QString();
  return QStringLiteral("%1 is not possible while an SH write is running. Wait for the write to end, or abort it "
                        "in the writer's window.")
      .arg(action);
}

QString ReceiverContext::SerialChangeRefusal() const {
  if (!RunInProgress()) return QString();
  return QStringLiteral("The serial number cannot be changed while %1 for %2 is in progress. Wait for its end, "
                        "then enter the next receiver's serial number.")
      .arg(RunName(Run()), runSerial_.isEmpty() ? QStringLiteral("this receiver") : runSerial_);
}

}  // namespace kx
