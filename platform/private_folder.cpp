// What both systems' private folders share: a file handle that moves and
// closes itself (Close is each system's own).
#include "platform/private_folder.h"

namespace ferro {

FolderFile::~FolderFile() { Close(); }
FolderFile::FolderFile(FolderFile&& other) noexcept : handle_(other.handle_) {
  other.handle_ = kNone;
}
FolderFile& FolderFile::operator=(FolderFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kNone;
  }
  return *this;
}

}  // namespace ferro
