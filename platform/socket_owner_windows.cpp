// Socket owners on Windows. The IP helper's TCP table names the process
// that holds each connection and listener; that process's access token
// gives its user and groups. A user is a SID here, not a number: each SID
// this process meets gets a small number of its own (the system account,
// the counterpart of root, is 0), and the groups its token had at the last
// lookup are kept with it, so that group membership is judged as the token
// has it (an administrator's token that is not elevated holds the
// administrators group for denial only, and does not count as a member).
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which they need.
#include <iphlpapi.h>
#include <sddl.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/socket_owner.h"

namespace ferro {
namespace {

using Sid = std::vector<BYTE>;

struct KnownUser {
  Sid sid;
  std::vector<Sid> groups;  // the enabled groups of its latest token
};

// The users met so far; the number of a user is its place + 1 (0 is the
// system account). Bounded: past the bound a new user cannot be told.
constexpr size_t kMaxUsers = 4096;
constexpr uint32_t kUnknownUser = UINT32_MAX;

std::mutex& UsersLock() {
  static std::mutex lock;
  return lock;
}
std::vector<KnownUser>& Users() {
  static std::vector<KnownUser> users;
  return users;
}

Sid CopySid(PSID sid) {
  const DWORD size = GetLengthSid(sid);
  Sid out(size);
  ::CopySid(size, out.data(), sid);
  return out;
}

bool IsSystemAccount(PSID sid) { return IsWellKnownSid(sid, WinLocalSystemSid) != FALSE; }

// One piece of a token's information, or empty when it cannot be read.
std::vector<BYTE> TokenInfo(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0 || size > (1u << 20)) return {};
  std::vector<BYTE> buf(size);
  if (!GetTokenInformation(token, kind, buf.data(), size, &size)) return {};
  return buf;
}

// The number of the token's user, its groups recorded.
std::optional<uint32_t> UserOfToken(HANDLE token) {
  const std::vector<BYTE> user = TokenInfo(token, TokenUser);
  if (user.empty()) return std::nullopt;
  PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
  if (IsSystemAccount(sid)) return 0u;
  std::vector<Sid> groups;
  const std::vector<BYTE> list = TokenInfo(token, TokenGroups);
  if (!list.empty()) {
    const auto* g = reinterpret_cast<const TOKEN_GROUPS*>(list.data());
    for (DWORD i = 0; i < g->GroupCount; ++i) {
      const DWORD attributes = g->Groups[i].Attributes;
      if ((attributes & SE_GROUP_ENABLED) != 0 && (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0) {
        groups.push_back(CopySid(g->Groups[i].Sid));
      }
    }
  }
  std::lock_guard lock(UsersLock());
  std::vector<KnownUser>& users = Users();
  for (size_t i = 0; i < users.size(); ++i) {
    if (EqualSid(users[i].sid.data(), sid)) {
      users[i].groups = std::move(groups);
      return static_cast<uint32_t>(i + 1);
    }
  }
  if (users.size() >= kMaxUsers) return std::nullopt;
  users.push_back({CopySid(sid), std::move(groups)});
  return static_cast<uint32_t>(users.size());
}

std::optional<uint32_t> UserOfProcess(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return std::nullopt;
  HANDLE token = nullptr;
  std::optional<uint32_t> user;
  if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
    user = UserOfToken(token);
    CloseHandle(token);
  }
  CloseHandle(process);
  return user;
}

// The IPv4 TCP table of the given kind with each row's owning process.
std::vector<BYTE> TcpTable(TCP_TABLE_CLASS kind) {
  std::vector<BYTE> buf;
  DWORD size = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD rc =
        GetExtendedTcpTable(buf.empty() ? nullptr : buf.data(), &size, FALSE, AF_INET, kind, 0);
    if (rc == NO_ERROR && !buf.empty()) return buf;
    if (rc != ERROR_INSUFFICIENT_BUFFER && !(rc == NO_ERROR && buf.empty())) return {};
    if (size == 0 || size > (64u << 20)) return {};
    // Connections may appear between the two calls.
    buf.assign(size + 4096, 0);
    size = static_cast<DWORD>(buf.size());
  }
  return {};
}

// Row `i` of a table TcpTable gave, when the table has it.
bool RowAt(const std::vector<BYTE>& table, const MIB_TCPROW_OWNER_PID*& row, size_t i) {
  const auto* t = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
  if (table.size() < sizeof(DWORD) || i >= t->dwNumEntries ||
      offsetof(MIB_TCPTABLE_OWNER_PID, table) + (i + 1) * sizeof(MIB_TCPROW_OWNER_PID) >
          table.size()) {
    return false;
  }
  row = &t->table[i];
  return true;
}

