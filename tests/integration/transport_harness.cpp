// Drives the engine's transport inside a test network namespace, one command
// per line on standard input, one answer per line on standard output. Must
// only ever run inside a namespace made for the test: it starts the engine
// on every adapter it finds.
//
//   start IGMP_MS        configure, start the engine, wait for the first pass
//   pass                 advance the clock 10 s and wait for the next pass
//   sockets              "set MAC IFINDEX IFNAME" / "addr IP MASK FD FD FD FD" /
//                        "listen ADDRESS KIND FD" ... "end"
//   sendall              discovery request through SendToAll; "ok RESULT MAC"
//   sendagent IP         keep-alive through SendToAgent; "ok RESULT MAC"
//   transfer IP PORT     5 bytes through SendTransfer; "ok RESULT"
//   received             what the handlers saw since the last call, then "end":
//                        "packet OPCODE SEQ SRC" / "transfer OPCODE SEQ FLAG SRC LEN"
//   await MAC|none       an upload awaits that agent's rediscovery (or none); "ok"
//   arpset IP MAC | arpdel IP     "ok RESULT"
//   stop                 StopEngine; "ok OPEN_SOCKET_DESCRIPTORS"
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_config.h"
#include "engine/upgrade.h"
#include "net/arp.h"
#include "net/receive.h"
#include "net/transport.h"
#include "platform/ordered_mutex.h"
#include "platform/tick.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

ManualTickSource g_clock(1);
std::mutex g_seenMu;
std::vector<std::string> g_seen;

std::string Dotted(uint32_t ip) {
  in_addr a{};
  a.s_addr = ip;
  return inet_ntoa(a);
}

std::string MacText(const uint8_t* m) {
  char b[18];
  std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
  return b;
}

void Record(const std::string& line) {
  std::lock_guard lock(g_seenMu);
  g_seen.push_back(line);
}

void OnPacket(const ReceivedPacket& p) {
  Record("packet " + std::to_string(p.opcode) + " " + std::to_string(p.sequence) + " " +
         Dotted(p.sourceIp));
}

void OnTransfer(const ReceivedPacket& p) {
  Record("transfer " + std::to_string(p.opcode) + " " + std::to_string(p.sequence) + " " +
         (p.fromTransferSocket ? "1 " : "0 ") + Dotted(p.sourceIp) + " " +
         std::to_string(p.length));
}

int OpenSocketDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    char target[64] = {};
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target).rfind("socket:", 0) == 0) {
      ++n;
    }
  }
  closedir(d);
  return n;
}

bool ParseMac(const std::string& text, uint8_t* mac) {
  unsigned v[6];
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) !=
      6) {
    return false;
  }
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
  return true;
}

