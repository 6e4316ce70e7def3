#include "sim/Options.h"

#include <charconv>

namespace kx::sim {

namespace {

struct FaultName {
  FaultKind kind;
  std::string_view name;
  bool counted;  // takes "@K"
};

constexpr FaultName kFaultNames[] = {
    {FaultKind::NoAdjust, "no-adjust", false},        {FaultKind::EraseError, "erase-error", false},
    {FaultKind::EraseTimeout, "erase-timeout", false}, {FaultKind::BadEcho, "bad-echo", true},
    {FaultKind::NoStart, "no-start", false},          {FaultKind::NoReady, "no-ready", false},
    {FaultKind::WriteError, "write-error", true},      {FaultKind::WriteTimeout, "write-timeout", true},
    {FaultKind::Hangup, "hangup", true},              {FaultKind::Noise, "noise", false},
    {FaultKind::CutAnswer, "cut-answer", true},
};

std::optional<Fault> ParseOne(std::string_view text) {
  const auto at = text.find('@');
  const std::string_view name = text.substr(0, at);
  for (const auto &entry : kFaultNames) {
    if (entry.name != name) continue;
    if (!entry.counted) {
      if (at != std::string_view::npos) return std::nullopt;
      return Fault{entry.kind, 0};
    }
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view digits = text.substr(at + 1);
    int k = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), k);
    if (ec != std::errc() || end != digits.data() + digits.size() || k < 1) return std::nullopt;
    return Fault{entry.kind, k};
  }
  return std::nullopt;
}

}  // namespace

const char *BoardName(Board board) {
  switch (board) {
    case Board::MainBoard: return "MainBoard";
    case Board::Decoder: return "Decoder";
    case Board::Panel: return "Panel";
  }
  return "?";
}

const char *BoardFileStem(Board board) {
  switch (board) {
    case Board::MainBoard: return "mainboard";
    case Board::Decoder: return "decoder";
    case Board::Panel: return "panel";
  }
  return "?";
}

std::optional<BootMode> ParseBootMode(std::string_view text) {
  if (text == "auto") return BootMode::Auto;
  if (text == "mainboard") return BootMode::MainBoard;
  if (text == "decoder") return BootMode::Decoder;
  if (text == "panel") return BootMode::Panel;
  return std::nullopt;
}

std::uint32_t BootRate(Board board) {
  return board == Board::MainBoard ? kMainBoardBootRate : kDecoderPanelBootRate;
}

std::optional<std::vector<Fault>> ParseFaults(std::string_view text) {
  std::vector<Fault> faults;
  for (;;) {
    const auto comma = text.find(',');
    auto fault = ParseOne(text.substr(0, comma));
    if (!fault) return std::nullopt;
    faults.push_back(*fault);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (faults.empty()) return std::nullopt;
  return faults;
}

std::string FaultText(const Fault &fault) {
  for (const auto &entry : kFaultNames) {
    if (entry.kind != fault.kind) continue;
    std::string text(entry.name);
    if (entry.counted) text += "@" + std::to_string(fault.at);
    return text;
  }
  return "?";
}

}  // namespace kx::sim
