// The private folder on Windows. There is no handle-relative open in the
// Win32 calls, so files are named by the folder's path: that is safe while
// nobody else may write to the folder, which Open makes sure of (an access
// list that lets only the server's user, the system account and the
// administrators write, and no reparse point).
#include <winsock2.h>
// After winsock2.h.
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/private_folder.h"

namespace ferro {
namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// The long form of an absolute path ("\\?\C:\..."): taken as it stands,
// so that a name such as "NUL" or "CON.bin" is a file in the folder and
// not a device.
std::wstring LongPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (path.rfind("\\\\?\\", 0) == 0) return Wide(path);
  if (path.rfind("\\\\", 0) == 0) return L"\\\\?\\UNC\\" + Wide(path.substr(2));
  return L"\\\\?\\" + Wide(path);
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

FolderEntry EntryOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FolderEntry e;
  e.regular = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                        FILE_ATTRIBUTE_DEVICE)) == 0;
  e.id = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  e.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  // 100 ns units since 1601.
  const uint64_t t = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                     info.ftLastWriteTime.dwLowDateTime;
  e.mtime_ns = (static_cast<int64_t>(t) - 116444736000000000LL) * 100;
  return e;
}

std::optional<FolderEntry> Describe(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
  return EntryOf(info);
}

// The access token's user and default owner of this process.
struct ProcessSids {
  std::vector<BYTE> user, owner;
};
ProcessSids OwnSids() {
  ProcessSids out;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return out;
  auto read = [token](TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> buf(size);
    if (size == 0 || !GetTokenInformation(token, kind, buf.data(), size, &size)) buf.clear();
    return buf;
  };
  const std::vector<BYTE> user = read(TokenUser);
  const std::vector<BYTE> owner = read(TokenOwner);
  CloseHandle(token);
  auto copy = [](PSID sid) {
    std::vector<BYTE> bytes(GetLengthSid(sid));
    CopySid(static_cast<DWORD>(bytes.size()), bytes.data(), sid);
    return bytes;
  };
  if (!user.empty()) out.user = copy(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
  if (!owner.empty()) {
    out.owner = copy(reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner);
  }
  return out;
}

bool SameSid(const std::vector<BYTE>& a, PSID b) {
  return !a.empty() && EqualSid(const_cast<BYTE*>(a.data()), b);
}

// Why the folder's owner and access list let someone else write to it, or
// nothing when they do not.
std::optional<std::string> AccessRefusal(HANDLE folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    return "its owner and access list cannot be read";
  }
  const ProcessSids own = OwnSids();
  std::optional<std::string> refusal;
  if (owner == nullptr || !(SameSid(own.user, owner) || SameSid(own.owner, owner))) {
    refusal = "it must belong to the server's user";
  } else if (dacl == nullptr) {
    refusal = "it has no access list: everybody may write to it";
  } else {
    constexpr ACCESS_MASK kWrites = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount && !refusal; ++i) {
      void* ace = nullptr;
      if (!GetAce(dacl, i, &ace)) continue;
      const auto* header = static_cast<const ACE_HEADER*>(ace);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      if (header->AceFlags & INHERIT_ONLY_ACE) continue;
      const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
      if ((allowed->Mask & kWrites) == 0) continue;
      PSID sid = const_cast<DWORD*>(&allowed->SidStart);
      if (SameSid(own.user, sid) || SameSid(own.owner, sid) ||
          IsWellKnownSid(sid, WinLocalSystemSid) ||
          IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
          IsWellKnownSid(sid, WinCreatorOwnerSid)) {
        continue;
      }
      refusal = "it must be writable by nobody but the server's user";
    }
  }
  LocalFree(sd);
  return refusal;
}

std::string SidText(const std::vector<BYTE>& sid) {
  char* text = nullptr;
  if (sid.empty() || !ConvertSidToStringSidA(const_cast<BYTE*>(sid.data()), &text)) return {};
  std::string out = text;
  LocalFree(text);
  return out;
}

// Makes the folder with an access list that lets only the user and the
// system account in (and is not inherited from the folder above).
bool MakeFolder(const std::wstring& path) {
  const std::string user = SidText(OwnSids().user);
  if (user.empty()) return false;
  const std::string sddl = "D:P(A;OICI;FA;;;" + user + ")(A;OICI;FA;;;SY)";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  const BOOL made = CreateDirectoryW(path.c_str(), &sa);
  const DWORD error = GetLastError();
  LocalFree(sd);
  SetLastError(error);
  return made != FALSE;
}

}  // namespace

std::wstring PrivateFolder::Name(const std::string& name) const {
  return LongPath(path_ + "\\" + name);
}

std::string FileErrorText(FileError error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  return out.empty() ? "error " + std::to_string(error) : out;
}

