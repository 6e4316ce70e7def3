#pragma once
// How the four windows reach each other: the links of each window are set here, once,
// when the main window is made. Each link looks the other window up when it is used,
// so the windows may be made in any order (and tests make only some of them).
#include "digidec/UnitDigiDec.h"

class TFormMain;

namespace kx {

void WireWindows(TFormMain &main);
// The DigiDec window's links, given to it when it is made.
TFormDigiDec::Links DigiDecWindowLinks();

}  // namespace kx
