#include "payload/MemoryStream.h"

#include <algorithm>
#include <cstring>

namespace kx {

void MemoryStream::Clear() {
  bytes_.clear();
  position_ = 0;
}

void MemoryStream::MakeRoom(std::size_t end) {
  if (end > bytes_.size()) {
    if (position_ > bytes_.size()) bytes_.resize(position_, gapFill_);
    bytes_.resize(end);
  }
}

void MemoryStream::Write(const void *data, std::size_t count) {
  if (count == 0) return;
  MakeRoom(position_ + count);
  std::memcpy(bytes_.data() + position_, data, count);
  position_ += count;
}

void MemoryStream::Fill(std::uint8_t value, std::size_t count) {
  if (count == 0) return;
  MakeRoom(position_ + count);
  std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), count, value);
  position_ += count;
}

std::size_t MemoryStream::Read(void *data, std::size_t count) {
  if (position_ >= bytes_.size()) return 0;
  const std::size_t n = std::min(count, bytes_.size() - position_);
  std::memcpy(data, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

}  // namespace kx
