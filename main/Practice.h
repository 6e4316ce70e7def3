#pragma once
// Practice without a receiver: the updater starts the receiver simulator on a port
// directory of its own, works in a folder of its own so that practice logs never mix
// with real ones, and ends the simulator when it ends.
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace kx {

// The folder the menu's updater works in, so that a person finds its logs again:
// ~/KX7391Updater.
QString HomeWorkFolder();
// The practice's working folder: ~/KX7391Updater/practice.
QString PracticeWorkFolder();
// What the main window's caption gets in practice.
QString PracticeCaptionSuffix();

// Makes folder (with its parents) and makes it the working directory; throws EFileError.
void WorkIn(const QString &folder);

class Practice {
 public:
  // The port number the simulator publishes: above any real port's, so that the COM
  // search, which selects the last port, selects it.
  static constexpr int kComNumber = 99;

  Practice();
  // Ends the simulator.
  ~Practice();
  Practice(const Practice &) = delete;
  Practice &operator=(const Practice &) = delete;

  // Starts the simulator on a private port directory and points this process's port
  // search at it; throws EFileError with a message for the user when it cannot.
  void Start();
  QString PortDirectory() const { return ports_->path(); }
  // "COM99 /dev/pts/k", as the simulator announced itself.
  QString Announcement() const { return announcement_; }

  // The simulator: $KX7391_SIM, else kx7391-sim beside the updater or in the
  // installation's bin/, else on PATH.
  static QString SimulatorProgram();

 private:
  std::unique_ptr<QTemporaryDir> ports_;
  QProcess sim_;
  QString announcement_;
};

}  // namespace kx
