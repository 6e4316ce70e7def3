#include "sim/Model.h"

#include <algorithm>
#include <cstdio>

namespace kx::sim {

namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;
constexpr std::size_t kFrameSize = 133;
constexpr std::size_t kBlockSize = 128;
// The boot program lands in the chip's RAM window 0xFFFFE800..0xFFFFFFFF.
constexpr int kBootRamSize = 6144;
constexpr std::size_t kMaxLine = 256;
constexpr std::size_t kMaxVersionText = 32;

// Stray bytes that none of the writer's or the version check's waits accept.
constexpr std::uint8_t kNoise[] = {0x80, 0x3F, 0xF0, 0x7E, 0x11};

// What a UART listening at another bit rate makes of a byte: something else.
std::uint8_t Garble(std::uint8_t byte) { return static_cast<std::uint8_t>(byte ^ 0xA5); }

std::string Hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, value);
  return buf;
}

std::string Trimmed(const std::string &text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string FindVersionTag(const std::vector<std::uint8_t> &image) {
  auto it = std::search(image.begin(), image.end(), kVersionTag.begin(), kVersionTag.end());
  if (it == image.end()) return {};
  it += static_cast<std::ptrdiff_t>(kVersionTag.size());
  std::string version;
  for (; it != image.end() && version.size() <= kMaxVersionText; ++it) {
    if (*it == 0x00) return version;
    if (*it < 0x21 || *it > 0x7E) return {};
    version.push_back(static_cast<char>(*it));
  }
  return {};
}

std::uint16_t FrameChecksum(const std::uint8_t *bytes, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint16_t>((0x10000u - (sum & 0xFFFFu)) & 0xFFFFu);
}

const char *Model::StateName(State state) {
  switch (state) {
    case State::Firmware: return "firmware";
    case State::Adjust: return "adjust";
    case State::Command: return "command";
    case State::Length: return "length";
    case State::Program: return "program";
    case State::AwaitStart: return "await-start";
    case State::Frames: return "frames";
    case State::Hung: return "hung";
  }
  return "?";
}

Model::Model(const Options &options, Time start, ModelHooks hooks)
    : options_(options), hooks_(std::move(hooks)), start_(start) {
  for (int b = 0; b < kBoardCount; ++b) {
    // The board holds its old firmware: blank flash with the old version's tag at 0.
    auto &flash = flash_[static_cast<std::size_t>(b)];
    flash.assign(kFlashSize, 0xFF);
    const std::string tag = std::string(kVersionTag) + options_.versions[static_cast<std::size_t>(b)];
    std::copy(tag.begin(), tag.end(), flash.begin());
    flash[tag.size()] = 0x00;
    reported_[static_cast<std::size_t>(b)] = options_.versions[static_cast<std::size_t>(b)];
  }
  switch (options_.boot) {
    case BootMode::Auto: break;
    case BootMode::MainBoard: enterBoot(kMainBoardBootRate); break;
    case BootMode::Decoder:
    case BootMode::Panel: enterBoot(kDecoderPanelBootRate); break;
  }
}

bool Model::fault(FaultKind kind, int at) const {
  return std::any_of(options_.faults.begin(), options_.faults.end(),
                     [&](const Fault &f) { return f.kind == kind && (at == 0 || f.at == at); });
}

void Model::say(const std::string &text) const {
  if (hooks_.note) hooks_.note(text);
}

void Model::answer(std::uint8_t byte, Time at, std::vector<Emit> &out, bool hangupAfter) {
  if (fault(FaultKind::Noise)) {
    for (int i = 0; i < 2; ++i) out.push_back({kNoise[noiseIndex_++ % std::size(kNoise)], at});
  }
  out.push_back({byte, at, hangupAfter});
}

void Model::answerLine(const std::string &line, Time at, std::vector<Emit> &out) {
  if (fault(FaultKind::Noise)) {
    for (int i = 0; i < 2; ++i) out.push_back({kNoise[noiseIndex_++ % std::size(kNoise)], at});
  }
  for (char c : line) out.push_back({static_cast<std::uint8_t>(c), at});
  out.push_back({kCR, at});
  out.push_back({kLF, at});
}

void Model::enterBoot(std::uint32_t rate) {
  session_ = Session{};
  session_.rate = rate;
  switch (options_.boot) {
    case BootMode::MainBoard: session_.board = static_cast<int>(Board::MainBoard); break;
    case BootMode::Decoder: session_.board = static_cast<int>(Board::Decoder); break;
    case BootMode::Panel: session_.board = static_cast<int>(Board::Panel); break;
    case BootMode::Auto:
      // 19200 is only the MainBoard's; at 9600 the boot program's length tells Decoder from Panel.
      session_.board = rate == kMainBoardBootRate ? static_cast<int>(Board::MainBoard) : -1;
      break;
  }
  state_ = State::Adjust;
  line_.clear();
  say("boot mode at " + std::to_string(rate) + " bit/s" +
      (session_.board >= 0 ? std::string(", ") + BoardName(static_cast<Board>(session_.board)) : ""));
}

void Model::enterFirmware() {
  session_ = Session{};
  state_ = State::Firmware;
  line_.clear();
  say("firmware running");
}

void Model::erase(int board) {
  auto b = static_cast<std::size_t>(board);
  std::fill(flash_[b].begin(), flash_[b].end(), 0xFF);
  programmed_[b] = false;
  reported_[b] = options_.versions[b];
  say(std::string("flash of ") + BoardName(static_cast<Board>(board)) + " erased");
  if (hooks_.flashErased) hooks_.flashErased(static_cast<Board>(board));
}

void Model::decideBoard(int board) {
  session_.board = board;
  say(std::string("board ") + BoardName(static_cast<Board>(board)));
  if (session_.erasePending) {
    session_.erasePending = false;
    erase(board);
  }
}

bool Model::restartIfRequested(std::uint8_t byte, std::uint32_t rate, Time, std::vector<Emit> &) {
  const bool autoMode = options_.boot == BootMode::Auto;
  const bool midFrame = state_ == State::Frames && !session_.frame.empty();
  if (midFrame) return false;

  const bool isBootRate = autoMode ? (rate == kMainBoardBootRate || rate == kDecoderPanelBootRate)
                                   : rate == session_.rate;
  if (state_ == State::Firmware) {
    if (byte == 0x00 && isBootRate) {
      enterBoot(rate);  // the technician set the switches and powered the receiver on
      return true;
    }
    return false;
  }
  // A version request at the firmware's rate: the receiver was switched back to normal.
  if (autoMode && rate == kFirmwareRate && (byte == kCR || byte == kLF)) {
    enterFirmware();
    return true;
  }
  // A new bit-rate adjustment once the chip's own dialogue is over or at another rate:
  // the receiver was powered on afresh in boot mode.
  if (byte == 0x00 && isBootRate) {
    const bool chipListening = state_ == State::Adjust || state_ == State::Command ||
                               state_ == State::Length || state_ == State::Program;
    if (!chipListening || rate != session_.rate) {
      enterBoot(rate);
      return true;
    }
  }
  return false;
}

void Model::receive(std::uint8_t byte, std::uint32_t rate, Time at, std::vector<Emit> &out) {
  ++counters_.bytesReceived;
  restartIfRequested(byte, rate, at, out);

  const bool chipState = state_ == State::Adjust || state_ == State::Command ||
                         state_ == State::Length || state_ == State::Program;
  const std::uint32_t listening = chipState ? session_.rate : kFirmwareRate;
  const bool garbled = state_ != State::Hung && rate != listening;
  if (garbled) {
    ++counters_.garbledBytes;
    byte = Garble(byte);
  }

  switch (state_) {
    case State::Firmware:
      firmwareByte(byte, at, out);
      break;

    case State::Adjust:
      if (garbled || byte != 0x00) break;
      if (fault(FaultKind::NoAdjust)) {
        say("fault: adjustment not answered");
        break;
      }
      ++counters_.bootSessions;
      say("bit rate adjusted");
      answer(0x00, at, out);
      state_ = State::Command;
      break;

    case State::Command:
      if (garbled) break;
      if (byte == 0x00) {
        answer(0x00, at, out);  // a further adjustment byte that crossed the first answer
      } else if (byte == 0x55) {
        if (session_.board >= 0) {
          erase(session_.board);
        } else {
          session_.erasePending = true;
        }
        if (fault(FaultKind::EraseTimeout)) {
          say("fault: the erase never ends");
          state_ = State::Hung;
          break;
        }
        session_.busyUntil = at + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options_.eraseSeconds));
        if (fault(FaultKind::EraseError)) {
          say("fault: erase error");
          answer(0xFF, session_.busyUntil, out);
          state_ = State::Hung;
        } else {
          answer(0xAA, session_.busyUntil, out);
          state_ = State::Length;
        }
      }
      break;

    case State::Length:
    case State::Program: {
      if (at < session_.busyUntil) break;  // still erasing: the chip hears nothing
      ++session_.echoes;
      std::uint8_t echo = byte;
      if (fault(FaultKind::BadEcho, session_.echoes)) {
        echo = static_cast<std::uint8_t>(byte ^ 0xFF);
        say("fault: echo " + std::to_string(session_.echoes) + " altered");
      }
      out.push_back({echo, at});
      if (state_ == State::Length) {
        session_.length = (session_.length << 8) | byte;
        if (++session_.lengthBytes < 2) break;
        say("boot program length " + std::to_string(session_.length));
        if (session_.board < 0) {
          decideBoard(session_.length == options_.panelBootLength ? static_cast<int>(Board::Panel)
                                                                 : static_cast<int>(Board::Decoder));
        }
        state_ = session_.length == 0 ? State::Hung : State::Program;
        break;
      }
      session_.program.push_back(byte);
      if (static_cast<int>(session_.program.size()) < session_.length) break;
      boot_[static_cast<std::size_t>(session_.board)] = session_.program;
      if (hooks_.bootProgramReceived) hooks_.bootProgramReceived(static_cast<Board>(session_.board));
      if (session_.length > kBootRamSize) {
        say("boot program larger than the boot RAM: not started");
        state_ = State::Hung;
      } else if (fault(FaultKind::NoStart)) {
        say("fault: boot program does not start");
        state_ = State::Hung;
      } else {
        say("boot program runs");
        answer(0xAA, at, out);
        state_ = State::AwaitStart;
      }
      break;
    }

    case State::AwaitStart:
      if (garbled || byte != 0xAB) break;
      if (fault(FaultKind::NoReady)) {
        say("fault: 0xAB not answered");
        break;
      }
      answer(0xCD, at, out);
      state_ = State::Frames;
      break;

    case State::Frames:
      session_.frame.push_back(byte);
      if (session_.frame.size() == kFrameSize) frameComplete(at, out);
      break;

    case State::Hung:
      break;
  }
}

