#include "main/VersionCheck.h"

namespace kx {

namespace {
const QString kCanNotFind = QStringLiteral("Can not FIND");
const QString kVerC = QStringLiteral("VER-C");
const QString kVerP = QStringLiteral("VER-P:");
}  // namespace

void StartVersionCheck(VersionCheckFields &f) {
  f.VR_str.clear();
  f.vr_state = 0;
  f.CanNotFindFlag = 0;
  f.rs_tmp.clear();
  f.ms_tmp.clear();
  f.ds_tmp.clear();
  f.ps_tmp.clear();
}

QString PanelVersionOf(const QString &line) {
  const qsizetype at = line.indexOf(kVerP);
  if (at < 0) return {};
  // The character right after the colon (normally a blank) is skipped whatever it is.
  QString v = line.mid(at + kVerP.size() + 1);
  qsizetype end = v.size();
  while (end > 0 && v[end - 1].unicode() <= 0x20) --end;
  v.truncate(end);
  return v;
}

void CutVersionLine(VersionCheckFields &f, const QString &line) {
  const QString t = line.mid(line.indexOf(kVerC) + kVerC.size());
  const qsizetype main = t.indexOf(QStringLiteral("Main"));
  if (main < 0) return;
  QString id = t.left(main);
  const qsizetype underscore = id.indexOf(u'_');
  if (underscore >= 0 && underscore == id.size() - 1) id.chop(1);
  f.rs_tmp = id;

  QString rest = t.mid(main + 4);
  if (rest.startsWith(u'_')) rest.remove(0, 1);
  const qsizetype d = rest.indexOf(QStringLiteral(" D"));
  if (d < 0) return;
  f.ms_tmp = rest.left(d);

  const QString after = rest.mid(d + 2);
  const qsizetype blank = after.indexOf(u' ');
  if (blank < 0) return;
  f.ds_tmp = after.left(blank);
  f.vr_state = 1;
}

VersionLineResult FeedVersionByte(VersionCheckFields &f, std::uint8_t byte, const VersionCheckLog &log) {
  if (byte == 0x0A) return VersionLineResult::None;
  if (byte != 0x0D) {
    f.VR_str.append(QChar(char16_t(byte)));
    return VersionLineResult::None;
  }
  const QString line = f.VR_str;
  if (line.contains(kCanNotFind)) f.CanNotFindFlag = 1;
  if (f.CanNotFindFlag == 1) {
    log.add(QStringLiteral("VersionTest:") + line);
    log.save();
  }
  if (line.contains(kVerC) && f.CanNotFindFlag == 0) {
    log.add(QStringLiteral("VR res:") + line);
    CutVersionLine(f, line);
    log.save();
  }
  if (line.contains(kVerP)) {
    log.add(QStringLiteral("VRP res:") + line);
    f.ps_tmp = PanelVersionOf(line);
    if (f.vr_state == 1) f.vr_state = 2;
    if (f.CanNotFindFlag == 1) {
      f.VR_str.clear();
      return VersionLineResult::Retry;
    }
    log.save();
  }
  f.VR_str.clear();
  return f.vr_state == 2 ? VersionLineResult::Complete : VersionLineResult::None;
}

}  // namespace kx
