// Version string shared by the programs.
#include "platform/version.h"

namespace ferro {
const char* VersionText() { return "1.0.0"; }
}  // namespace ferro
