#pragma once
// Updaters started in the same place (one per receiver at a bench) share the writer
// tool's folder. While a run is in progress its updater holds this lock on that folder,
// so that another updater neither moves the running tool's log away at its start nor
// starts a second tool on the same board.
#include <QString>

namespace kx::digidec {

class RunLock {
 public:
  RunLock() = default;
  RunLock(const RunLock &) = delete;
  RunLock &operator=(const RunLock &) = delete;
  ~RunLock() { Release(); }

  // Takes the lock on the folder without waiting; false only when another run holds it.
  // A folder that cannot be opened is no one's run: true, with nothing held (starting
  // the tool there fails on its own).
  bool TryAcquire(const QString &folder);
  void Release();
  bool Held() const { return fd_ >= 0; }

  // Whether a run elsewhere holds the folder now.
  static bool HeldElsewhere(const QString &folder);

 private:
  int fd_ = -1;
};

}  // namespace kx::digidec
