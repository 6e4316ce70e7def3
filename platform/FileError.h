#pragma once
// The platform's file error: raised by file operations that cannot read or write,
// caught by nothing in the windows, shown by the application's error box.
#include <QString>
#include <stdexcept>

namespace kx {

class EFileError : public std::runtime_error {
 public:
  explicit EFileError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

}  // namespace kx
