// The licence as the programs' --version states it, after the name and version.
#pragma once

#define KX_LICENCE_NOTICE                                                              \
  "Copyright 2025-2026 The KX7391Updater developers\n"                                \
  "Licence GPL-2.0-or-later: the GNU General Public License, version 2 or (at your\n" \
  "option) any later version. This is free software: you may change and share it.\n" \
  "There is NO WARRANTY, to the extent permitted by law."
