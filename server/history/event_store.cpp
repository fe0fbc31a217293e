#include "history/event_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "platform/diag.h"
#include "platform/thread_name.h"

namespace ferro::history {
namespace {

// One transaction takes at most this many queued items.
constexpr size_t kBatchItems = 5000;
// A database that could not be opened is tried again this often.
constexpr int64_t kReopenMs = 5000;
// Pruning: how often a pass starts, and the rows each step deletes (one
// short transaction, between the batches of new events).
constexpr int64_t kPruneEveryMs = 10000;
constexpr int kPruneRows = 2000;
constexpr int64_t kPruneStepGapMs = 1000;
// Events lost to a full queue are reported at most this often.
constexpr int64_t kQueueLossReportMs = 10000;
constexpr int kBusyWriterMs = 1000;
constexpr int kBusyReaderMs = 500;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"
    " mac TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " text TEXT NOT NULL,"
    " fields TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_time ON events(time);"
    "CREATE INDEX IF NOT EXISTS events_mac ON events(mac, id);"
    "CREATE INDEX IF NOT EXISTS events_kind ON events(kind, id);"
    "CREATE TABLE IF NOT EXISTS inventory("
    " mac TEXT PRIMARY KEY,"
    " address TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " model TEXT NOT NULL,"
    " firmware TEXT NOT NULL,"
    " first_seen INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL,"
    " online INTEGER NOT NULL) WITHOUT ROWID;";

std::atomic<EventStore*> g_process_store{nullptr};

// A prepared statement, finalized with its scope.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  explicit operator bool() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(stmt_); }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p == nullptr ? std::string()
                        : std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// One statement of a Find: its SQL and the values of its parameters in order.
struct Select {
  std::string sql;
  std::vector<std::variant<int64_t, std::string>> values;
};

void BindAll(Statement& st, const Select& s) {
  for (size_t i = 0; i < s.values.size(); ++i) {
    const int at = static_cast<int>(i + 1);
    if (const auto* n = std::get_if<int64_t>(&s.values[i])) {
      st.Bind(at, *n);
    } else {
      st.Bind(at, std::get<std::string>(s.values[i]));
    }
  }
}

// The first id at or after a time bound, through the time index; nothing
// when no event is that late. `strictly`: after the time, not at it.
Select FirstIdFrom(int64_t time_ms, bool strictly) {
  return {std::string("SELECT id FROM events WHERE time ") + (strictly ? ">" : ">=") +
              " ? ORDER BY time, id LIMIT 1",
          {time_ms}};
}

// The events with id in (lo, hi) and the query's other filters, of one
// kind (or of every kind when `kind` is null), in the query's order. The id
// range keeps every statement a search: by the primary key, or by the MAC's
// or the kind's index, each ordered by id so that no sort is needed.
Select EventsIn(const EventQuery& q, int64_t lo, int64_t hi, const std::string* kind) {
  Select s;
  s.sql = "SELECT id, time, kind, mac, address, text, fields FROM events WHERE id > ? AND id < ?";
  s.values = {lo, hi};
  if (q.mac) {
    s.sql += " AND mac = ?";
    s.values.emplace_back(FormatMac(*q.mac));
  }
  if (kind != nullptr) {
    s.sql += " AND kind = ?";
    s.values.emplace_back(*kind);
  }
  // The id range comes from the times; a clock set back can still put an
  // older time among later ids, and these keep the answer exact.
  if (q.since_ms) {
    s.sql += " AND time >= ?";
    s.values.emplace_back(*q.since_ms);
  }
  if (q.until_ms) {
    s.sql += " AND time <= ?";
    s.values.emplace_back(*q.until_ms);
  }
  s.sql += q.ascending ? " ORDER BY id ASC LIMIT ?" : " ORDER BY id DESC LIMIT ?";
  s.values.emplace_back(static_cast<int64_t>(q.limit));
  return s;
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void SetProcessStore(EventStore* store) { g_process_store.store(store); }
EventStore* ProcessStore() { return g_process_store.load(); }
uint64_t EventsWritten() {
  const EventStore* s = g_process_store.load();
  return s == nullptr ? 0 : s->written();
}
uint64_t EventsLost() {
  const EventStore* s = g_process_store.load();
  return s == nullptr ? 0 : s->lost();
}

EventStore::EventStore(StoreOptions options) : options_(std::move(options)) {
  writer_ = std::thread([this] { WriterLoop(); });
}

EventStore::~EventStore() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  std::lock_guard lock(reader_mu_);
  if (reader_db_ != nullptr) sqlite3_close_v2(reader_db_);
}

bool EventStore::Record(Event event) {
  const int64_t now = NowMs();
  if (event.time_ms == 0) event.time_ms = now;
  {
    std::lock_guard lock(mu_);
    if (!stopping_ && queue_.size() < options_.queue_limit) {
      queue_.push_back(Queued{std::move(event), now});
      ++enqueued_;
      wake_.notify_one();
      return true;
    }
  }
  lost_.fetch_add(1);
  queue_lost_.fetch_add(1);
  return false;
}

void EventStore::NoteAgent(AgentSighting sighting) {
  const int64_t now = NowMs();
  if (sighting.time_ms == 0) sighting.time_ms = now;
  std::lock_guard lock(mu_);
  // The inventory catches up with the next reply: nothing to count.
  if (stopping_ || queue_.size() >= options_.queue_limit) return;
  queue_.push_back(Queued{std::move(sighting), now});
  ++enqueued_;
  wake_.notify_one();
}

bool EventStore::Flush(int timeout_ms) {
  std::unique_lock lock(mu_);
  const uint64_t target = enqueued_;
  wake_.notify_one();
  return drained_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return finished_ >= target; });
}

