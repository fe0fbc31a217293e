#include "engine/engine_state.h"

#include <algorithm>
#include <mutex>

namespace ferro {

#define FERRO_ENGINE_LOCK(Name, Rank)      \
  OrderedMutex& Name() {                   \
    static OrderedMutex lock(Rank, #Name); \
    return lock;                           \
  }
FERRO_ENGINE_LOCK(ActionListLock, kRankActionList)
FERRO_ENGINE_LOCK(AgentTableLock, kRankAgentTable)
FERRO_ENGINE_LOCK(TftpSessionLock, kRankTftpSession)
FERRO_ENGINE_LOCK(SetVecLock, kRankSetVec)
FERRO_ENGINE_LOCK(DiscoveryListLock, kRankDiscoveryList)
FERRO_ENGINE_LOCK(TrapRecordLock, kRankTrapRecord)
#undef FERRO_ENGINE_LOCK

bool ActionEntry::AddResponder(const uint8_t* mac, size_t limit) {
  uint64_t key = 0;
  for (size_t i = 0; i < kMacSize; ++i) key = key << 8 | mac[i];
  if (responderKeys.contains(key)) return false;
  if (responders.size() >= limit) {
    ++refusedResponders;
    return false;
  }
  responderKeys.insert(key);
  std::array<uint8_t, kMacSize> m{};
  std::copy(mac, mac + kMacSize, m.begin());
  responders.push_back(m);
  return true;
}

std::list<std::unique_ptr<ActionEntry>>& ActionList() {
  static std::list<std::unique_ptr<ActionEntry>> list;
  return list;
}

std::deque<TrapRecord>& TrapRecordList() {
  static std::deque<TrapRecord> list;
  return list;
}

std::atomic<uint32_t>& TrapCount() {
  static std::atomic<uint32_t> count{0};
  return count;
}

namespace {
OrderedMutex& SequenceLock() {
  static OrderedMutex lock(kRankSequence, "SequenceLock");
  return lock;
}
uint16_t g_sequence = 1;

std::mutex g_trapMu;  // innermost; never held while calling the handler
TrapCallbackSlot g_trap;
}  // namespace

uint16_t NextSequence() {
  std::lock_guard lock(SequenceLock());
  if (g_sequence == 0) g_sequence = 1;
  return g_sequence++;
}

int SetTrapCallback(TrapCallbackFn function, void* param) {
  std::lock_guard lock(g_trapMu);
  g_trap = TrapCallbackSlot{function, param};
  return 1;
}

TrapCallbackSlot GetTrapCallback() {
  std::lock_guard lock(g_trapMu);
  return g_trap;
}

}  // namespace ferro
