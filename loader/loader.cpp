// The program the user starts: it records where the product is installed,
// starts the server in the background and the user interface in front, and
// ends at once without waiting for either. It reads no arguments and always
// exits with 0.

#include <cstdio>
#include <string>

#include "platform/process.h"
#include "platform/program_dir.h"

int main() {
  // The program folder with its trailing separator, and its short form
  // (on Linux, where paths have none, the same name).
  std::string folder = ferro::ProgramDirectory();
  if (!folder.empty()) folder += ferro::kPathSeparator;
  const std::string shortFolder = ferro::ShortPath(folder);
  std::printf("long name = %s shortname = %s", folder.c_str(), shortFolder.c_str());
  std::fflush(stdout);

  // For the user interface; skipped silently where the working directory
  // has no cfg folder.
  if (std::FILE* f = std::fopen("./cfg/path.txt", "w+")) {
    std::fputs(shortFolder.c_str(), f);
    std::fclose(f);
  }

  // Both names are taken from the working directory; a program that is not
  // there is skipped.
  ferro::RunProgram("./Ferrolink", {}, ferro::ShowMode::kHidden, 0);
  ferro::RunProgram("./Ferroview", {}, ferro::ShowMode::kShown, 0);
  return 0;
}
