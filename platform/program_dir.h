#pragma once

#include <string>

namespace ferro {

// The folder that holds the running executable, without a trailing
// separator. Empty when the system cannot tell.
std::string ProgramDirectory();

}  // namespace ferro