void Model::firmwareByte(std::uint8_t byte, Time at, std::vector<Emit> &out) {
  if (byte != kCR && byte != kLF) {
    if (line_.size() < kMaxLine) line_.push_back(static_cast<char>(byte));
    return;
  }
  const std::string command = Trimmed(line_);
  line_.clear();
  if (command == "VR") {
    ++counters_.versionRequests;
    const std::string answer =
        std::chrono::duration<double>(at - start_).count() < options_.notReadySeconds
            ? std::string("Can not FIND")
            : "VER-C " + options_.model + "_Main_" + reported_[0] + " D" + reported_[1] + " ";
    answerCut_ = fault(FaultKind::CutAnswer, static_cast<int>(counters_.versionRequests));
    if (answerCut_) {
      // As when the receiver is switched off while it answers: part of a line, no line end.
      for (char c : answer.substr(0, answer.size() * 2 / 3)) out.push_back({static_cast<std::uint8_t>(c), at});
      say("answer to VR " + std::to_string(counters_.versionRequests) + " cut");
    } else {
      answerLine(answer, at, out);
    }
  } else if (command == "VRP") {
    ++counters_.panelRequests;
    if (!answerCut_) answerLine("VER-P: " + reported_[2], at, out);
    answerCut_ = false;
  }
}

