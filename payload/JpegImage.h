#pragma once
// JPEG decoding with libjpeg itself, for the pictures the writer window shows.
#include <QByteArray>
#include <QImage>
#include <stdexcept>
#include <string>

namespace kx {

// A JPEG stream libjpeg could not decode; the text is the library's own message.
class EJpegError : public std::runtime_error {
 public:
  explicit EJpegError(const std::string &message) : std::runtime_error(message) {}
};

// Decodes a whole JPEG stream into a 24-bit RGB image of the picture's size.
QImage DecodeJpeg(const QByteArray &jpeg);

}  // namespace kx
