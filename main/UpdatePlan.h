#pragma once
// The update plan: from the versions read and the serial number, what each board
// needs, and which MainBoard image variant the receiver takes.
#include <QString>
#include <QStringList>
#include <array>

namespace kx {

// 0 no version, 1 older than the carried one, 2 the carried one, 3 newer or unknown family.
enum Board { kMainBoard = 0, kDecoder = 1, kPanel = 2, kDigiDec = 3 };

struct PlanInput {
  QString receiver;
  QString mainVer, decoderVer, panelVer;
  QString serialNumber;
  // The block-variant flag as the serial number sets it: every evaluation starts from
  // it, so what one receiver answered never carries over to the next.
  int serialBlockVersion = 0;
  int shortRfu = 0;
  QString mainNew = QStringLiteral("403A");
  QString decoderNew = QStringLiteral("3N5A");
  QString panelNew = QStringLiteral("511A");
  QString digiDecNew = QStringLiteral("507A");
};

struct PlanResult {
  bool otherModel = false;  // the receiver is not a KX7391D: nothing below applies
  int blockVersion = 0;
  int shortRfu = 0;
  std::array<int, 4> decision{};
  QString mainLabel, decoderLabel, panelLabel, digiDecLabel;
  bool cautionVisible = false;
  QStringList logLines;  // in the order they are logged
};

PlanResult EvaluatePlan(const PlanInput &in);

// The letter shown after the carried MainBoard version: "", "B", "R" or "Q".
QString VariantLetter(int blockVersion, int shortRfu);

// Ordinal, code unit by code unit: <0, 0, >0.
int CompareOrdinal(const QString &a, const QString &b);

}  // namespace kx
