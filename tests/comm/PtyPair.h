#pragma once
// Serial peers for the tests: a pseudo-terminal pair made in the test, a port
// directory of the test's own, and the line settings as the peer sees them.
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <vector>

namespace kxtest {

// openpty: the component opens the slave by its path; the test talks on the master.
// The test keeps its own slave descriptor open so that the pair outlives the port.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

  int master() const { return master_; }
  // Closes the master side (and the test's own slave descriptor): the slave hangs up,
  // as a serial line does when its USB adapter is unplugged.
  void HangUp();
  QString slavePath() const { return slavePath_; }

  void Write(const QByteArray &bytes);
  // Reads until `n` bytes came or `timeoutMs` passed without a byte.
  QByteArray Read(int n, int timeoutMs = 5000);
  // What waits now, without waiting.
  QByteArray ReadAvailable();

 private:
  int master_ = -1;
  int slave_ = -1;
  QString slavePath_;
};

// Reads and writes an already open descriptor (a socat end, for example).
void WriteAll(int fd, const QByteArray &bytes);
QByteArray ReadFrom(int fd, int n, int timeoutMs = 5000);
// Opens a tty raw and non-blocking, or returns -1.
int OpenRaw(const QString &path);

// The settings of the line as read on the peer's side.
struct PeerLine {
  int rate = 0;
  int charSize = 0;
  char parity = 'N';  // 'N', 'O' or 'E'
  int stopBits = 1;
  bool rtsCts = false;
  bool xonXoff = false;
};
PeerLine ReadPeerLine(int fd);

// A port directory made for the test and installed as KX7391_PORT_DIR for its life,
// with empty stand-ins for /dev and /sys so that the machine's own ports stay out.
class ScopedPortDir {
 public:
  ScopedPortDir();
  ~ScopedPortDir();
  QString path() const { return dir_.filePath(QStringLiteral("ports")); }
  void Link(int portNo, const QString &target);

 private:
  QTemporaryDir dir_;
  struct Saved {
    const char *name;
    QByteArray value;
    bool set;
  };
  std::vector<Saved> saved_;
};

}  // namespace kxtest
