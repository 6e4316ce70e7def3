#pragma once
// A growable in-memory byte stream with a current position: the form in which the
// writer keeps its boot data and firmware image. Plain C++ so that the record
// handling built on it can also run without Qt (the fuzz target does).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx {

class MemoryStream {
 public:
  // Drops every byte; the position returns to 0.
  void Clear();

  std::size_t Size() const { return bytes_.size(); }
  bool Empty() const { return bytes_.empty(); }
  std::size_t Position() const { return position_; }

  // Moves the position anywhere, also past the end; nothing is written until a
  // write, which fills the bytes in between with `gapFill`.
  void Seek(std::size_t position) { position_ = position; }

  // Writes at the position (overwriting or extending) and advances it.
  void Write(const void *data, std::size_t count);
  void WriteByte(std::uint8_t value) { Write(&value, 1); }
  // Appends `count` copies of `value` at the position.
  void Fill(std::uint8_t value, std::size_t count);

  // Reads up to `count` bytes from the position and advances it; returns how many.
  std::size_t Read(void *data, std::size_t count);
  // The byte at the position, advancing it; false at the end.
  bool ReadByte(std::uint8_t &value) { return Read(&value, 1) == 1; }

  // Value of the bytes that a write past the end skips over.
  void SetGapFill(std::uint8_t value) { gapFill_ = value; }

  const std::vector<std::uint8_t> &Bytes() const { return bytes_; }
  const std::uint8_t *Data() const { return bytes_.data(); }

 private:
  void MakeRoom(std::size_t end);

  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
  std::uint8_t gapFill_ = 0x00;
};

}  // namespace kx
