#pragma once
// Port names "COMn" on Linux. A port is found first in the port directory (symbolic
// links named COMn), then by the fixed scheme /dev/ttyS<k> = COM(k+1),
// /dev/ttyUSB<k> = COM(k+33), /dev/ttyACM<k> = COM(k+65), for k below 32.
#include <QString>
#include <optional>
#include <vector>

namespace kx::serial {

// Where each lookup looks. Tests point these at directories of their own.
struct PortRoots {
  QString portDir;
  QString devDir = QStringLiteral("/dev");
  QString sysTtyDir = QStringLiteral("/sys/class/tty");

  // The port directory: $KX7391_PORT_DIR, else $XDG_RUNTIME_DIR/kx7391/ports,
  // else ~/.cache/kx7391/ports.
  static PortRoots FromEnvironment();
};

// The device path that COMn opens, or an empty string when no name fits.
// A port-directory link is returned as the link itself, so opening follows it.
QString DevicePath(int portNo, const PortRoots &roots = PortRoots::FromEnvironment());

struct PortEntry {
  int portNo;
  QString portName;  // "COMn"
  QString device;    // the device path shown to the user
};

// Every port present, in ascending port number: each live link of the port
// directory, and each device of the fixed scheme backed by hardware (a legacy
// ttyS without a UART is left out). A port directory that is missing counts as
// empty; one that exists but cannot be read gives nullopt.
std::optional<std::vector<PortEntry>> ListPorts(const PortRoots &roots = PortRoots::FromEnvironment());

}  // namespace kx::serial
