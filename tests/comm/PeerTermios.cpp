// Reads the line settings through termios2, whose kernel header cannot share a
// file with <termios.h>. On a pseudo-terminal the master reads the slave's settings.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <stdexcept>

#include "tests/comm/PtyPair.h"

namespace kxtest {

PeerLine ReadPeerLine(int fd) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) throw std::runtime_error("TCGETS2 failed");
  PeerLine l;
  l.rate = static_cast<int>(t.c_ospeed);
  switch (t.c_cflag & CSIZE) {
    case CS5: l.charSize = 5; break;
    case CS6: l.charSize = 6; break;
    case CS7: l.charSize = 7; break;
    default: l.charSize = 8; break;
  }
  l.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
  l.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
  l.rtsCts = (t.c_cflag & CRTSCTS) != 0;
  l.xonXoff = (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
  return l;
}

}  // namespace kxtest
