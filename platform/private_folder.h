#pragma once
// A folder of the server's user alone, and the files in it, each named by
// its plain name in the folder. Nobody else may write to the folder, so no
// other user can put a file or a link into it; on top of that, a name that
// is a link is never followed, and a new file is made only where no entry
// of that name exists.
//
// Linux: the folder is made 0700, held open, and every call is relative to
// its descriptor (*at calls, O_NOFOLLOW, O_EXCL). Windows: the folder is
// made with an access list for the user and the system account only (and
// an existing one is refused when another may write to it or it is a link),
// files are named by its path in its long form ("\\?\", UTF-8 names, wide
// calls: "NUL" is a file there, not a device), opened without following a
// reparse point, made with CREATE_NEW, and renamed without replacing
// (MoveFileEx).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ferro {

// A system error code: errno on Linux, a Win32 error on Windows.
using FileError = int;
// Its text, for a user.
std::string FileErrorText(FileError error);
// Whether it says that the disk (or the user's quota) is full.
bool IsNoSpace(FileError error);

struct FolderEntry {
  bool regular = false;  // a regular file (not a link, folder or device)
  uint64_t id = 0;       // the file's number on its disk (inode, file index)
  uint64_t size = 0;
  int64_t mtime_ns = 0;  // modification time, since 1970
};

// An open file of the folder.
class FolderFile {
 public:
  FolderFile() = default;
  ~FolderFile();
  FolderFile(FolderFile&& other) noexcept;
  FolderFile& operator=(FolderFile&& other) noexcept;
  FolderFile(const FolderFile&) = delete;
  FolderFile& operator=(const FolderFile&) = delete;

  bool valid() const { return handle_ != kNone; }
  // Writes all of `bytes`: 0, or why not.
  FileError Write(std::string_view bytes);
  // Reads at most `size` bytes: how many (0 at the end), or -1.
  long long Read(char* buf, size_t size);
  // Puts what was written on the disk: 0, or why not.
  FileError Sync();
  std::optional<FolderEntry> Describe() const;
  void Close();

 private:
  friend class PrivateFolder;
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a descriptor, or a HANDLE
};

class PrivateFolder {
 public:
  // Makes the folder at the absolute `path` when missing, and opens it.
  // Null, with `*why` saying why, when it cannot be used: also when it
  // belongs to another user, another may write to it, or it is a link.
  static std::unique_ptr<PrivateFolder> Open(const std::string& path, std::string* why);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // Calls `each` with the name of each entry ("." and ".." too), at most
  // `max_entries` of them; `each` returns false to stop.
  void ForEach(size_t max_entries, const std::function<bool(std::string_view)>& each);
  // The entry `name` as it is (a link is not followed), or nothing when
  // there is none.
  std::optional<FolderEntry> Entry(const std::string& name);
  // A new file `name` (readable and writable by the user only): invalid
  // when an entry of that name exists or it cannot be made.
  FolderFile Create(const std::string& name);
  // The regular file `name` for reading: invalid when it is not one.
  FolderFile OpenForReading(const std::string& name);
  // Gives the file `from` the name `to` (and drops the name `from`),
  // never over an entry that exists: 0, or why not (`*exists` set when
  // `to` exists).
  FileError Rename(const std::string& from, const std::string& to, bool* exists);
  // Removes the entry `name`: 0, or why not.
  FileError Remove(const std::string& name);
  // Bytes free for the user on the folder's disk, when that can be told.
  std::optional<uint64_t> FreeBytes();
  // Puts the folder's names on the disk.
  void Sync();

 private:
  PrivateFolder() = default;
#ifdef _WIN32
  // The full path of the entry `name`, for the wide calls.
  std::wstring Name(const std::string& name) const;
#endif
  std::string path_;
  intptr_t handle_ = -1;  // a descriptor of the folder on Linux
};

}  // namespace ferro
