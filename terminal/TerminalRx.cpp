#include "terminal/TerminalRx.h"

namespace kx::terminal {

namespace {
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;
}  // namespace

void RxDisplay::ShowHex(std::uint8_t d, RxSink &sink) {
  const bool rowEnd = ++hexColumn_ >= kHexPerRow;
  if (rowEnd) hexColumn_ = 0;
  sink.HexByte(d, rowEnd);
}

void RxDisplay::Feed(std::uint8_t d, DisplayMode mode, RxSink &sink) {
  const bool hex = mode == DisplayMode::Hex;
  if (d == kLf) {
    if (hex) ShowHex(d, sink);
    return;
  }
  if (d == kCr) {
    if (hex)
      ShowHex(d, sink);
    else
      sink.ReceivedLine(buf_, count_, true);
    count_ = 0;
    return;
  }
  if (count_ == kLineBufSize) {
    // A line longer than the buffer: in text mode it is shown in pieces of 256
    // bytes, the early pieces without the end-of-line marker, so nothing is lost.
    // In hex mode every byte is on screen already and the buffer simply restarts.
    if (!hex) sink.ReceivedLine(buf_, count_, false);
    count_ = 0;
  }
  buf_[count_++] = static_cast<char>(d);
  if (hex) ShowHex(d, sink);
}

}  // namespace kx::terminal
