// libFuzzer target for the record handling of both loaders. The first byte picks the
// loader and the image size; the rest is the text. Besides the sanitizers' checks,
// it traps when an image breaks the size rules.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "payload/MemoryStream.h"
#include "payload/SRecord.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace kx::srec;
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
  kx::MemoryStream image;
  switch (mode % 3) {
    case 0:
    case 1: {
      const std::size_t romSize = (mode & 0x80) ? 0x40000 : (mode >> 2) * 16u;
      const LoadResult r = LoadMotText(text, mode % 3 == 0 ? LineRule::Payload : LineRule::File, image, romSize);
      Require(r.error == !r.message.empty());
      Require(image.Size() >= romSize);
      // A record starts at most at 0x3FFFF and carries at most 252 bytes.
      Require(image.Size() <= (romSize > 0x40000 + 252 ? romSize : 0x40000 + 252));
      // Without a record written, even in part, the image is all erased.
      for (std::size_t i = 0; i < romSize && !r.anyData && !r.error; ++i) Require(image.Bytes()[i] == 0xFF);
      break;
    }
    default: {
      const LoadResult r = LoadBootText(text, image);
      Require(r.error == !r.message.empty());
      Require(image.Size() <= 0x1800 + 250);
      kx::MemoryStream echo;
      BootStreamInit(image, image, echo);
      Require(image.Bytes() == echo.Bytes());
      break;
    }
  }
  return 0;
}
