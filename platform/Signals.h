#pragma once
#include <functional>

namespace kx {

// Runs `onSignal` on the user-interface thread when SIGINT or SIGTERM arrives.
void OnTerminationSignal(std::function<void()> onSignal);

}  // namespace kx
