#pragma once
// What the writer window loads for each SH board, and the other plain rules of a
// run that need no widget: boot data limits, bit rates, the completion line.
#include <QString>
#include <QTime>
#include <optional>

namespace kx::shboot {

enum Board { kMainBoard = 0, kDecoder = 1, kPanel = 2 };

struct BoardSetup {
  QString captionPrefix;
  QString bootResource;
  QString firmwareResource;
  QString switchPicture;
  // Boot timing: item 0 is 9600 bit/s, item 1 is 19200 bit/s.
  int bpsItem = 0;
  // The MainBoard loads its boot data before it logs; the other boards log first.
  bool bootDataBeforeLog = false;
};

inline const QString kBottomPicture = QStringLiteral("JPG_BOTTOM");
inline const QString kAllOffPicture = QStringLiteral("JPG_DIP_ALLOFF");

// The MainBoard image follows the variant flags of the version evaluation.
QString MainFirmwareResource(int shortRfu, int blockVersion);

// The set-up of board 0, 1 or 2; none for any other number.
std::optional<BoardSetup> SetupForBoard(int boardNo, int shortRfu, int blockVersion);

// The boot data goes to the port from a 6001-byte buffer: two length bytes and a
// boot program of at most 5999 bytes.
constexpr int kBootTxBufSize = 6001;
constexpr int kMaxBootProgram = kBootTxBufSize - 2;
constexpr bool BootDataFits(long long bootStreamSize) { return bootStreamSize <= kBootTxBufSize; }

// The boot timing bit rate of a radio item; 0 when no item is chosen.
constexpr int BootTimingBitRate(int item) { return item == 0 ? 9600 : item == 1 ? 19200 : 0; }

// "Writing complete. hh:nn:ss - hh:nn:ss".
QString CompletionText(const QTime &start, const QTime &end);

// "Write adrs 00012380" / "Skip adrs 00012380".
QString WriteAddressText(unsigned address);
QString SkipAddressText(unsigned address);

}  // namespace kx::shboot
