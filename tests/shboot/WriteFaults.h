#pragma once
// Every way an SH write ends early, one row per fault given to the simulated receiver:
// the table the engine's tests (QtCore alone) and the window's tests both run. Each run
// ends with the board failed (its button red) and the port closed.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "sim/Options.h"

namespace shtest {

// The writer's log lines on the way.
inline const QString kWrite = QStringLiteral("[WRITE](FormSHBoot) Clicked");
inline const QString kOpen = QStringLiteral("COMM port open  Timing Type2");  // the MainBoard's
inline const QString kAdjusted = QStringLiteral("AdjustBitRate OK");
inline const QString kErased = QStringLiteral("Erace OK");
inline const QString kPrepare = QStringLiteral("Prepare the boot program");
inline const QString kChange = QStringLiteral("Change the BitRate");
inline const QString kChanged = QStringLiteral("Changed the BitRate to 115kbps");
inline const QString kClose = QStringLiteral("COMM port close");
inline const QString kAbort = QStringLiteral("[Abort](FormSHBoot) clicked");

struct WriteFault {
  const char *name;
  std::vector<kx::sim::Fault> faults;  // given to the receiver before WRITE START
  int waitState;          // the state whose time limit is reached; 0: the receiver's answer ends the run
  std::uint32_t limitMs;  // how far the writer's clock is run ahead there
  QString message;        // the one box
  QStringList log;        // the writer's lines from WRITE START on, for the MainBoard
  QString panelPrefix;    // what status panel 1 starts with at the end
  bool aborted;           // Abort's actions close the sequence, so Abort is disabled after it
};

inline const std::vector<WriteFault> &WriteFaults() {
  using K = kx::sim::FaultKind;
  static const std::vector<WriteFault> rows = {
      {"no adjustment", {{K::NoAdjust, 0}}, 12, 10000, "Adjust BitRate ERROR!!",
       {kWrite, kOpen, "Adjust BitRate ERROR!!", kClose, kAbort}, "Adjust BitRate ERROR!!", true},
      {"erase error", {{K::EraseError, 0}}, 0, 0, "Erase ERROR !!!",
       {kWrite, kOpen, kAdjusted, "Erase ERROR !!!", kClose, kAbort}, "Erase ERROR !!!", true},
      {"erase time-out", {{K::EraseTimeout, 0}}, 16, 10000, "Erase TIME OUT !!!",
       {kWrite, kOpen, kAdjusted, "Erase TIME OUT !!!", kClose, kAbort}, "Erase TIME OUT !!!", true},
      {"corrupted echo", {{K::BadEcho, 5}}, 24, 8000, "Transmit the boot program TIME OUT !!!",
       {kWrite, kOpen, kAdjusted, kErased, kPrepare, "Transmit the boot program TIME OUT !!!", kClose, kAbort},
       "Transmit the boot program TIME OUT !!!", true},
      {"boot program never starts", {{K::NoStart, 0}}, 26, 5000, "Incomplete transmitting the boot program !!!",
       {kWrite, kOpen, kAdjusted, kErased, kPrepare, "Incomplete transmitting the boot program !!!", kClose, kAbort},
       "Incomplete transmitting the boot program !!!", true},
      {"no ready byte", {{K::NoReady, 0}}, 52, 10000, "Incomplete preparing the Firmware !!!",
       {kWrite, kOpen, kAdjusted, kErased, kPrepare, kChange, kChanged, "Incomplete preparing the Firmware !!!", kClose,
        kAbort},
       "Incomplete preparing the Firmware !!!", true},
      {"block never answered", {{K::WriteTimeout, 3}}, 64, 10000, "Write TIME OUT !!!",
       {kWrite, kOpen, kAdjusted, kErased, kPrepare, kChange, kChanged, "Write TIME OUT !!!", kClose, kAbort},
       "Write adrs ", true},
      {"block refused", {{K::WriteError, 3}}, 0, 0, "Write ERROR !!!",
       {kWrite, kOpen, kAdjusted, kErased, kPrepare, kChange, kChanged, "Write ERROR !!!", kClose}, "Write adrs ",
       false},
  };
  return rows;
}

}  // namespace shtest