std::string SidText(const Sid& sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(const_cast<BYTE*>(sid.data()), &text)) return "?";
  std::string out = text;
  LocalFree(text);
  return out;
}

}  // namespace

std::optional<uint32_t> LocalPeerOwner(SocketHandle s) {
  sockaddr_in local{}, peer{};
  int localSize = sizeof local, peerSize = sizeof peer;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
      local.sin_family != AF_INET || peer.sin_family != AF_INET) {
    return std::nullopt;
  }
  // The peer's connection is the row whose own end is our peer address.
  const std::vector<BYTE> table = TcpTable(TCP_TABLE_OWNER_PID_ALL);
  const MIB_TCPROW_OWNER_PID* row = nullptr;
  for (size_t i = 0; RowAt(table, row, i); ++i) {
    if (row->dwLocalAddr == peer.sin_addr.s_addr &&
        static_cast<u_short>(row->dwLocalPort) == peer.sin_port &&
        row->dwRemoteAddr == local.sin_addr.s_addr &&
        static_cast<u_short>(row->dwRemotePort) == local.sin_port) {
      // A connection no process holds any more reports no owner that could
      // be trusted.
      if (row->dwState == MIB_TCP_STATE_TIME_WAIT || row->dwOwningPid == 0) return std::nullopt;
      if (row->dwOwningPid == GetCurrentProcessId()) return ProcessUser();
      return UserOfProcess(row->dwOwningPid);
    }
  }
  return std::nullopt;
}

std::optional<PortHolder> TcpPortHolder(uint32_t address, uint16_t port) {
  const std::vector<BYTE> table = TcpTable(TCP_TABLE_OWNER_PID_LISTENER);
  const MIB_TCPROW_OWNER_PID* row = nullptr;
  for (size_t i = 0; RowAt(table, row, i); ++i) {
    if (static_cast<u_short>(row->dwLocalPort) != htons(port)) continue;
    if (address != 0 && row->dwLocalAddr != address && row->dwLocalAddr != 0) continue;
    PortHolder holder;
    holder.pid = static_cast<int>(row->dwOwningPid);
    holder.uid = UserOfProcess(row->dwOwningPid).value_or(kUnknownUser);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, row->dwOwningPid);
    if (process != nullptr) {
      char path[MAX_PATH];
      DWORD size = MAX_PATH;
      if (QueryFullProcessImageNameA(process, 0, path, &size)) {
        const std::string full(path, size);
        holder.command = full.substr(full.find_last_of('\\') + 1);
      }
      CloseHandle(process);
    }
    return holder;
  }
  return std::nullopt;
}

std::string DescribeUser(uint32_t uid) {
  if (uid == 0) return "the system account";
  Sid sid;
  {
    std::lock_guard lock(UsersLock());
    if (uid == kUnknownUser || uid > Users().size()) return "a user that cannot be told";
    sid = Users()[uid - 1].sid;
  }
  char name[256], domain[256];
  DWORD nameSize = sizeof name, domainSize = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, sid.data(), name, &nameSize, domain, &domainSize, &use)) {
    return "user " + std::string(domain) + "\\" + name + " (" + SidText(sid) + ")";
  }
  return "user " + SidText(sid);
}

std::string DescribePortHolder(const PortHolder& holder) {
  const std::string user = DescribeUser(holder.uid);
  if (holder.pid == 0) return user;
  return "pid " + std::to_string(holder.pid) +
         (holder.command.empty() ? "" : " (" + holder.command + ")") + ", " + user;
}

uint32_t ProcessUser() {
  HANDLE token = nullptr;
  std::optional<uint32_t> user;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    user = UserOfToken(token);
    CloseHandle(token);
  }
  return user.value_or(kUnknownUser);
}

bool UserInGroup(uint32_t uid, const std::string& group) {
  if (group.empty() || uid == 0 || uid == kUnknownUser) return false;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  char domain[256];
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  if (!LookupAccountNameA(nullptr, group.c_str(), sid, &sidSize, domain, &domainSize, &use)) {
    return false;
  }
  std::lock_guard lock(UsersLock());
  if (uid > Users().size()) return false;
  for (const Sid& member : Users()[uid - 1].groups) {
    if (EqualSid(const_cast<BYTE*>(member.data()), sid)) return true;
  }
  return false;
}

}  // namespace ferro
