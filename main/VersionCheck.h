#pragma once
// The version check's line parser: turns the receiver's answer bytes into the
// identification and the MainBoard, Decoder and Panel versions.
#include <QString>
#include <cstdint>
#include <functional>

namespace kx {

// The parser's working fields; the main window carries them under these names.
struct VersionCheckFields {
  QString VR_str;  // the line being received, without CR and LF
  QString rs_tmp;  // identification, as parsed
  QString ms_tmp;  // MainBoard version, as parsed
  QString ds_tmp;  // Decoder version, as parsed
  QString ps_tmp;  // Panel version, as parsed
  int vr_state = 0;  // 0 nothing complete, 1 a complete "VER-C" line, 2 answer complete
  int CanNotFindFlag = 0;
};

enum class VersionLineResult {
  None,      // keep going
  Complete,  // a "VER-P:" line followed a complete "VER-C" line: accept the answer
  Retry,     // the receiver said it was not ready and then answered "VRP": restart the check
};

// The log operations the parser uses, in the order it uses them.
struct VersionCheckLog {
  std::function<void(const QString &)> add;
  std::function<void()> save;
};

// What a new check resets, its line buffer included: a partial line left by an earlier
// check must not lead this check's first line.
void StartVersionCheck(VersionCheckFields &f);

// Handles one received byte. On Retry the line buffer is already emptied.
VersionLineResult FeedVersionByte(VersionCheckFields &f, std::uint8_t byte, const VersionCheckLog &log);

// The Panel version of a "VER-P:" line.
QString PanelVersionOf(const QString &line);

// The identification and versions of a "VER-C" line, stored as each is found.
void CutVersionLine(VersionCheckFields &f, const QString &line);

}  // namespace kx
