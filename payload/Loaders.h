#pragma once
// The loaders the writer window calls during its board set-up and from its hidden
// file button: firmware images from payloads or files, the boot program's transfer
// form, and the switch pictures. No widgets here: messages go to a sink the caller
// gives (in the windows kx::MessageBox, see MessageBoxSink in platform/Dialogs.h).
#include <QImage>
#include <QString>
#include <functional>

#include "payload/MemoryStream.h"


namespace kx {

// Size of the flash image every caller asks for.
inline constexpr int kRomSize = 0x40000;
// File the firmware image is saved to after a payload load without error.
inline constexpr const char *kImageCopyFileName = "memmem.mem";
// Refusal of a firmware file that does not match the MainBoard's block variant.
inline constexpr const char *kMsgIllegalOperation = "ILLEGAL OPERATION !";

// Receives the text of each message meant for the user.
using MessageSink = std::function<void(const QString &text)>;

// Loads the firmware payload `ResID` into `MStream` as a flat image of RomSize bytes
// (0xFF where no record gives data; a record starting below 0x40000 may extend it).
// A refused record is reported through `message` and ends the load, leaving the
// image as far as it got. After a load without error the image is also written to
// "memmem.mem" in the working directory. Returns true when it loaded without error.
// A missing payload or a failure to write the copy raises kx::EFileError.
bool MakeMotStreamFromResource(const QString &ResID, MemoryStream &MStream, int RomSize,
                               const MessageSink &message);

// Loads the firmware file at `FNStr` (lines end with LF, every CR dropped) into
// `MStream`. True when at least one data record was loaded and none was refused.
// A missing file gives "Not Found Firmware File [path]" and leaves MStream empty;
// a file that exists but cannot be read raises kx::EFileError.
bool MakeMotStream(const QString &FNStr, MemoryStream &MStream, int RomSize,
                   const MessageSink &message);

// Builds the boot program image of payload `ResID` in `MStream` from its S3 records
// in the RAM window 0xFFFFE800... (gap bytes read 0xFF). Returns true when no record
// was refused; a refusal is reported through `message` and leaves the partial image.
// A missing payload raises kx::EFileError.
bool MakeBootStreamFromResource(const QString &ResID, MemoryStream &MStream,
                                const MessageSink &message);

// Fills BootStream and BootEchoStream with the transfer form of the program in
// MotStream (length high byte, low byte, program), both left positioned at their end.
// An empty MotStream leaves both as they are. MotStream may be BootStream itself.
void BootStreamInit(const MemoryStream &MotStream, MemoryStream &BootStream,
                    MemoryStream &BootEchoStream);

// Decodes the JPEG payload `ResID` with libjpeg into an RGB image. A missing payload
// raises kx::EFileError, an undecodable one kx::EJpegError.
QImage JpgImageFromResource(const QString &ResID);

// The file name check behind the writer's hidden file button: true when the first
// ".mot" of the path follows a "B" that does not itself follow a digit (403AB.mot).
bool IsBlockVariantFileName(const QString &path);

// Whether the file button must refuse `path` with "ILLEGAL OPERATION !": only for the
// MainBoard (board 0) while the main window's BlockVersion is exactly 1.
bool MotFileChoiceRefused(const QString &path, int board, int blockVersion);

}  // namespace kx