void Model::frameComplete(Time at, std::vector<Emit> &out) {
  std::vector<std::uint8_t> frame;
  frame.swap(session_.frame);
  ++counters_.framesReceived;
  const int k = ++session_.frames;
  const int board = session_.board;
  const auto b = static_cast<std::size_t>(board);
  const std::uint32_t address = (std::uint32_t{frame[0]} << 16) | (std::uint32_t{frame[1]} << 8) | frame[2];
  const std::uint16_t sent = static_cast<std::uint16_t>((frame[131] << 8) | frame[132]);
  const std::string where = "frame " + std::to_string(k) + " at " + Hex(address, 6);

  if (fault(FaultKind::WriteTimeout, k)) {
    say("fault: " + where + " not answered");
    session_.failed = true;
    updateVersion(board);
    return;
  }
  if (fault(FaultKind::WriteError, k)) {
    say("fault: " + where + " answered 0xFF");
    session_.failed = true;
    updateVersion(board);
    answer(0xFF, at, out);
    return;
  }
  const bool addressOk = address % kBlockSize == 0 && address < kFlashSize;
  const bool sumOk = FrameChecksum(frame.data(), 131) == sent;
  if (!addressOk || !sumOk) {
    say(where + (addressOk ? ": bad checksum" : ": bad address"));
    session_.failed = true;
    updateVersion(board);
    answer(0xFF, at, out);
    return;
  }
  // Flash programming can only clear bits; only the erase sets them again.
  for (std::size_t i = 0; i < kBlockSize; ++i) flash_[b][address + i] &= frame[3 + i];
  ++counters_.framesWritten;
  if (hooks_.flashWritten) hooks_.flashWritten(static_cast<Board>(board), address, kBlockSize);
  updateVersion(board);
  const bool hangup = fault(FaultKind::Hangup, k);
  if (hangup) say("fault: line closed after " + where);
  answer(0xAA, at, out, hangup);
}

void Model::updateVersion(int board) {
  const auto b = static_cast<std::size_t>(board);
  const std::string found = session_.failed ? std::string() : FindVersionTag(flash_[b]);
  const bool complete = !found.empty();
  if (complete && !programmed_[b]) say(std::string(BoardName(static_cast<Board>(board))) + " now reports " + found);
  programmed_[b] = complete;
  reported_[b] = complete ? found : options_.versions[b];
}

int Model::quietBytesAhead() const {
  if (state_ != State::Frames || session_.frame.empty()) return 0;
  return static_cast<int>(kFrameSize - 1 - session_.frame.size());
}

}  // namespace kx::sim