bool EventStore::OpenWriter() {
  if (writer_db_ != nullptr) return true;
  const int64_t now = NowMs();
  if (now < next_open_try_ms_) return false;
  next_open_try_ms_ = now + kReopenMs;
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(options_.path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    ReportWriteFailure("cannot be opened", sqlite3_errstr(rc));
    return false;
  }
  sqlite3_busy_timeout(db, kBusyWriterMs);
  // WAL: readers (the front's queries) never wait for the writer. NORMAL
  // synchronisation: a power cut may lose the last transactions, never
  // the database.
  if (!Exec(db, "PRAGMA journal_mode=WAL") || !Exec(db, "PRAGMA synchronous=NORMAL") ||
      !Exec(db, kSchema)) {
    const std::string reason = sqlite3_errmsg(db);
    sqlite3_close_v2(db);
    ReportWriteFailure("cannot be set up", reason.c_str());
    return false;
  }
  if (!marked_offline_) {
    // Nothing has been asked since the server started: no agent counts as
    // online until it answers again.
    marked_offline_ = Exec(db, "UPDATE inventory SET online = 0 WHERE online = 1");
  }
  writer_db_ = db;
  return true;
}

void EventStore::CloseWriter() {
  if (writer_db_ != nullptr) sqlite3_close_v2(writer_db_);
  writer_db_ = nullptr;
}

void EventStore::ReportWriteFailure(const char* what, const char* reason) {
  if (failing_) return;
  failing_ = true;
  Diag("event store: the database %s %s%s%s; events are counted as lost until it can be written\n",
       options_.path.c_str(), what, *reason != '\0' ? ": " : "", reason);
}

