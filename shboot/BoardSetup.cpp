#include "shboot/BoardSetup.h"

namespace kx::shboot {

QString MainFirmwareResource(int shortRfu, int blockVersion) {
  if (shortRfu == 0) return blockVersion == 0 ? QStringLiteral("MAIN_NONE_SH_7391") : QStringLiteral("MAIN_B_SH_7391");
  return blockVersion == 0 ? QStringLiteral("MAIN_R_SH_7391") : QStringLiteral("MAIN_Q_SH_7391");
}

std::optional<BoardSetup> SetupForBoard(int boardNo, int shortRfu, int blockVersion) {
  switch (boardNo) {
    case kMainBoard:
      return BoardSetup{QStringLiteral("MainBoard  ["), QStringLiteral("BOOT_SH_7391_MAIN"),
                        MainFirmwareResource(shortRfu, blockVersion), QStringLiteral("JPG_DIP_1ON"), 1, true};
    case kDecoder:
      return BoardSetup{QStringLiteral("Decoder  ["), QStringLiteral("BOOT_SH_7391_DECORD"),
                        QStringLiteral("DECORD_SH_7391"), QStringLiteral("JPG_DIP_2ON"), 0, false};
    case kPanel:
      return BoardSetup{QStringLiteral("Panel  ["), QStringLiteral("BOOT_SH_7391_PANEL"),
                        QStringLiteral("PANEL_SH_7391"), QStringLiteral("JPG_DIP_23ON"), 0, false};
    default:
      return std::nullopt;
  }
}

QString CompletionText(const QTime &start, const QTime &end) {
  const QString pattern = QStringLiteral("hh:mm:ss");
  return QStringLiteral("Writing complete. %1 - %2").arg(start.toString(pattern), end.toString(pattern));
}

namespace {
QString AddressText(const char *prefix, unsigned address) {
  return QLatin1String(prefix) + QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0')).toUpper();
}
}  // namespace

QString WriteAddressText(unsigned address) { return AddressText("Write adrs ", address); }
QString SkipAddressText(unsigned address) { return AddressText("Skip adrs ", address); }

}  // namespace kx::shboot
