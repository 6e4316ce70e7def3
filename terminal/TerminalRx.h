#pragma once
// What the terminal shows for each received byte, kept apart from the widget that
// shows it: the line buffer of the current text line and the hex column counter.
#include <cstdint>

namespace kx::terminal {

enum class DisplayMode { Ascii = 0, Hex = 1 };

// Receives the display steps, in order, for the log to carry out.
class RxSink {
 public:
  virtual ~RxSink() = default;
  // A received-line entry. `ended` is true when a CR ended the line (the entry gets
  // the end-of-line marker) and false when a full buffer was written out early.
  virtual void ReceivedLine(const char *data, int size, bool ended) = 0;
  // One byte shown in hex; `rowEnd` when it completes a row of 16.
  virtual void HexByte(std::uint8_t d, bool rowEnd) = 0;
};

class RxDisplay {
 public:
  static constexpr int kLineBufSize = 256;
  static constexpr int kHexPerRow = 16;

  void Feed(std::uint8_t d, DisplayMode mode, RxSink &sink);
  // Empties the line buffer (a CR, or the writer's acknowledgement byte).
  void ClearLine() { count_ = 0; }
  // Every "Send" and "Send HEX" entry starts a fresh hex row.
  void ResetHexColumn() { hexColumn_ = 0; }

  int LineCount() const { return count_; }
  const char *LineData() const { return buf_; }
  int HexColumn() const { return hexColumn_; }

  // Shows one byte in hex and counts it in the current row.
  void ShowHex(std::uint8_t d, RxSink &sink);

 private:
  char buf_[kLineBufSize] = {};
  int count_ = 0;
  int hexColumn_ = 0;
};

}  // namespace kx::terminal