bool WaitForPass(uint64_t count, int ms = 5000) {
  for (int i = 0; i < ms && AdapterPassCount() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return AdapterPassCount() >= count;
}

std::string Handle(const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  if (cmd == "start") {
    uint32_t igmpMs = 0;
    in >> igmpMs;
    EngineConfig& c = Config();
    c.magicCookie = 0;
    c.DiscoveryPort = 64513;
    c.CommandPort = 64514;
    c.AgentPort = 64515;
    c.GroupPort = 64519;
    c.multicastGroup = inet_addr("239.255.255.100");
    c.igmpReportIntervalMs = igmpMs;
    SetTickSource(&g_clock);
    PacketDispatch dispatch;
    // The engine's sides: upgrade replies only to the transfer side,
    // discovery replies there too while their agent is awaited; no cookie
    // check, so that every datagram is seen.
    for (uint16_t op = 0; op < 32; ++op) {
      PacketRoute route{.opcode = op, .handlers = {OnPacket}, .anyCookie = true};
      if (op == kOpUpgradeReply) route.handlers.clear();
      if (op == kOpUpgradeReply || op == kOpDiscoverReply) route.transfer = OnTransfer;
      if (op == kOpDiscoverReply) route.awaited = IsRediscoveryAwaited;
      dispatch.routes.push_back(route);
    }
    SetPacketDispatch(dispatch);
    SetTransferHandler(OnTransfer);
    EngineOptions options;
    options.loadConfig = [] { return 1; };
    const int r = StartEngine(options);
    return WaitForPass(1) ? "ok " + std::to_string(r) : "error no adapter pass";
  }
  if (cmd == "pass") {
    const uint64_t next = AdapterPassCount() + 1;
    // The watch thread may not be asleep yet; keep nudging the clock.
    for (int i = 0; i < 200 && AdapterPassCount() < next; ++i) {
      g_clock.Advance(kAdapterWatchPeriodMs);
      WaitForPass(next, 50);
    }
    return AdapterPassCount() >= next ? "ok" : "error pass did not run";
  }
  if (cmd == "sockets") {
    std::ostringstream out;
    std::lock_guard lock(AdapterSocketLock());
    for (const AdapterSocketSet& set : AdapterSocketList()) {
      out << "set " << MacText(set.mac.data()) << " " << set.ifIndex << " " << set.ifName << "\n";
      for (const AdapterSocket& a : set.sockets) {
        out << "addr " << Dotted(a.ip) << " " << Dotted(a.mask);
        for (const SocketRef* s : {&a.unicast, &a.transfer, &a.group, &a.broadcast}) {
          out << " " << (*s && !(*s)->failed() ? (*s)->fd() : -1);
        }
        out << "\n";
      }
      for (const Listener& l : set.listeners) {
        out << "listen " << Dotted(l.key.address) << " " << static_cast<int>(l.key.kind) << " "
            << (l.socket && !l.socket->failed() ? l.socket->fd() : -1) << "\n";
      }
    }
    out << "end";
    return out.str();
  }
  if (cmd == "sendall" || cmd == "sendagent") {
    uint8_t packet[kMaxPacketSize] = {};
    const bool all = cmd == "sendall";
    BuildPacketHeader(all ? kOpDiscover : kOpKeepAlive, packet);
    SetPacketSequence(packet, NextSequence());
    int r = 0;
    if (all) {
      r = SendToAll(packet, kPacketHeaderSize);
    } else {
      std::string ip;
      in >> ip;
      r = SendToAgent(inet_addr(ip.c_str()), packet, kPacketHeaderSize);
    }
    return "ok " + std::to_string(r) + " " + MacText(packet + kHdrSenderMac);
  }
  if (cmd == "transfer") {
    std::string ip;
    unsigned port = 0;
    in >> ip >> port;
    const uint8_t bytes[5] = {0, 3, 0, 1, 'x'};
    const int r = SendTransfer(inet_addr(ip.c_str()), htons(static_cast<uint16_t>(port)), bytes,
                               sizeof bytes);
    return "ok " + std::to_string(r);
  }
  if (cmd == "received") {
    std::ostringstream out;
    std::lock_guard lock(g_seenMu);
    for (const std::string& s : g_seen) out << s << "\n";
    g_seen.clear();
    out << "end";
    return out.str();
  }
  if (cmd == "await") {
    std::string mac;
    in >> mac;
    std::vector<RediscoveryWatch::Mac> macs;
    if (mac != "none") {
      RediscoveryWatch::Mac m{};
      if (!ParseMac(mac, m.data())) return "error bad mac";
      macs.push_back(m);
    }
    AwaitedRediscoveries().Set(std::move(macs));
    return "ok";
  }
  if (cmd == "arpset") {
    std::string ip, mac;
    in >> ip >> mac;
    uint8_t m[6];
    if (!ParseMac(mac, m)) return "error bad mac";
    return "ok " + std::to_string(SetStaticArpAll(inet_addr(ip.c_str()), m));
  }
  if (cmd == "arpdel") {
    std::string ip;
    in >> ip;
    return "ok " + std::to_string(DeleteArpAll(inet_addr(ip.c_str())));
  }
  if (cmd == "stop") {
    StopEngine();
    return "ok " + std::to_string(OpenSocketDescriptors());
  }
  return "error unknown command";
}

}  // namespace
}  // namespace ferro

int main() {
  ferro::SetLockOrderFatal(true);  // a test program ends at a broken lock order
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") break;
    std::cout << ferro::Handle(line) << std::endl;
  }
  ferro::StopEngine();
  return 0;
}
