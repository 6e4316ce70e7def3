#pragma once
// The serial device on Linux: a tty opened for exclusive use and driven through
// termios2, so that rates outside the standard table can be set too.
#include <memory>
#include <string>

#include "platform/serial/SerialDevice.h"

namespace kx::serial {

// Opens the tty at `path` non-blocking, for this process alone: TIOCEXCL keeps
// other openers out (root excepted) and an advisory flock stops any program that
// locks its port, root included. Returns null, with the reason in *error, when
// the device is absent, not a tty, or in use.
std::unique_ptr<Device> OpenTermios(const std::string &path, std::string *error = nullptr);

}  // namespace kx::serial
