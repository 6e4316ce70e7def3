#pragma once
// The write commands of kx7391.
#include <QString>
#include <QStringList>

namespace kx::cli {

// One receiver of an SH write: its port, serial number and, for the MainBoard, the
// image named on the command line (empty: the check chooses).
struct Receiver {
  QString port;  // "COM9"
  int portNo = 0;
  QString serial;
  QString image;
};

struct WriteOptions {
  bool yes = false;
  bool json = false;
};

// The four MainBoard images, as kx7391 check prints them.
const QStringList &MainBoardImages();

// Writes `board` (0 MainBoard, 1 Decoder, 2 Panel) to every receiver at once.
int WriteSh(int board, const QList<Receiver> &receivers, const WriteOptions &options);

// Writes the DigiDec board with the carried writer tool.
int WriteDigiDec(const QString &serial, const WriteOptions &options);

// "Press Enter" before a write; the board's steps are printed first.
extern const char *const kSteps[4];

}  // namespace kx::cli
