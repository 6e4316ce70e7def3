#pragma once
// The version dialogue as an engine without widgets: the request (CR LF "VR" CR LF
// "VRP" CR LF), its repeats 3, 6 and 9 s after the first, the give-up 3 s after the
// last, and the parser fed with every received byte. The owner opens the port, hands
// the bytes to Receive and acts on the result; the main window shows it, the command
// line prints it.
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>

#include "main/VersionCheck.h"

class TCommX;

namespace kx {

class VersionDialogue : public QObject {
  Q_OBJECT
 public:
  // `fields` are the parser's working fields, kept by the owner.
  VersionDialogue(TCommX &port, VersionCheckFields &fields, VersionCheckLog log, QObject *parent = nullptr);

  // Clears what an earlier check left, runs `openPort` (the owner takes the port its
  // way), sends the first request and starts the repeats.
  void Start(const std::function<void()> &openPort);
  // Ends the repeats (their count back to 0); the owner closes the port.
  void Stop();
  bool Running() const { return timer_->isActive(); }
  // Requests sent after the first.
  int Repeats() const { return repeats_; }
  // One received byte: Complete when the answer is whole (the fields hold it), Retry
  // when the receiver said it is not ready yet.
  VersionLineResult Receive(std::uint8_t byte);
  // The 3 s timer between requests.
  QTimer *Timer() const { return timer_; }

  static constexpr int kRequestIntervalMs = 3000;
  static constexpr int kRepeats = 3;

 signals:
  // No complete answer 3 s after the last repeat.
  void GaveUp();

 private:
  void SendRequest();
  void Timeout();

  TCommX &port_;
  VersionCheckFields &fields_;
  VersionCheckLog log_;
  QTimer *timer_;
  int repeats_ = 0;
};

}  // namespace kx
