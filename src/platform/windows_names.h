// The names Windows cannot hold in a folder: the characters it forbids, a
// trailing dot or space (which it drops), and the device names (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9 and the console's CONIN$ and CONOUT$), which
// name a device whatever extension follows.  Plain rules on UTF-8 names, so
// that they are the same (and tested) on every build.
#pragma once

#include <string>

// Writes as "_" in `name` every character Windows forbids in a name (the
// controls and \ / : * ? " < > |) and a trailing dot or space, and adds "_"
// after a device name ("CON.txt" becomes "CON_.txt").  True when changed.
bool mend_windows_name(std::string* name);
