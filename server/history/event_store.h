#pragma once
// The event history and the inventory of agents, kept in an SQLite database
// (WAL mode) so that they outlive the process.
//
// Writing never makes the caller wait on the disk: Record and NoteAgent only
// push onto a bounded queue, and one writer thread takes the queue in
// batches, one transaction each. When the queue is full, or the database
// cannot be opened or written (a full disk, a read-only file), the event is
// counted as lost and the server goes on; the log says so once, and again
// when writing works again.
//
// Reading (Find, Agents) runs on the caller's thread on a connection of its
// own; every filter of Find is answered through an index.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "history/event_query.h"
#include "history/syslog_line.h"

struct sqlite3;

namespace ferro::history {

inline constexpr uint64_t kDefaultMaxEvents = 1000000;
inline constexpr uint32_t kDefaultMaxDays = 365;
inline constexpr size_t kDefaultQueueLimit = 100000;
inline constexpr char kDefaultDatabaseName[] = "events.db";

inline constexpr size_t kDefaultMaxAgents = 65536;

struct StoreOptions {
  std::string path;                         // the database file
  uint64_t max_events = kDefaultMaxEvents;  // 0: no limit by count
  uint32_t max_days = kDefaultMaxDays;      // 0: no limit by age
  size_t queue_limit = kDefaultQueueLimit;
  // Agents the inventory keeps at most: a host on the network can answer
  // discoveries with made-up MACs. Past it, pruning drops the offline agents
  // seen longest ago first.
  size_t max_agents = kDefaultMaxAgents;
  // Each event also goes to syslog as one line (see syslog_line.h).
  bool syslog = false;
};

// One event as it is handed over: `fields` is a JSON object's text.
struct Event {
  int64_t time_ms = 0;  // 0: stamped with the current time by Record
  std::string kind;
  std::optional<Mac> mac;
  std::string address;  // dotted decimal, or empty
  std::string text;
  std::string fields = "{}";
};

struct StoredEvent {
  int64_t id = 0;
  int64_t time_ms = 0;
  std::string kind;
  std::string mac;  // "00:11:22:aa:bb:cc" or ""
  std::string address;
  std::string text;
  std::string fields;
};

// What an agent's reply or silence tells the inventory.
struct AgentSighting {
  enum class What {
    kAnswered,        // any reply: last seen now, online
    kSilent,          // it stopped answering the keep-alive: offline
    kDiscoveryEnded,  // a discovery run ended: who did not answer it is offline
  };
  What what = What::kAnswered;
  int64_t time_ms = 0;
  Mac mac{};
  // kAnswered with a record: the summary kept (empty texts leave the
  // stored ones); kDiscoveryEnded: when the run started (ms).
  bool has_record = false;
  std::string address, name, model, firmware;
};

struct InventoryAgent {
  std::string mac;
  std::string address, name, model, firmware;
  int64_t first_seen_ms = 0;
  int64_t last_seen_ms = 0;
  bool online = false;
};

class EventStore {
 public:
  explicit EventStore(StoreOptions options);
  // Writes what is queued, then closes.
  ~EventStore();
  EventStore(const EventStore&) = delete;
  EventStore& operator=(const EventStore&) = delete;

  // Queues `event`; false (and counted lost) when the queue is full or the
  // store is stopping.
  bool Record(Event event);
  void NoteAgent(AgentSighting sighting);

  // Waits until everything queued before the call is written or lost, at
  // most `timeout_ms` (for tests and shutdown; never on an engine thread).
  // False when the time ran out.
  bool Flush(int timeout_ms = 60000);

  // The events `query` selects, in its order; `newest_id` gets the highest
  // id stored (0 if none). False with `error` when the database cannot be read.
  bool Find(const EventQuery& query, std::vector<StoredEvent>* out, int64_t* newest_id,
            std::string* error);
  // The SQL statements Find runs for `query`, each with its query plan
  // (EXPLAIN QUERY PLAN), for checking that every one uses an index.
  std::vector<std::string> PlanOf(const EventQuery& query);

  bool Agents(bool with_offline, std::vector<InventoryAgent>* out, std::string* error);
  // Forgets one agent; false when it is not known.
  bool ForgetAgent(const Mac& mac, std::string* error);

  // Runs one pruning pass to completion now (tests).
  void PruneNow();

  uint64_t written() const { return written_.load(); }
  uint64_t lost() const { return lost_.load(); }
  uint64_t syslog_dropped() const { return syslog_dropped_.load(); }
  // The longest time an event waited in the queue before its transaction
  // committed, since the last call (ms).
  int64_t TakeMaxLagMs() { return max_lag_ms_.exchange(0); }
  const std::string& path() const { return options_.path; }

 private:
  struct Queued {
    std::variant<Event, AgentSighting> item;
    int64_t queued_ms = 0;
  };
  void WriterLoop();
  bool OpenWriter();
  void CloseWriter();
  void WriteBatch(std::deque<Queued>& batch);
  bool PruneSome(size_t rows);
  void ReportWriteFailure(const char* what, const char* reason);
  void ReportQueueLosses();
  sqlite3* Reader(std::string* error);

  const StoreOptions options_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Queued> queue_;
  uint64_t enqueued_ = 0;  // guarded by mu_
  uint64_t finished_ = 0;  // guarded by mu_: taken out and written or lost
  bool stopping_ = false;
  uint64_t prune_all_asked_ = 0;  // guarded by mu_: PruneNow's requests
  uint64_t prune_all_done_ = 0;
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> lost_{0};
  std::atomic<uint64_t> syslog_dropped_{0};
  std::atomic<uint64_t> queue_lost_{0};
  std::atomic<int64_t> max_lag_ms_{0};

  // The writer thread's own.
  sqlite3* writer_db_ = nullptr;
  bool failing_ = false;  // the last write failed (reported once)
  bool marked_offline_ = false;
  uint64_t queue_lost_told_ = 0;
  int64_t queue_lost_told_ms_ = 0;
  int64_t next_open_try_ms_ = 0;
  int64_t next_prune_ms_ = 0;
  bool prune_pending_ = true;
  int64_t last_prune_step_ms_ = 0;
  SyslogSender syslog_;

  std::mutex reader_mu_;
  sqlite3* reader_db_ = nullptr;

  std::thread writer_;
};

// The process's store, for the counters that others report.
void SetProcessStore(EventStore* store);
EventStore* ProcessStore();
// Events written to and lost by the process's store since start (0 without one).
uint64_t EventsWritten();
uint64_t EventsLost();

// Milliseconds since the epoch, now.
int64_t NowMs();

}  // namespace ferro::history
