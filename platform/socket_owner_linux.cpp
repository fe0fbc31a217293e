// Socket owners from the kernel's socket diagnostics (NETLINK_SOCK_DIAG):
// one exact lookup for a connection's peer, one dump of the listeners for a
// port's holder. The process behind a listener is found by its socket inode
// among the descriptors in /proc, as far as this process may look.

#include <arpa/inet.h>
#include <dirent.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "platform/socket_owner.h"

namespace ferro {
namespace {

// A netlink socket for one request, closed with it.
class DiagSocket {
 public:
  DiagSocket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
    if (fd_ >= 0) {
      const timeval limit{1, 0};  // the kernel answers at once; never hang on it
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
  }
  ~DiagSocket() {
    if (fd_ >= 0) close(fd_);
  }
  DiagSocket(const DiagSocket&) = delete;
  DiagSocket& operator=(const DiagSocket&) = delete;

  // Sends `request` and hands each inet_diag_msg of the answer to `take`
  // until the answer ends; false when the exchange failed.
  bool Ask(const inet_diag_req_v2& request, uint16_t flags,
           const std::function<void(const inet_diag_msg&)>& take) const {
    if (fd_ < 0) return false;
    struct {
      nlmsghdr header;
      inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = flags;
    message.request = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
      return false;
    }
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      // Each message: its header, whose length counts itself, then its data,
      // padded to the next multiple of four.
      size_t left = static_cast<size_t>(n);
      for (const char* at = buffer; left >= sizeof(nlmsghdr);) {
        nlmsghdr h;
        std::memcpy(&h, at, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > left) return false;
        if (h.nlmsg_type == NLMSG_DONE) return true;
        // An exact lookup that finds nothing answers with an error.
        if (h.nlmsg_type == NLMSG_ERROR) return false;
        if (h.nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
          inet_diag_msg found;
          std::memcpy(&found, at + NLMSG_HDRLEN, sizeof found);
          take(found);
          if ((flags & NLM_F_DUMP) == 0) return true;
        }
        const size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= left) break;
        at += step;
        left -= step;
      }
    }
  }

 private:
  int fd_;
};

inet_diag_req_v2 TcpRequest(uint32_t states) {
  inet_diag_req_v2 r{};
  r.sdiag_family = AF_INET;
  r.sdiag_protocol = IPPROTO_TCP;
  r.idiag_states = states;
  r.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  r.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return r;
}

// The process holding the socket with `inode`, as far as /proc shows it.
void FindProcess(uint64_t inode, PortHolder& holder) {
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.empty() ||
        !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const std::string fds = "/proc/" + pid + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) continue;
    bool found = false;
    while (const dirent* fd = readdir(dir)) {
      char target[64];
      const std::string link = fds + "/" + fd->d_name;
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n > 0 && wanted == std::string_view(target, static_cast<size_t>(n))) {
        found = true;
        break;
      }
    }
    closedir(dir);
    if (found) {
      holder.pid = std::stoi(pid);
      std::ifstream comm("/proc/" + pid + "/comm");
      std::getline(comm, holder.command);
      break;
    }
  }
  closedir(proc);
}

}  // namespace

std::optional<uint32_t> LocalPeerOwner(SocketHandle fd) {
  sockaddr_in local{}, peer{};
  socklen_t local_size = sizeof local, peer_size = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
      local.sin_family != AF_INET || peer.sin_family != AF_INET) {
    return std::nullopt;
  }
  // The peer's socket is the one whose own end is our peer address.
  inet_diag_req_v2 request = TcpRequest(~0u);
  request.id.idiag_sport = peer.sin_port;
  request.id.idiag_dport = local.sin_port;
  request.id.idiag_src[0] = peer.sin_addr.s_addr;
  request.id.idiag_dst[0] = local.sin_addr.s_addr;
  std::optional<uint32_t> owner;
  DiagSocket().Ask(request, NLM_F_REQUEST, [&](const inet_diag_msg& found) {
    // A socket no process holds any more (closed, or a time-wait remnant)
    // reports no owner that could be trusted.
    if (found.idiag_inode != 0 && found.idiag_state != TCP_TIME_WAIT &&
        found.id.idiag_sport == peer.sin_port && found.id.idiag_dport == local.sin_port &&
        found.id.idiag_src[0] == peer.sin_addr.s_addr &&
        found.id.idiag_dst[0] == local.sin_addr.s_addr) {
      owner = found.idiag_uid;
    }
  });
  return owner;
}

std::optional<PortHolder> TcpPortHolder(uint32_t address, uint16_t port) {
  std::optional<inet_diag_msg> listener;
  DiagSocket().Ask(
      TcpRequest(1u << TCP_LISTEN), NLM_F_REQUEST | NLM_F_DUMP, [&](const inet_diag_msg& found) {
        if (!listener && found.id.idiag_sport == htons(port) &&
            (address == 0 || found.id.idiag_src[0] == address || found.id.idiag_src[0] == 0)) {
          listener = found;
        }
      });
  if (!listener) return std::nullopt;
  PortHolder holder;
  holder.uid = listener->idiag_uid;
  FindProcess(listener->idiag_inode, holder);
  return holder;
}

std::string DescribeUser(uint32_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return "user " + std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  }
  return "uid " + std::to_string(uid);
}

std::string DescribePortHolder(const PortHolder& holder) {
  const std::string user = DescribeUser(holder.uid);
  if (holder.pid == 0) return user;
  return "pid " + std::to_string(holder.pid) + " (" + holder.command + "), " + user;
}

uint32_t ProcessUser() { return geteuid(); }

bool UserInGroup(uint32_t uid, const std::string& group) {
  if (group.empty()) return false;
  std::vector<char> buffer(65536);
  ::group grp{};
  ::group* gfound = nullptr;
  if (getgrnam_r(group.c_str(), &grp, buffer.data(), buffer.size(), &gfound) != 0 ||
      gfound == nullptr) {
    return false;
  }
  const gid_t wanted = gfound->gr_gid;
  std::vector<char> pbuffer(16384);
  passwd user{};
  passwd* pfound = nullptr;
  if (getpwuid_r(uid, &user, pbuffer.data(), pbuffer.size(), &pfound) != 0 || pfound == nullptr) {
    return false;
  }
  if (pfound->pw_gid == wanted) return true;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(pfound->pw_name, pfound->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(std::clamp(count, 0, 65536)));
    count = static_cast<int>(groups.size());
    if (getgrouplist(pfound->pw_name, pfound->pw_gid, groups.data(), &count) < 0) return false;
  }
  return std::find(groups.begin(), groups.begin() + std::max(count, 0), wanted) !=
         groups.begin() + std::max(count, 0);
}

}  // namespace ferro
