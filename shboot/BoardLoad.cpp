#include "shboot/BoardLoad.h"

#include <algorithm>
#include <exception>

#include "shboot/BootFrame.h"

namespace kx::shboot {

BoardLoadResult LoadBoard(const BoardSetup &setup, const QString &caption, MemoryStream &boot, MemoryStream &echo,
                          MemoryStream &firm, const BootWriterLog &log, const MessageSink &messages) {
  BoardLoadResult r;
  const auto add = [&log](const QString &text) {
    if (log.add) log.add(text);
  };
  const auto save = [&log] {
    if (log.save) log.save();
  };
  const auto noted = [&messages](QString &fault) {
    return MessageSink([&messages, &fault](const QString &text) {
      fault = text;
      if (messages) messages(text);
    });
  };
  const auto loadBoot = [&] {
    if (!MakeBootStreamFromResource(setup.bootResource, boot, noted(r.bootFault)) && r.bootFault.isEmpty())
      r.bootFault = QStringLiteral("The boot program %1 did not load.").arg(setup.bootResource);
    BootStreamInit(boot, boot, echo);
  };
  if (setup.bootDataBeforeLog) loadBoot();
  add(QStringLiteral("Initial for ") + caption + QStringLiteral("(") + setup.firmwareResource + QStringLiteral(")"));
  save();
  if (!setup.bootDataBeforeLog) loadBoot();
  try {
    if (!MakeMotStreamFromResource(setup.firmwareResource, firm, kRomSize, noted(r.firmFault)) &&
        r.firmFault.isEmpty())
      r.firmFault = QStringLiteral("The firmware %1 did not load.").arg(setup.firmwareResource);
  } catch (const std::exception &e) {
    // Raised over a whole image, the error is the spare copy that could not be written:
    // the image itself is sound. A missing payload leaves the stream empty.
    if (firm.Empty()) throw;
    r.spareCopyError = QString::fromUtf8(e.what());
  }
  for (const QString &fault : {r.bootFault, r.firmFault})
    if (!fault.isEmpty()) add(QStringLiteral(" load error! ") + fault);
  if (!r.Ready()) save();
  return r;
}

int NonBlankBlocks(const MemoryStream &firm) {
  int n = 0;
  const auto &bytes = firm.Bytes();
  const std::size_t end = std::min<std::size_t>(bytes.size(), kFlashSize);
  for (std::size_t a = 0; a + kBlockSize <= end; a += kBlockSize)
    n += std::any_of(bytes.begin() + a, bytes.begin() + a + kBlockSize, [](std::uint8_t b) { return b != 0xFF; });
  return n;
}

}  // namespace kx::shboot
