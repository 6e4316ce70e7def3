#pragma once
// Deployment of the DigiDec writer tool and its two images into the folder "digidecw"
// beside the updater's executable (or, where that cannot be written, in the user's data
// folder), and where the run finds them again.
#include <QString>
#include <array>
#include <functional>

#include "digidec/Payloads.h"

namespace kx::digidec {

inline const QString kToolDirName = QStringLiteral("digidecw");
inline const QString kToolFileName = QStringLiteral("KX7391DWriterCmd2507A.exe");
inline const QString kImageFileName = QStringLiteral("2507A.A57");
inline const QString kImage10FileName = QStringLiteral("2507A_Cyclone10.A57");

struct DeployedFile {
  QString fileName;
  QString payload;
  bool executable;
};
// In the order they are written.
const std::array<DeployedFile, 3> &DeployedFiles();

// The folder that holds "digidecw": the executable's folder where "digidecw" is, or can be
// made, writable there; otherwise userDataDir (a system-wide install run by a normal user).
QString ChooseBaseDirectory(const QString &exeDir, const QString &userDataDir);
// $XDG_DATA_HOME/kx7391updater, by default ~/.local/share/kx7391updater.
QString UserDataDirectory();
// ChooseBaseDirectory() for the running executable, unless a test moved it.
QString BaseDirectory();
// Empty restores the executable's folder.
void SetBaseDirectory(const QString &dir);
// BaseDirectory() joined with "digidecw".
QString ToolDirectory();

// The payload source the updater deploys from: ReadPayload unless a test replaced it.
PayloadReader Payloads();
// Null restores ReadPayload.
void SetPayloads(PayloadReader reader);

// What the deployment reports through, so that it needs no window.
struct DeployReport {
  std::function<void(const QString &)> logAdd;
  std::function<void()> logSave;
  std::function<void(const QString &)> messageBox;
  std::function<void(const QString &)> errorBox;
};

// Writes each missing file of DeployedFiles() into baseDir/digidecw, leaving existing
// files alone. True when all three files exist afterwards; false when the updater must end.
bool DeployWriterTool(const QString &baseDir, const PayloadReader &read, const DeployReport &report);

// The start-up step of the updater and of the command line: DeployWriterTool into
// BaseDirectory() from Payloads().
bool MakeExeAndA57(const DeployReport &report);

}  // namespace kx::digidec