bool IsNoSpace(FileError error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

void FolderFile::Close() {
  if (handle_ != kNone) CloseHandle(AsHandle(handle_));
  handle_ = kNone;
}

FileError FolderFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), bytes.data(), piece, &written, nullptr)) {
      return static_cast<FileError>(GetLastError());
    }
    if (written == 0) return ERROR_WRITE_FAULT;
    bytes.remove_prefix(written);
  }
  return 0;
}

long long FolderFile::Read(char* buf, size_t size) {
  DWORD got = 0;
  if (!ReadFile(AsHandle(handle_), buf, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &got,
                nullptr)) {
    return -1;
  }
  return got;
}

FileError FolderFile::Sync() {
  return FlushFileBuffers(AsHandle(handle_)) ? 0 : static_cast<FileError>(GetLastError());
}

std::optional<FolderEntry> FolderFile::Describe() const {
  return ferro::Describe(AsHandle(handle_));
}

std::unique_ptr<PrivateFolder> PrivateFolder::Open(const std::string& path, std::string* why) {
  const std::wstring wide = LongPath(path);
  if (Wide(path).empty()) {
    *why = "its path is not valid UTF-8";
    return nullptr;
  }
  if (!MakeFolder(wide) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = FileErrorText(static_cast<FileError>(GetLastError()));
    return nullptr;
  }
  // Opened as it is: a reparse point (a link) is not followed.
  const HANDLE h =
      CreateFileW(wide.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = FileErrorText(static_cast<FileError>(GetLastError()));
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  std::optional<std::string> refusal;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    refusal = "it must be a folder, not a link";
  } else {
    refusal = AccessRefusal(h);
  }
  if (refusal) {
    CloseHandle(h);
    *why = *refusal;
    return nullptr;
  }
  std::unique_ptr<PrivateFolder> folder(new PrivateFolder);
  folder->path_ = path;
  // Held open so that the folder cannot be removed or renamed meanwhile.
  folder->handle_ = reinterpret_cast<intptr_t>(h);
  return folder;
}

PrivateFolder::~PrivateFolder() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
}

void PrivateFolder::ForEach(size_t max_entries, const std::function<bool(std::string_view)>& each) {
  const std::wstring pattern = Name("*");
  WIN32_FIND_DATAW found{};
  const HANDLE find =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  size_t seen = 0;
  do {
    if (++seen > max_entries) break;
    if (!each(Utf8(found.cFileName))) break;
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

std::optional<FolderEntry> PrivateFolder::Entry(const std::string& name) {
  const HANDLE h =
      CreateFileW(Name(name).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // Something of that name that cannot be opened (held without sharing)
    // still counts as there, not a regular file the store may take.
    if (GetFileAttributesW(Name(name).c_str()) != INVALID_FILE_ATTRIBUTES) {
      return FolderEntry{};
    }
    return std::nullopt;
  }
  std::optional<FolderEntry> e = ferro::Describe(h);
  CloseHandle(h);
  return e;
}

FolderFile PrivateFolder::Create(const std::string& name) {
  FolderFile file;
  // CREATE_NEW fails on any entry of that name, a link included; the file
  // inherits the folder's access list. Deleting and renaming it while open
  // must stay possible.
  const HANDLE h =
      CreateFileW(Name(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h != INVALID_HANDLE_VALUE) file.handle_ = reinterpret_cast<intptr_t>(h);
  return file;
}

FolderFile PrivateFolder::OpenForReading(const std::string& name) {
  FolderFile file;
  const HANDLE h =
      CreateFileW(Name(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return file;
  file.handle_ = reinterpret_cast<intptr_t>(h);
  if (!(file.Describe() && file.Describe()->regular)) file.Close();
  return file;
}

FileError PrivateFolder::Rename(const std::string& from, const std::string& to, bool* exists) {
  *exists = false;
  // Without MOVEFILE_REPLACE_EXISTING: an entry named `to` stays as it is.
  if (MoveFileExW(Name(from).c_str(), Name(to).c_str(), 0)) {
    return 0;
  }
  const DWORD error = GetLastError();
  *exists = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
  return static_cast<FileError>(error);
}

FileError PrivateFolder::Remove(const std::string& name) {
  return DeleteFileW(Name(name).c_str()) ? 0 : static_cast<FileError>(GetLastError());
}

std::optional<uint64_t> PrivateFolder::FreeBytes() {
  ULARGE_INTEGER free_to_caller{};
  if (!GetDiskFreeSpaceExW(LongPath(path_ + "\\").c_str(), &free_to_caller, nullptr, nullptr)) {
    return std::nullopt;
  }
  return free_to_caller.QuadPart;
}

// NTFS keeps its names in its journal: nothing to do.
void PrivateFolder::Sync() {}

}  // namespace ferro
