#pragma once
// The desktop's "save as" dialog, shown on behalf of the user interface.

#include <string>

namespace ferro {

struct SaveDialogRequest {
  std::string ownerTitle;   // the dialog belongs to the top-level window of this title, if any
  std::string filterName;   // e.g. "config File (*.cfg)"
  std::string pattern;      // e.g. "*.cfg"
  std::string initialName;  // the name field's starting text
};

struct SaveDialogResult {
  bool confirmed = false;
  std::string path;    // the chosen file when confirmed, in the file system's encoding
  std::string reason;  // why there was no dialog at all (empty when the user decided)
};

// Shows the dialog and waits until the user confirms a name (asked again
// before an existing file is replaced) or cancels it. Without a desktop to
// show it on, the result is "not confirmed" with a reason.
SaveDialogResult AskSaveFileName(const SaveDialogRequest& request);

}  // namespace ferro
