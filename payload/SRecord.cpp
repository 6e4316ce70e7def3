#include "payload/SRecord.h"

#include <string>
#include <vector>

namespace kx::srec {

namespace {

// Part of `text` from `pos` (0-based), at most `count` characters; empty past the end.
std::string_view Mid(std::string_view text, std::size_t pos,
                     std::size_t count = std::string_view::npos) {
  if (pos >= text.size()) return {};
  return text.substr(pos, count);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Positions the image at `offset`, so that the next write lands there.
void SeekTo(MemoryStream &image, std::size_t offset) {
  image.SetGapFill(0xFF);
  image.Seek(offset);
}

// Writes the n data bytes of a record's data part at the image's position.
bool WriteData(std::string_view data, std::int32_t n, MemoryStream &image) {
  for (std::int32_t i = 0; i < n; ++i) {
    const auto value = HexField(Mid(data, 2 * static_cast<std::size_t>(i), 2));
    if (!value) return false;
    image.WriteByte(static_cast<std::uint8_t>(*value & 0xFF));
  }
  return true;
}

RecordResult Error(Outcome outcome, std::string message) {
  return RecordResult{outcome, std::move(message)};
}

}  // namespace

std::optional<std::int32_t> HexField(std::string_view field) {
  if (field.empty() || field.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : field) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return static_cast<std::int32_t>(value);
}

std::string_view NextPayloadLine(std::string_view text, std::size_t &pos) {
  const std::string_view window = Mid(text, pos, kPayloadLookAhead);
  const std::size_t end = window.find("\r\n");
  if (end == std::string_view::npos) {
    pos += window.size();
    return window;
  }
  pos += end + 2;
  return window.substr(0, end);
}

std::string ReadMotLine(std::string_view text, std::size_t &pos) {
  std::string line;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c == '\n') break;
    if (c != '\r') line.push_back(c);
  }
  return line;
}

RecordResult HandleMotRecord(std::string_view line, MemoryStream &image) {
  if (line.size() < 2 || line[0] != 'S') return {};
  std::size_t addressDigits = 0;
  switch (line[1]) {
    case '1': addressDigits = 4; break;
    case '2': addressDigits = 6; break;
    case '3': addressDigits = 8; break;
    default: return {};
  }
  const std::string_view countField = Mid(line, 2, 2);
  const std::string_view addressField = Mid(line, 4, addressDigits);
  const std::string_view data = Mid(line, 4 + addressDigits);

  const std::int32_t count = HexField(countField).value_or(0);
  const std::int32_t n = count - static_cast<std::int32_t>(addressDigits / 2 + 1);
  if (n <= 0)
    return Error(Outcome::LengthError,
                 FormatMessage(kMsgIllegalLength, {std::to_string(count), data}));

  const std::int32_t address = HexField(addressField).value_or(-1);
  if (address < 0 || address > kMaxFirmwareAddress)
    return Error(Outcome::AddressError, FormatMessage(kMsgIllegalAddress, {addressField, data}));

  SeekTo(image, static_cast<std::size_t>(address));
  if (!WriteData(data, n, image))
    return Error(Outcome::NotHexError, FormatMessage(kMsgIllegalHex, {data}));
  return RecordResult{Outcome::Loaded, {}};
}

RecordResult HandleBootRecord(std::string_view line, MemoryStream &image) {
  if (line.size() < 2 || line[0] != 'S' || line[1] != '3') return {};
  const std::string_view countField = Mid(line, 2, 2);
  const std::string_view addressField = Mid(line, 4, 8);
  const std::string_view data = Mid(line, 12);

  const auto address = static_cast<std::uint32_t>(HexField(addressField).value_or(0));
  const std::int32_t count = HexField(countField).value_or(0);
  const std::int32_t n = count - 5;
  if (n <= 0)
    return Error(Outcome::LengthError,
                 FormatMessage(kMsgIllegalLength, {std::to_string(count), data}));
  if (address < kBootWindowStart) return {};

  SeekTo(image, address - kBootWindowStart);
  if (!WriteData(data, n, image))
    return Error(Outcome::NotHexError, FormatMessage(kMsgIllegalHex, {data}));
  return RecordResult{Outcome::Loaded, {}};
}

namespace {

template <typename Handle>
LoadResult LoadLines(std::string_view text, LineRule rule, Handle handle) {
  LoadResult result;
  std::size_t pos = 0;
  std::string fileLine;
  while (pos < text.size()) {
    std::string_view line;
    if (rule == LineRule::Payload) {
      line = NextPayloadLine(text, pos);
    } else {
      fileLine = ReadMotLine(text, pos);
      line = fileLine;
    }
    RecordResult r = handle(line);
    if (r.IsError()) {
      result.error = true;
      result.message = std::move(r.message);
      return result;
    }
    if (r.outcome == Outcome::Loaded) result.anyData = true;
  }
  return result;
}

}  // namespace

LoadResult LoadMotText(std::string_view text, LineRule rule, MemoryStream &image,
                       std::size_t romSize) {
  image.Clear();
  image.Fill(0xFF, romSize);
  return LoadLines(text, rule, [&image](std::string_view line) {
    return HandleMotRecord(line, image);
  });
}

LoadResult LoadBootText(std::string_view text, MemoryStream &image) {
  image.Clear();
  return LoadLines(text, LineRule::Payload, [&image](std::string_view line) {
    return HandleBootRecord(line, image);
  });
}

void BootStreamInit(const MemoryStream &program, MemoryStream &bootStream,
                    MemoryStream &bootEchoStream) {
  if (program.Empty()) return;
  // `program` may be one of the outputs: copy it before they are emptied.
  const std::vector<std::uint8_t> scratch = program.Bytes();
  const std::size_t n = scratch.size();
  const std::uint8_t length[2] = {static_cast<std::uint8_t>((n >> 8) & 0xFF),
                                  static_cast<std::uint8_t>(n & 0xFF)};
  for (MemoryStream *s : {&bootStream, &bootEchoStream}) {
    s->Clear();
    s->Write(length, 2);
    s->Write(scratch.data(), n);
  }
}

std::string FormatMessage(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() &&
        (format[i + 1] == 'd' || format[i + 1] == 's') && next != args.end()) {
      out.append(*next++);
      ++i;
    } else {
      out.push_back(format[i]);
    }
  }
  return out;
}

}  // namespace kx::srec
