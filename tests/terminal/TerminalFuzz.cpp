// libFuzzer target for the terminal's parsers of outside text: the "Send HEX" command,
// the lines of a file to send, the send period, and the display of received bytes.
// The first byte picks the parser; the rest is its input. Besides the sanitizers'
// checks, it traps when a rule is broken.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "terminal/TerminalRules.h"
#include "terminal/TerminalRx.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckHex(const QString &text) {
  using kx::terminal::HexCommand;
  const HexCommand r = kx::terminal::ParseHexCommand(text);
  if (r.status != HexCommand::Status::Ok) {
    Require(r.bytes.isEmpty());
    return;
  }
  Require(text.size() <= HexCommand::kMaxChars);
  Require(!r.bytes.isEmpty() && r.bytes.size() <= HexCommand::kMaxBytes);
  // The bytes written back as digit pairs parse to the same bytes.
  QString again;
  for (char b : r.bytes) again += QString::asprintf("%02X ", static_cast<unsigned char>(b));
  const HexCommand back = kx::terminal::ParseHexCommand(again.left(HexCommand::kMaxChars));
  Require(back.status == HexCommand::Status::Ok && back.bytes == r.bytes);
}

// Copies every piece the display hands over, so that a read past the line buffer
// is seen by the sanitizer.
class CopySink final : public kx::terminal::RxSink {
 public:
  void ReceivedLine(const char *data, int size, bool) override {
    Require(size >= 0 && size <= kx::terminal::RxDisplay::kLineBufSize);
    char copy[kx::terminal::RxDisplay::kLineBufSize];
    std::memcpy(copy, data, static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) Require(copy[i] != '\r');
  }
  void HexByte(std::uint8_t, bool) override { ++hexBytes; }
  int hexBytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  const char *text = reinterpret_cast<const char *>(data + 1);
  const qsizetype length = static_cast<qsizetype>(size - 1);
  switch (mode % 4) {
    case 0:
      // As typed (any character), and as Latin-1 bytes.
      CheckHex(QString::fromUtf8(text, length));
      CheckHex(QString::fromLatin1(text, length));
      break;
    case 1: {
      const QByteArray content(text, length);
      const std::vector<kx::terminal::FileLine> lines = kx::terminal::SplitSendFile(content);
      // Each line end ends at most one line, and a last line may have none.
      Require(static_cast<qsizetype>(lines.size()) <= content.count('\r') + content.count('\n') + 1);
      for (const kx::terminal::FileLine &line : lines) {
        Require(line.text.size() <= kx::terminal::kFileLineMaxChars);
        Require(!line.text.contains('\r') && !line.text.contains('\n'));
        Require(line.send == (line.text.isEmpty() || line.text.front() != ';'));
      }
      break;
    }
    case 2: {
      const int period = kx::terminal::SendPeriodFromText(QString::fromUtf8(text, length));
      Require(period >= kx::terminal::kMinSendPeriod);
      break;
    }
    default: {
      // The received bytes, the display mode switching with the mode byte's bits.
      kx::terminal::RxDisplay display;
      CopySink sink;
      for (qsizetype i = 0; i < length; ++i) {
        const auto m = ((mode >> (i % 6 + 2)) & 1) ? kx::terminal::DisplayMode::Hex : kx::terminal::DisplayMode::Ascii;
        display.Feed(static_cast<std::uint8_t>(text[i]), m, sink);
        Require(display.LineCount() >= 0 && display.LineCount() <= kx::terminal::RxDisplay::kLineBufSize);
        Require(display.HexColumn() >= 0 && display.HexColumn() < kx::terminal::RxDisplay::kHexPerRow);
      }
      break;
    }
  }
  return 0;
}
