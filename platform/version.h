#pragma once

namespace ferro {
// Version of the programs, for logs and --version style output.
const char* VersionText();
}  // namespace ferro
