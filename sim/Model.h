#pragma once
// The receiver's behaviour on its serial line, without any I/O: bytes go in with the bit rate
// they arrived at and the time their last bit ended; answers come out with the earliest time
// they may start. The pseudo-terminal loop of Receiver drives it.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/Options.h"

namespace kx::sim {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

struct Emit {
  std::uint8_t byte;
  Time notBefore;
  bool hangupAfter = false;  // the line closes after this byte (see Receiver)
};

struct Counters {
  std::uint64_t bytesReceived = 0;
  std::uint64_t garbledBytes = 0;  // arrived at a bit rate the receiver was not listening at
  std::uint64_t versionRequests = 0;  // "VR" lines
  std::uint64_t panelRequests = 0;    // "VRP" lines
  std::uint64_t framesReceived = 0;   // complete 133-byte frames, good or bad
  std::uint64_t framesWritten = 0;    // frames answered 0xAA
  std::uint64_t bootSessions = 0;     // bit-rate adjustments answered
};

// Observers of what the flash files and the trace need to know. All optional.
struct ModelHooks {
  std::function<void(Board)> flashErased;
  std::function<void(Board, std::size_t offset, std::size_t length)> flashWritten;
  std::function<void(Board)> bootProgramReceived;
  std::function<void(const std::string &)> note;
};

class Model {
 public:
  enum class State {
    Firmware,      // answers the version dialogue at 115200 bit/s
    Adjust,        // chip boot mode: waits for 0x00 at the boot timing rate
    Command,       // adjusted: waits for 0x55
    Length,        // erased (or erasing until busyUntil): takes the two length bytes
    Program,       // takes the boot program, echoing every byte
    AwaitStart,    // the boot program runs at 115200 bit/s: waits for 0xAB
    Frames,        // takes 133-byte frames
    Hung,          // a fault or an impossible length stopped the dialogue
  };

  Model(const Options &options, Time start, ModelHooks hooks = {});

  // One byte whose last bit ended at `at`, sent at `rate` bit/s. Answers go to `out`.
  void receive(std::uint8_t byte, std::uint32_t rate, Time at, std::vector<Emit> &out);

  // How many of the next bytes can produce no answer whatever their value: lets the line
  // loop hand over the inside of a frame without waking for each byte.
  int quietBytesAhead() const;

  State state() const { return state_; }
  static const char *StateName(State state);
  const Counters &counters() const { return counters_; }
  const std::vector<std::uint8_t> &flash(Board board) const { return flash_[index(board)]; }
  const std::vector<std::uint8_t> &bootProgram(Board board) const { return boot_[index(board)]; }
  // The version the board's firmware reports now.
  const std::string &version(Board board) const { return reported_[index(board)]; }
  // True once the board's flash holds a completely written image from this simulator's life.
  bool programmed(Board board) const { return programmed_[index(board)]; }
  // The board of the boot session under way, or -1 (none yet, or Decoder/Panel undecided).
  int sessionBoard() const { return session_.board; }

  void setFaults(std::vector<Fault> faults) { options_.faults = std::move(faults); }

 private:
  struct Session {
    int board = -1;             // -1 while the boot timing rate leaves it open
    std::uint32_t rate = 0;     // boot timing rate of this session
    bool erasePending = false;  // the erase happened before the board was known
    Time busyUntil{};           // the erase runs until then
    int lengthBytes = 0;
    int length = 0;
    std::vector<std::uint8_t> program;
    int echoes = 0;
    int frames = 0;
    bool failed = false;
    std::vector<std::uint8_t> frame;
  };

  static std::size_t index(Board board) { return static_cast<std::size_t>(board); }
  bool fault(FaultKind kind, int at = 0) const;
  void say(const std::string &text) const;
  void answer(std::uint8_t byte, Time at, std::vector<Emit> &out, bool hangupAfter = false);
  void answerLine(const std::string &line, Time at, std::vector<Emit> &out);
  bool restartIfRequested(std::uint8_t byte, std::uint32_t rate, Time at, std::vector<Emit> &out);
  void enterBoot(std::uint32_t rate);
  void enterFirmware();
  void decideBoard(int board);
  void erase(int board);
  void firmwareByte(std::uint8_t byte, Time at, std::vector<Emit> &out);
  void frameComplete(Time at, std::vector<Emit> &out);
  void updateVersion(int board);

  Options options_;
  ModelHooks hooks_;
  Time start_;
  State state_ = State::Firmware;
  Session session_;
  std::string line_;
  bool answerCut_ = false;  // a VR answer broke off: the VRP after it goes unanswered
  int noiseIndex_ = 0;
  Counters counters_;
  std::array<std::vector<std::uint8_t>, kBoardCount> flash_;
  std::array<std::vector<std::uint8_t>, kBoardCount> boot_;
  std::array<std::string, kBoardCount> reported_;
  std::array<bool, kBoardCount> programmed_{};
};

// The version text that follows the tag in an image (up to its 0x00), or empty.
std::string FindVersionTag(const std::vector<std::uint8_t> &image);

// The 16-bit checksum closing a frame: bytes 0..130 plus it sum to 0 modulo 0x10000.
std::uint16_t FrameChecksum(const std::uint8_t *bytes, std::size_t count);

}  // namespace kx::sim
