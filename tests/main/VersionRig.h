#pragma once
// The updater's windows, made once per test process, with a port directory of their
// own: what the version check's end-to-end tests drive.
#include <QString>
#include <QStringList>
#include <memory>

#include "sim/Receiver.h"

namespace vctest {

inline constexpr int kPort = 9;

// FormMain (with FormCreate), FormTerminal, FormSHBoot and FormDigiDec, once.
void EnsureWindows();
// The port directory the windows search.
QString PortDir();
// A receiver published as COM<kPort>.
std::unique_ptr<kx::sim::Receiver> StartReceiver(kx::sim::Options opt = {});
// Main-log lines from index `mark` on, without their stamps.
QStringList LogSince(qsizetype mark);
qsizetype LogMark();

}  // namespace vctest