void EventStore::WriteBatch(std::deque<Queued>& batch) {
  size_t events = 0;
  for (const Queued& q : batch) events += std::holds_alternative<Event>(q.item) ? 1 : 0;

  if (options_.syslog) {
    const int pid = static_cast<int>(::getpid());
    for (const Queued& q : batch) {
      if (const auto* e = std::get_if<Event>(&q.item)) {
        const std::string mac = e->mac ? FormatMac(*e->mac) : std::string();
        if (!syslog_.Send(SyslogMessage(e->time_ms, e->kind, mac, e->address, e->text, pid))) {
          syslog_dropped_.fetch_add(1);
        }
      }
    }
  }

  bool ok = OpenWriter();
  if (ok) {
    ok = Exec(writer_db_, "BEGIN IMMEDIATE");
    if (ok) {
      Statement insert(writer_db_,
                       "INSERT INTO events(time, kind, mac, address, text, fields) "
                       "VALUES(?, ?, ?, ?, ?, ?)");
      Statement seen(writer_db_,
                     "INSERT INTO inventory(mac, address, name, model, firmware, first_seen, "
                     "last_seen, online) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?6, 1) "
                     "ON CONFLICT(mac) DO UPDATE SET "
                     "last_seen = max(last_seen, excluded.last_seen), online = 1, "
                     "address = CASE WHEN excluded.address <> '' THEN excluded.address "
                     "ELSE address END, "
                     "name = CASE WHEN ?7 THEN excluded.name ELSE name END, "
                     "model = CASE WHEN ?7 THEN excluded.model ELSE model END, "
                     "firmware = CASE WHEN ?7 THEN excluded.firmware ELSE firmware END");
      Statement silent(writer_db_, "UPDATE inventory SET online = 0 WHERE mac = ?");
      Statement ended(writer_db_,
                      "UPDATE inventory SET online = 0 WHERE online = 1 AND last_seen < ?");
      ok = insert && seen && silent && ended;
      for (Queued& q : batch) {
        if (!ok) break;
        if (auto* e = std::get_if<Event>(&q.item)) {
          insert.Bind(1, e->time_ms);
          insert.Bind(2, e->kind);
          insert.Bind(3, e->mac ? FormatMac(*e->mac) : std::string());
          insert.Bind(4, e->address);
          insert.Bind(5, e->text);
          insert.Bind(6, e->fields);
          ok = insert.Step() == SQLITE_DONE;
          insert.Reset();
          continue;
        }
        const auto& s = std::get<AgentSighting>(q.item);
        const std::string mac = FormatMac(s.mac);
        switch (s.what) {
          case AgentSighting::What::kAnswered:
            seen.Bind(1, mac);
            seen.Bind(2, s.address);
            seen.Bind(3, s.name);
            seen.Bind(4, s.model);
            seen.Bind(5, s.firmware);
            seen.Bind(6, s.time_ms);
            seen.Bind(7, int64_t{s.has_record ? 1 : 0});
            ok = seen.Step() == SQLITE_DONE;
            seen.Reset();
            break;
          case AgentSighting::What::kSilent:
            silent.Bind(1, mac);
            ok = silent.Step() == SQLITE_DONE;
            silent.Reset();
            break;
          case AgentSighting::What::kDiscoveryEnded:
            // Who answered the run (or anything since it began) was seen
            // after its start; every other agent missed it.
            ended.Bind(1, s.time_ms);
            ok = ended.Step() == SQLITE_DONE;
            ended.Reset();
            break;
        }
      }
    }
    if (ok) ok = Exec(writer_db_, "COMMIT");
    if (!ok) {
      ReportWriteFailure("cannot be written", sqlite3_errmsg(writer_db_));
      Exec(writer_db_, "ROLLBACK");
    }
  }
  if (ok) {
    written_.fetch_add(events);
    if (failing_) {
      failing_ = false;
      Diag("event store: the database %s is written again\n", options_.path.c_str());
    }
    const int64_t now = NowMs();
    int64_t lag = 0;
    for (const Queued& q : batch) lag = std::max(lag, now - q.queued_ms);
    int64_t seen_max = max_lag_ms_.load();
    while (lag > seen_max && !max_lag_ms_.compare_exchange_weak(seen_max, lag)) {
    }
  } else {
    lost_.fetch_add(events);
  }
}

bool EventStore::PruneSome(size_t rows) {
  if (!OpenWriter()) return false;
  bool more = false;
  if (options_.max_events != 0) {
    // Ids only grow and the oldest go first, so the newest max_events ids
    // are the ones to keep.
    Statement newest(writer_db_, "SELECT max(id) FROM events");
    if (newest && newest.Step() == SQLITE_ROW) {
      const int64_t keep_from = newest.Int(0) - static_cast<int64_t>(options_.max_events);
      if (keep_from > 0) {
        Statement del(writer_db_,
                      "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE id <= ? "
                      "ORDER BY id LIMIT ?)");
        del.Bind(1, keep_from);
        del.Bind(2, static_cast<int64_t>(rows));
        if (del && del.Step() == SQLITE_DONE) {
          more = static_cast<size_t>(sqlite3_changes(writer_db_)) == rows;
        }
      }
    }
  }
  if (options_.max_agents != 0) {
    Statement count(writer_db_, "SELECT count(*) FROM inventory");
    if (count && count.Step() == SQLITE_ROW) {
      const int64_t excess = count.Int(0) - static_cast<int64_t>(options_.max_agents);
      if (excess > 0) {
        Statement del(writer_db_,
                      "DELETE FROM inventory WHERE mac IN (SELECT mac FROM inventory "
                      "ORDER BY online, last_seen LIMIT ?)");
        del.Bind(1, std::min(excess, static_cast<int64_t>(rows)));
        if (del && del.Step() == SQLITE_DONE) more = more || excess > static_cast<int64_t>(rows);
      }
    }
  }
  if (options_.max_days != 0) {
    const int64_t cutoff = NowMs() - static_cast<int64_t>(options_.max_days) * 86400000;
    Statement del(writer_db_,
                  "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time < ? "
                  "ORDER BY time LIMIT ?)");
    del.Bind(1, cutoff);
    del.Bind(2, static_cast<int64_t>(rows));
    if (del && del.Step() == SQLITE_DONE) {
      more = more || static_cast<size_t>(sqlite3_changes(writer_db_)) == rows;
    }
  }
  return more;
}

