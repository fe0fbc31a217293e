// The save dialog on an X11 desktop: zenity's file chooser, made transient
// for the owner window found by its title.

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/save_dialog.h"

namespace ferro {
namespace {

// Enough for any path the file system takes, and a little over.
constexpr size_t kDialogOutputLimit = 8192;

// Escapes every character that POSIX extended regular expressions treat
// specially, so that a title matches only itself.
std::string RegexLiteral(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// The id of a window with that title (the first one the display lists), or
// empty when none exists or it cannot be asked. A browser shows a page's
// title followed by " - " or " — " and its own name, so that counts too.
std::string FindWindowByTitle(const std::string& title) {
  if (title.empty() || !FindOnSearchPath("xdotool")) return {};
  const std::string pattern = "^" + RegexLiteral(title) + "(( - | \u2014 ).*)?$";
  const CapturedRun run =
      RunCaptured({"xdotool", "search", "--limit", "1", "--name", pattern}, 256);
  if (!run.started || run.exitCode != 0) return {};
  std::string id = run.output.substr(0, run.output.find('\n'));
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) return {};
  return id;
}

// ": " and the last line zenity wrote to standard error, if any.
std::string LastLine(const std::string& text) {
  const size_t end = text.find_last_not_of("\n");
  if (end == std::string::npos) return {};
  const size_t start = text.rfind('\n', end);
  return ": " + text.substr(start == std::string::npos ? 0 : start + 1,
                            end - (start == std::string::npos ? 0 : start + 1) + 1);
}

}  // namespace

SaveDialogResult AskSaveFileName(const SaveDialogRequest& request) {
  SaveDialogResult result;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    result.reason = "no display to show the save dialog on (DISPLAY is not set)";
    return result;
  }
  if (!FindOnSearchPath("zenity")) {
    result.reason = "zenity is not installed, so no save dialog can be shown";
    return result;
  }
  std::vector<std::string> argv = {"zenity",
                                   "--file-selection",
                                   "--save",
                                   "--confirm-overwrite",
                                   "--modal",
                                   "--title=Save As",
                                   "--filename=" + request.initialName,
                                   "--file-filter=" + request.filterName + " | " + request.pattern};
  const std::string owner = FindWindowByTitle(request.ownerTitle);
  if (!owner.empty()) argv.push_back("--attach=" + owner);

  const CapturedRun run = RunCaptured(argv, kDialogOutputLimit);
  if (!run.started) {
    result.reason = "zenity could not be started";
    return result;
  }
  // 0: a name was chosen; 1: cancelled or closed, or (with its complaint on
  // standard error) no display to open; anything else: zenity failed.
  if (run.exitCode != 0) {
    if (run.errors.find("annot open display") != std::string::npos) {
      result.reason = "the display " + std::string(display) + " cannot be opened";
    } else if (run.exitCode != 1) {
      result.reason =
          "zenity ended with code " + std::to_string(run.exitCode) + LastLine(run.errors);
    }
    return result;
  }
  std::string path = run.output;
  if (!path.empty() && path.back() == '\n') path.pop_back();
  if (path.empty() || path.find('\n') != std::string::npos ||
      run.output.size() >= kDialogOutputLimit) {
    result.reason = "zenity gave no usable file name";
    return result;
  }
  result.confirmed = true;
  result.path = std::move(path);
  return result;
}

}  // namespace ferro
