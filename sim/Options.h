#pragma once
// Settings of the receiver simulator: what the receiver is, how its DIP switches stand,
// and which faults it injects. Shared by the in-process Receiver and the command line.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::sim {

// The three boards with an SH controller, numbered as the writer numbers them.
enum class Board { MainBoard = 0, Decoder = 1, Panel = 2 };
inline constexpr int kBoardCount = 3;
const char *BoardName(Board board);  // "MainBoard", "Decoder", "Panel"
const char *BoardFileStem(Board board);  // "mainboard", "decoder", "panel"

// Where the DIP switches stand. Auto: the receiver runs its firmware and enters the boot
// mode of a board when the bit-rate adjustment arrives at that board's boot timing rate.
enum class BootMode { Auto, MainBoard, Decoder, Panel };
std::optional<BootMode> ParseBootMode(std::string_view text);

// Bit rates of the receiver's line.
inline constexpr std::uint32_t kFirmwareRate = 115200;  // running firmware and boot program
inline constexpr std::uint32_t kMainBoardBootRate = 19200;
inline constexpr std::uint32_t kDecoderPanelBootRate = 9600;
std::uint32_t BootRate(Board board);

// Flash of each board, and the boot program length the carried Panel program has.
inline constexpr std::size_t kFlashSize = 0x40000;
inline constexpr int kPanelBootLength = 2828;

// Text that marks the firmware version inside a flash image: the tag, the version, 0x00.
inline constexpr std::string_view kVersionTag = "KX7391-FW-VER=";

enum class FaultKind {
  NoAdjust,      // the bit-rate adjustment is never answered
  EraseError,    // 0xFF instead of 0xAA after the erase
  EraseTimeout,  // no answer after 0x55
  BadEcho,       // the at-th echo byte of the boot transfer is altered
  NoStart,       // the boot program never reports 0xAA after its last echo
  NoReady,       // 0xAB is never answered with 0xCD
  WriteError,    // the at-th frame is answered 0xFF (and not programmed)
  WriteTimeout,  // the at-th frame is never answered (and not programmed)
  Hangup,        // the pseudo-terminal is closed once the at-th frame is answered
  Noise,         // stray bytes go out before every answer (not before echoes)
  CutAnswer,     // the answer to the at-th "VR" breaks off two thirds of the way; the "VRP" after it gets none
};

struct Fault {
  FaultKind kind;
  int at = 0;  // 1-based count within one boot session, for the kinds with "@K"
  bool operator==(const Fault &) const = default;
};

// "no-adjust", "bad-echo@5", ...; a comma-separated list gives several.
std::optional<std::vector<Fault>> ParseFaults(std::string_view text);
std::string FaultText(const Fault &fault);

struct Options {
  std::string model = "KX7391D";
  // Versions reported until a board has been programmed: MainBoard, Decoder, Panel.
  // Older than what the updater carries, so that an update is needed.
  std::array<std::string, kBoardCount> versions{"402A", "3N4A", "510A"};
  BootMode boot = BootMode::Auto;
  double notReadySeconds = 0;  // "VR" gets "Can not FIND" for this long after start
  bool pace = true;            // every byte takes 10 bit times at the rate in force
  double eraseSeconds = 1.0;
  std::vector<Fault> faults;
  int panelBootLength = kPanelBootLength;  // auto mode at 9600: this length means the Panel
  std::string flashDir;   // empty: no flash files
  std::string tracePath;  // empty: no trace
  std::string portDir;    // empty: the port is not published
  int comNumber = 9;
};

}  // namespace kx::sim
