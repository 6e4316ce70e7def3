#include "main/UpdatePlan.h"

namespace kx {

int CompareOrdinal(const QString &a, const QString &b) { return QString::compare(a, b, Qt::CaseSensitive); }

QString VariantLetter(int blockVersion, int shortRfu) {
  if (blockVersion != 0 && shortRfu != 0) return QStringLiteral("Q");
  if (blockVersion != 0) return QStringLiteral("B");
  if (shortRfu != 0) return QStringLiteral("R");
  return {};
}

namespace {

int ByComparison(const QString &have, const QString &carried) {
  const int c = CompareOrdinal(have, carried);
  return c == 0 ? 2 : (c < 0 ? 1 : 3);
}

bool StartsWithAnyOf(const QString &s, const char *chars) {
  return !s.isEmpty() && QLatin1String(chars).contains(s[0]);
}

int MainDecision(const QString &v, const QString &carried) {
  if (v.isEmpty()) return 0;
  if (StartsWithAnyOf(v, "90123")) return 1;
  if (v[0] == u'4') return ByComparison(v.left(4), carried);
  return 3;
}

int DecoderDecision(const QString &v, const QString &carried) {
  if (v.isEmpty()) return 0;
  if (v == u"4NCA") return 1;
  if (StartsWithAnyOf(v, "9AB012")) return 1;
  if (v[0] == u'3') return ByComparison(v, carried);
  return 3;
}

int PanelDecision(const QString &v, const QString &carried) {
  if (v.isEmpty()) return 0;
  if (StartsWithAnyOf(v, "901234")) return 1;
  if (v[0] == u'5') return ByComparison(v, carried);
  return 3;
}

int DigiDecDecision(const QString &serial, int panelDecision) {
  int d = 0;
  const QString head = serial.left(4);
  if (head == u"0968") {
    d = CompareOrdinal(serial, QStringLiteral("09680660")) <= 0 ? 1 : 3;
  } else if (head == u"0971") {
    d = CompareOrdinal(serial, QStringLiteral("09710140")) <= 0 ? 1 : 3;
  }
  if (panelDecision == 1) d = 1;
  return d;
}

}  // namespace

PlanResult EvaluatePlan(const PlanInput &in) {
  PlanResult r;
  r.blockVersion = in.serialBlockVersion;
  r.shortRfu = in.shortRfu;
  if (!in.receiver.contains(QStringLiteral("7391"))) {
    r.otherModel = true;
    r.logLines << QStringLiteral(" receiver is not KX7391D");
    return r;
  }

  if (!in.mainVer.isEmpty()) {
    const QString &v = in.mainVer;
    const QChar last = v[v.size() - 1];
    const QChar before = v.size() >= 2 ? v[v.size() - 2] : last;
    if (last == u'B' && before >= u'0' && before <= u'9') {
      r.blockVersion |= 40;
      r.shortRfu = 40;
    } else if (last == u'B') {
      r.blockVersion |= 1;
      r.shortRfu = 0;
    } else if (last == u'R') {
      r.shortRfu = 1;
    } else if (last == u'Q') {
      r.blockVersion |= 1;
      r.shortRfu = 1;
    } else {
      r.shortRfu = 0;
    }
  }

  r.decision[kMainBoard] = MainDecision(in.mainVer, in.mainNew);
  r.decision[kDecoder] = DecoderDecision(in.decoderVer, in.decoderNew);
  r.decision[kPanel] = PanelDecision(in.panelVer, in.panelNew);
  r.decision[kDigiDec] = DigiDecDecision(in.serialNumber, r.decision[kPanel]);

  const QString arrow = QStringLiteral(" => ");
  r.mainLabel = in.mainVer + arrow + in.mainNew + VariantLetter(r.blockVersion, r.shortRfu);
  r.decoderLabel = in.decoderVer + arrow + in.decoderNew;
  r.panelLabel = in.panelVer + arrow + in.panelNew;
  const bool digiDecCurrent = r.decision[kDigiDec] == 3;
  r.digiDecLabel = (digiDecCurrent ? QStringLiteral("(507A)=> ") : QStringLiteral("(307A)=> ")) + in.digiDecNew;
  r.cautionVisible = !digiDecCurrent;

  auto line = [&](const char *name, int board, const QString &label) {
    // One substitution pass: a version read from the receiver may itself hold "%1".
    r.logLines << QStringLiteral(" %1 (%2): %3").arg(QLatin1String(name), QString::number(r.decision[board]), label);
  };
  line("MainBoard", kMainBoard, r.mainLabel);
  line("Decorder", kDecoder, r.decoderLabel);
  line("Panel", kPanel, r.panelLabel);
  line("DigiDec", kDigiDec, r.digiDecLabel);
  return r;
}

}  // namespace kx
