#include "platform/Signals.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kx {

namespace {
int g_pipe[2] = {-1, -1};

void Handler(int) {
  const char c = 1;
  // Only async-signal-safe work here; a full pipe already has a wake-up pending.
  [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &c, 1);
}
}  // namespace

void OnTerminationSignal(std::function<void()> onSignal) {
  if (g_pipe[0] < 0) {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  }
  auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignal] {
    char buf[16];
    while (::read(g_pipe[0], buf, sizeof buf) > 0) {
    }
    onSignal();
  });
  struct sigaction sa {};
  sa.sa_handler = Handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace kx
