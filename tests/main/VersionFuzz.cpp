// libFuzzer target for the version reply parser: the input is what the receiver sends
// during checks. Each byte goes through FeedVersionByte as the check hands it over; a
// check that completes or asks for a retry starts a new one, as the window does.
// Besides the sanitizers' checks, it traps when the parser's state breaks its rules.
#include <cstddef>
#include <cstdint>

#include "main/VersionCheck.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kx::VersionCheckFields f;
  int logged = 0;
  int saved = 0;
  const kx::VersionCheckLog log{[&](const QString &) { ++logged; }, [&] { ++saved; }};
  for (std::size_t i = 0; i < size; ++i) {
    const kx::VersionLineResult r = kx::FeedVersionByte(f, data[i], log);
    Require(f.vr_state >= 0 && f.vr_state <= 2);
    Require(f.CanNotFindFlag == 0 || f.CanNotFindFlag == 1);
    Require(!f.VR_str.contains(QChar(u'\r')) && !f.VR_str.contains(QChar(u'\n')));
    switch (r) {
      case kx::VersionLineResult::None:
        Require(f.vr_state != 2);
        break;
      case kx::VersionLineResult::Complete:
        Require(f.vr_state == 2 && f.VR_str.isEmpty());
        kx::StartVersionCheck(f);
        break;
      case kx::VersionLineResult::Retry:
        Require(f.CanNotFindFlag == 1 && f.VR_str.isEmpty());
        kx::StartVersionCheck(f);
        break;
    }
  }
  // The field rules on the whole input taken as one line.
  const QString line = QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
  const QString panel = kx::PanelVersionOf(line);
  Require(panel.size() <= line.size());
  Require(panel.isEmpty() || panel.back().unicode() > 0x20);
  kx::VersionCheckFields g;
  kx::CutVersionLine(g, line);
  Require(g.rs_tmp.size() + g.ms_tmp.size() + g.ds_tmp.size() <= line.size());
  Require(g.vr_state == 0 || !g.ds_tmp.contains(QChar(u' ')));
  return 0;
}