void EventStore::PruneNow() {
  std::unique_lock lock(mu_);
  const uint64_t ticket = ++prune_all_asked_;
  wake_.notify_one();
  drained_.wait(lock, [&] { return prune_all_done_ >= ticket || stopping_; });
}

void EventStore::ReportQueueLosses() {
  const uint64_t lost = queue_lost_.load();
  const int64_t now = NowMs();
  if (lost == queue_lost_told_ || now - queue_lost_told_ms_ < kQueueLossReportMs) return;
  Diag("event store: the queue of %zu events was full: %llu events lost since the last report\n",
       options_.queue_limit, static_cast<unsigned long long>(lost - queue_lost_told_));
  queue_lost_told_ = lost;
  queue_lost_told_ms_ = now;
}

void EventStore::WriterLoop() {
  NameCurrentThread("EventWriter");
  std::deque<Queued> batch;
  while (true) {
    std::unique_lock lock(mu_);
    const int64_t now = NowMs();
    if (now >= next_prune_ms_) {
      prune_pending_ = true;
      next_prune_ms_ = now + kPruneEveryMs;
    }
    wake_.wait_for(lock, std::chrono::milliseconds(prune_pending_ ? 0 : 1000), [&] {
      return stopping_ || !queue_.empty() || prune_all_asked_ > prune_all_done_;
    });
    const bool stop = stopping_;
    const uint64_t prune_all = prune_all_asked_;
    const size_t n = std::min(queue_.size(), kBatchItems);
    batch.assign(std::make_move_iterator(queue_.begin()),
                 std::make_move_iterator(queue_.begin() + static_cast<ptrdiff_t>(n)));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<ptrdiff_t>(n));
    const bool busy = !queue_.empty();
    // The disk is written without the lock: producers never wait for it.
    lock.unlock();
    if (!batch.empty()) WriteBatch(batch);
    if (prune_all > prune_all_done_) {
      while (PruneSome(kPruneRows)) {
      }
      prune_pending_ = false;
    } else if (prune_pending_ && (!busy || NowMs() - last_prune_step_ms_ >= kPruneStepGapMs)) {
      // One small step at a time, between batches; under a steady flood at
      // least one step a second, so the limits hold while it lasts.
      prune_pending_ = PruneSome(kPruneRows);
      last_prune_step_ms_ = NowMs();
    }
    ReportQueueLosses();
    lock.lock();
    finished_ += batch.size();
    batch.clear();
    prune_all_done_ = prune_all;
    drained_.notify_all();
    if (stop && queue_.empty()) break;
  }
  CloseWriter();
}

sqlite3* EventStore::Reader(std::string* error) {
  if (reader_db_ != nullptr) return reader_db_;
  sqlite3* db = nullptr;
  // Never created here: a database that the writer could not make stays absent.
  if (sqlite3_open_v2(options_.path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    if (error != nullptr) {
      *error = "the event database " + options_.path +
               " cannot be opened: " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    }
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyReaderMs);
  reader_db_ = db;
  return db;
}

bool EventStore::Find(const EventQuery& q, std::vector<StoredEvent>* out, int64_t* newest_id,
                      std::string* error) {
  std::lock_guard lock(reader_mu_);
  sqlite3* db = Reader(error);
  if (db == nullptr) return false;
  auto fail = [&](const char* what) {
    if (error != nullptr)
      *error = std::string("the event database: ") + what + ": " + sqlite3_errmsg(db);
    return false;
  };
  // One read transaction, so that the newest id and the events come from one
  // snapshot: a commit between them would answer events newer than the
  // newest id, which a follower takes for a store that started afresh.
  if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return fail("starting a read");
  }
  struct EndRead {
    sqlite3* db;
    ~EndRead() {
      if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      }
    }
  } end_read{db};
  {
    Statement newest(db, "SELECT max(id) FROM events");
    if (!newest || newest.Step() != SQLITE_ROW) return fail("reading the newest id");
    *newest_id = newest.Int(0);
  }
  int64_t lo = q.after.value_or(0);
  int64_t hi = q.before.value_or(INT64_MAX);
  // Times become an id range through the time index: ids grow with time.
  for (const bool upper : {false, true}) {
    const std::optional<int64_t>& bound = upper ? q.until_ms : q.since_ms;
    if (!bound) continue;
    const Select s = FirstIdFrom(*bound, upper);
    Statement st(db, s.sql);
    if (!st) return fail("preparing a query");
    BindAll(st, s);
    const int rc = st.Step();
    if (rc == SQLITE_ROW) {
      if (upper) {
        hi = std::min(hi, st.Int(0));
      } else {
        lo = std::max(lo, st.Int(0) - 1);
      }
    } else if (rc == SQLITE_DONE) {
      if (!upper) return true;  // nothing is that recent
    } else {
      return fail("reading the times");
    }
  }
  if (lo >= hi) return true;
  std::vector<Select> selects;
  if (q.kinds.empty()) {
    selects.push_back(EventsIn(q, lo, hi, nullptr));
  } else {
    // One search per kind, each through the kind's index in id order; the
    // results are merged below.
    for (const std::string& kind : q.kinds) selects.push_back(EventsIn(q, lo, hi, &kind));
  }
  for (const Select& s : selects) {
    Statement st(db, s.sql);
    if (!st) return fail("preparing a query");
    BindAll(st, s);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      StoredEvent e;
      e.id = st.Int(0);
      e.time_ms = st.Int(1);
      e.kind = st.Text(2);
      e.mac = st.Text(3);
      e.address = st.Text(4);
      e.text = st.Text(5);
      e.fields = st.Text(6);
      out->push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) return fail("reading events");
  }
  if (selects.size() > 1) {
    std::sort(out->begin(), out->end(), [&](const StoredEvent& a, const StoredEvent& b) {
      return q.ascending ? a.id < b.id : a.id > b.id;
    });
    if (out->size() > static_cast<size_t>(q.limit)) out->resize(static_cast<size_t>(q.limit));
  }
  return true;
}

