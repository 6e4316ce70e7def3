#pragma once
// The record handling of the firmware image loader and the boot program loader,
// free of Qt: text in (single-byte characters), image bytes and message text out.
// The Qt layer in Loaders.h adds payloads, files and message boxes around it.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "payload/MemoryStream.h"

namespace kx::srec {

// Highest start address a firmware record may have. Fixed, whatever the image size.
inline constexpr std::int32_t kMaxFirmwareAddress = 0x3FFFF;
// The chip's RAM window in which a boot program lies.
inline constexpr std::uint32_t kBootWindowStart = 0xFFFFE800u;
// A payload line is looked for in at most this many characters.
inline constexpr std::size_t kPayloadLookAhead = 500;

// Message texts, with printf-style fillings (%d decimal, %s text).
inline constexpr const char *kMsgNotFoundFirmwareFile = "Not Found Firmware File [%s]";
inline constexpr const char *kMsgIllegalLength = "Illegal S Format (length:%d) [%s]";
inline constexpr const char *kMsgIllegalAddress = "Illegal S Format (adrs %s) [%s]";
inline constexpr const char *kMsgIllegalHex = "Illegal S Format (not HEX char.) [%s]";

// A field of one to eight hex digits (either case), read as a 32-bit two's-complement
// number; nothing for an empty field, a longer one or any other character.
std::optional<std::int32_t> HexField(std::string_view field);

// Next line by the payload rule: only CR LF ends a line, and at most kPayloadLookAhead
// characters are looked at; without a CR LF among them they form the line and nothing
// more is consumed. Call while pos < text.size().
std::string_view NextPayloadLine(std::string_view text, std::size_t &pos);

// Next line by the file rule: LF ends a line, every CR is dropped, the end of the
// text ends the last line. Call while pos < text.size().
std::string ReadMotLine(std::string_view text, std::size_t &pos);

enum class Outcome {
  Skipped,      // not a record this loader takes
  Loaded,       // every data byte written
  LengthError,  // data length zero or negative
  AddressError, // start address invalid or out of range (firmware only)
  NotHexError,  // a data byte that is not hex
};

struct RecordResult {
  Outcome outcome = Outcome::Skipped;
  std::string message;  // filled for the three errors
  bool IsError() const {
    return outcome != Outcome::Skipped && outcome != Outcome::Loaded;
  }
};

// One line of a firmware image: S1, S2 and S3 records write into `image` at their
// address; bytes skipped over by a write past the image's end read 0xFF.
RecordResult HandleMotRecord(std::string_view line, MemoryStream &image);

// One line of a boot program: S3 records inside the RAM window write at their offset
// in it; all else is skipped. Bytes that no record writes (gaps) read 0xFF.
RecordResult HandleBootRecord(std::string_view line, MemoryStream &image);

enum class LineRule { Payload, File };

struct LoadResult {
  bool error = false;     // a record was refused; the load stopped there
  bool anyData = false;   // at least one record was written completely
  std::string message;    // the refusal's text when error
};

// Empties `image`, writes romSize bytes of 0xFF, then handles every line of `text`
// until the end or the first error.
LoadResult LoadMotText(std::string_view text, LineRule rule, MemoryStream &image,
                       std::size_t romSize);

// Empties `image`, then builds the boot program image from the payload text.
LoadResult LoadBootText(std::string_view text, MemoryStream &image);

// The boot program's transfer form: its length as two bytes, high byte first, then
// the program. Does nothing for an empty program. `program` may be either output.
void BootStreamInit(const MemoryStream &program, MemoryStream &bootStream,
                    MemoryStream &bootEchoStream);

// Fills a message text: each %d or %s takes the next argument, already as text.
std::string FormatMessage(std::string_view format, std::initializer_list<std::string_view> args);

}  // namespace kx::srec
