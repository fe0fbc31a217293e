#pragma once
// The IGMP version 1 membership report that keeps the multicast group
// joined on every local network.

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

namespace ferro {

inline constexpr size_t kIgmpReportSize = 8;

// The 16-bit Internet checksum (RFC 1071) of `length` bytes.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// Type 0x12, 0, checksum, group (network order).
std::array<uint8_t, kIgmpReportSize> BuildIgmpV1Report(uint32_t group);

// Sends reports through a raw IGMP socket, once out of every local address.
class IgmpReporter {
 public:
  IgmpReporter();
  ~IgmpReporter();
  IgmpReporter(const IgmpReporter&) = delete;
  IgmpReporter& operator=(const IgmpReporter&) = delete;

  bool usable() const { return IsValidSocket(fd_); }
  // Sends `report` to `group` out of each address of the AdapterSocketList.
  void SendReport(const std::array<uint8_t, kIgmpReportSize>& report, uint32_t group);

 private:
  SocketHandle fd_ = kNoSocket;
};

}  // namespace ferro
