#pragma once
// Loading an SH board for a write, as the writer window's set-up and kx7391 both do it:
// the board's boot program (its transfer form and the expected echo) and its firmware
// image, with the "Initial for ..." line between them in the board's order, and the
// loaders' own messages kept as the reason why the board must not be written.
#include <QString>
#include <cstdint>

#include "payload/Loaders.h"
#include "payload/MemoryStream.h"
#include "shboot/BoardSetup.h"
#include "shboot/BootWriter.h"

namespace kx::shboot {

struct BoardLoadResult {
  // The loaders' messages; empty when the payload loaded whole.
  QString bootFault;
  QString firmFault;
  // The image loaded whole but its spare copy could not be written (shown, not a fault).
  QString spareCopyError;
  bool Ready() const { return bootFault.isEmpty() && firmFault.isEmpty(); }
};

// Loads `setup`'s payloads into the streams and logs "Initial for " + caption + "(" +
// firmware + ")" and a " load error! ..." line for each fault. Every message of a
// loader also goes to `messages`. A missing firmware payload raises the loader's error
// with the firmware stream left empty.
BoardLoadResult LoadBoard(const BoardSetup &setup, const QString &caption, MemoryStream &boot, MemoryStream &echo,
                          MemoryStream &firm, const BootWriterLog &log, const MessageSink &messages);

// The number of 128-byte blocks of the image that hold anything but 0xFF: the frames a
// write sends.
int NonBlankBlocks(const MemoryStream &firm);

}  // namespace kx::shboot