std::vector<std::string> EventStore::PlanOf(const EventQuery& q) {
  std::vector<Select> selects;
  if (q.since_ms) selects.push_back(FirstIdFrom(*q.since_ms, false));
  if (q.until_ms) selects.push_back(FirstIdFrom(*q.until_ms, true));
  if (q.kinds.empty()) {
    selects.push_back(EventsIn(q, q.after.value_or(0), q.before.value_or(INT64_MAX), nullptr));
  } else {
    for (const std::string& kind : q.kinds) {
      selects.push_back(EventsIn(q, q.after.value_or(0), q.before.value_or(INT64_MAX), &kind));
    }
  }
  std::vector<std::string> plans;
  std::lock_guard lock(reader_mu_);
  sqlite3* db = Reader(nullptr);
  if (db == nullptr) return plans;
  for (const Select& s : selects) {
    Statement st(db, "EXPLAIN QUERY PLAN " + s.sql);
    std::string plan = s.sql + "\n";
    if (!st) {
      plans.push_back(plan + "  (cannot prepare)");
      continue;
    }
    BindAll(st, s);
    while (st.Step() == SQLITE_ROW) plan += "  " + st.Text(3) + "\n";
    plans.push_back(plan);
  }
  return plans;
}

bool EventStore::Agents(bool with_offline, std::vector<InventoryAgent>* out, std::string* error) {
  std::lock_guard lock(reader_mu_);
  sqlite3* db = Reader(error);
  if (db == nullptr) return false;
  Statement st(db, std::string("SELECT mac, address, name, model, firmware, first_seen, "
                               "last_seen, online FROM inventory") +
                       (with_offline ? "" : " WHERE online = 1") + " ORDER BY mac");
  if (!st) {
    if (error != nullptr) *error = std::string("the inventory: ") + sqlite3_errmsg(db);
    return false;
  }
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    InventoryAgent a;
    a.mac = st.Text(0);
    a.address = st.Text(1);
    a.name = st.Text(2);
    a.model = st.Text(3);
    a.firmware = st.Text(4);
    a.first_seen_ms = st.Int(5);
    a.last_seen_ms = st.Int(6);
    a.online = st.Int(7) != 0;
    out->push_back(std::move(a));
  }
  if (rc != SQLITE_DONE) {
    if (error != nullptr) *error = std::string("the inventory: ") + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

bool EventStore::ForgetAgent(const Mac& mac, std::string* error) {
  std::lock_guard lock(reader_mu_);
  sqlite3* db = Reader(error);
  if (db == nullptr) return false;
  Statement st(db, "DELETE FROM inventory WHERE mac = ?");
  st.Bind(1, FormatMac(mac));
  if (!st || st.Step() != SQLITE_DONE) {
    if (error != nullptr) *error = std::string("the inventory: ") + sqlite3_errmsg(db);
    return false;
  }
  if (error != nullptr) error->clear();
  return sqlite3_changes(db) > 0;
}

}  // namespace ferro::history
