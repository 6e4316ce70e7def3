#include "main/VersionDialogue.h"

#include <cstring>

#include "comm/CommX.h"

namespace kx {

VersionDialogue::VersionDialogue(TCommX &port, VersionCheckFields &fields, VersionCheckLog log, QObject *parent)
    : QObject(parent), port_(port), fields_(fields), log_(std::move(log)), timer_(new QTimer(this)) {
  timer_->setInterval(kRequestIntervalMs);
  // A coarse timer may fire up to 5 % early; the repeats and the give-up count from it.
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &VersionDialogue::Timeout);
}

void VersionDialogue::Start(const std::function<void()> &openPort) {
  StartVersionCheck(fields_);
  if (openPort) openPort();
  repeats_ = 0;
  timer_->start();
  SendRequest();
}

void VersionDialogue::Stop() {
  timer_->stop();
  repeats_ = 0;
}

VersionLineResult VersionDialogue::Receive(std::uint8_t byte) { return FeedVersionByte(fields_, byte, log_); }

void VersionDialogue::SendRequest() {
  for (const char *part : {"\r\n", "VR", "\r\n", "VRP", "\r\n"}) port_.TransBlock(part, int(std::strlen(part)));
}

void VersionDialogue::Timeout() {
  timer_->stop();
  repeats_ += 1;
  if (repeats_ <= kRepeats) {
    SendRequest();
    timer_->start();
    return;
  }
  emit GaveUp();
}

}  // namespace kx
