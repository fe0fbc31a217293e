#pragma once
// Ranks of the transport's locks in the server's single lock order
// (platform/ordered_mutex.h: locks nest only in rising rank). Engine locks
// that may be held while sending take ranks below these (1..4); engine locks
// that are innermost take ranks above them (9 and up). The engine's part of
// the order is in engine/engine_state.h.

namespace ferro {

inline constexpr int kRankAdapterSocket = 5;  // every send, and socket opening and closing
inline constexpr int kRankReceiveSocket = 6;  // the receive list; inside AdapterSocket
inline constexpr int kRankPacketQueue = 7;    // inside ReceiveSocket
inline constexpr int kRankTransferQueue = 8;  // inside ReceiveSocket

// The lowest rank above every transport lock.
inline constexpr int kRankAboveTransport = 9;

}  // namespace ferro
