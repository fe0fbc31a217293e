// The event history: the query filters as clients write them, what the
// store keeps and answers (through an index for every filter), retention,
// and that a full queue or an unwritable database loses events, counted,
// without stopping anyone. Also the inventory and the syslog lines.

#include <gtest/gtest.h>
#include <sqlite3.h>
#ifdef _WIN32
#include <process.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "history/event_query.h"
#include "history/event_store.h"
#include "history/json_answers.h"
#include "history/store_options.h"
#include "history/syslog_line.h"

namespace ferro::history {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class TempDir {
 public:
#ifdef _WIN32
  // No mkdtemp: a name of this process and a count, made here or not at all.
  TempDir() {
    static std::atomic<int> count{0};
    const fs::path path =
        fs::temp_directory_path() /
        ("ferro-history-" + std::to_string(::_getpid()) + "-" + std::to_string(count++));
    if (fs::create_directory(path)) path_ = path.string();
  }
#else
  TempDir() {
    char name[] = "/tmp/ferro-history-XXXXXX";
    path_ = ::mkdtemp(name);
  }
#endif
  ~TempDir() { fs::remove_all(path_); }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

constexpr Mac kMacA = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};
constexpr Mac kMacB = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xdd};

Event MakeEvent(const char* kind, std::optional<Mac> mac, int64_t time_ms, std::string text = "t") {
  Event e;
  e.kind = kind;
  e.mac = mac;
  e.address = mac ? "192.168.1.20" : "";
  e.time_ms = time_ms;
  e.text = std::move(text);
  e.fields = R"({"n":1})";
  return e;
}

std::vector<int64_t> Ids(EventStore& store, std::string_view query) {
  EventQuery q;
  EXPECT_EQ(ParseEventQuery(query, &q), std::nullopt) << query;
  std::vector<StoredEvent> out;
  int64_t newest = 0;
  std::string error;
  EXPECT_TRUE(store.Find(q, &out, &newest, &error)) << error;
  std::vector<int64_t> ids;
  for (const StoredEvent& e : out) ids.push_back(e.id);
  return ids;
}

TEST(EventQueryParse, FiltersAndRefusals) {
  EventQuery q;
  ASSERT_EQ(ParseEventQuery("after=5&before=90&since=2026-12-09T20:40:00.5Z&until=1765312800&"
                            "mac=00-11-22-AA-BB-CC&kind=trap,agent_dead,trap&limit=7&order=asc",
                            &q),
            std::nullopt);
  EXPECT_EQ(q.after, 5);
  EXPECT_EQ(q.before, 90);
  EXPECT_EQ(q.since_ms, 1796848800500);
  EXPECT_EQ(q.until_ms, int64_t{1765312800} * 1000);
  EXPECT_EQ(q.mac, kMacA);
  EXPECT_EQ(q.kinds, (std::vector<std::string>{"trap", "agent_dead"}));
  EXPECT_EQ(q.limit, 7);
  EXPECT_TRUE(q.ascending);
  ASSERT_EQ(ParseEventQuery("", &q), std::nullopt);
  EXPECT_EQ(q.limit, kDefaultQueryLimit);
  EXPECT_FALSE(q.ascending);
  // Offsets and percent-encoding.
  ASSERT_EQ(ParseEventQuery("since=2026-12-09T21%3A40%3A00%2B01%3A00", &q), std::nullopt);
  EXPECT_EQ(q.since_ms, 1796848800000);
  for (const char* bad :
       {"limit=0", "limit=1001", "limit=x", "after=-1", "after=1e3", "order=up", "kind=trap,nope",
        "kind=", "mac=00:11:22:aa:bb", "mac=00:11-22:aa:bb:cc", "since=2026-02-30T00:00:00Z",
        "since=2026-12-09T20:40:00", "since=1969-12-31T23:59:59Z", "until=99999999999999",
        "since=%zz", "since=%4", "colour=red", "limit=5&limit=6", "after=99999999999999999999"}) {
    EXPECT_NE(ParseEventQuery(bad, &q), std::nullopt) << bad;
  }
  EXPECT_EQ(FormatTime(1796848800123), "2026-12-09T20:40:00.123Z");
  EXPECT_EQ(ParseTime(FormatTime(1796848800123)), 1796848800123);
}

TEST(EventStore, FiltersAnswerInOrderAndIdsOnlyGrow) {
  TempDir dir;
  EventStore store({.path = dir.File("events.db")});
  const int64_t t0 = NowMs() - 100000;
  // ids 1..6
  store.Record(MakeEvent("server_start", std::nullopt, t0));
  store.Record(MakeEvent("trap", kMacA, t0 + 1000));
  store.Record(MakeEvent("trap", kMacB, t0 + 2000));
  store.Record(MakeEvent("agent_dead", kMacA, t0 + 3000));
  store.Record(MakeEvent("discovery", std::nullopt, t0 + 4000));
  store.Record(MakeEvent("agent_alive", kMacA, t0 + 5000));
  ASSERT_TRUE(store.Flush());
  EXPECT_EQ(store.written(), 6u);

  EXPECT_EQ(Ids(store, ""), (std::vector<int64_t>{6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(Ids(store, "order=asc&after=4"), (std::vector<int64_t>{5, 6}));
  EXPECT_EQ(Ids(store, "before=3"), (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(Ids(store, "limit=2"), (std::vector<int64_t>{6, 5}));
  EXPECT_EQ(Ids(store, "mac=00:11:22:AA:BB:CC"), (std::vector<int64_t>{6, 4, 2}));
  EXPECT_EQ(Ids(store, "kind=agent_alive,trap&limit=2"), (std::vector<int64_t>{6, 3}));
  EXPECT_EQ(Ids(store, "kind=trap,agent_dead&order=asc"), (std::vector<int64_t>{2, 3, 4}));
  EXPECT_EQ(Ids(store, "kind=trap&mac=00:11:22:aa:bb:dd"), (std::vector<int64_t>{3}));
  const auto seconds = [&](int64_t ms) { return std::to_string(ms / 1000); };
  EXPECT_EQ(Ids(store, "since=" + FormatTime(t0 + 2000) + "&until=" + FormatTime(t0 + 4000)),
            (std::vector<int64_t>{5, 4, 3}));
  EXPECT_EQ(Ids(store, "since=" + seconds(NowMs() + 10000)), (std::vector<int64_t>{}));
  EXPECT_EQ(Ids(store, "until=" + FormatTime(t0 - 1)), (std::vector<int64_t>{}));

  // The answer as clients read it.
  const Answer a = EventsAnswer(store, "kind=trap&limit=1");
  ASSERT_EQ(a.status, 200);
  const json j = json::parse(a.json);
  EXPECT_EQ(j["newest_id"], 6);
  EXPECT_EQ(j["lost"], 0);
  ASSERT_EQ(j["events"].size(), 1u);
  EXPECT_EQ(j["events"][0]["mac"], "00:11:22:aa:bb:dd");
  EXPECT_EQ(j["events"][0]["fields"]["n"], 1);
  EXPECT_EQ(j["events"][0]["time"], FormatTime(t0 + 2000));
  EXPECT_EQ(EventsAnswer(store, "limit=0").status, 400);

  // Emptied (every event pruned), the store still never gives an id twice:
  // a follower's cursor stays valid.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("events.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DELETE FROM events", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  store.Record(MakeEvent("trap", kMacA, 0));
  ASSERT_TRUE(store.Flush());
  EXPECT_EQ(Ids(store, ""), (std::vector<int64_t>{7}));
}

// A follower reads after its cursor while the writer commits: each answer's
// newest id is at least the id of every event in it (taken in one
// snapshot). Read apart, a commit between the two made a newer event come
// with an older newest id, and followers took that for a store that started
// afresh and showed every event again.
TEST(EventStore, NewestIdIsNeverBehindTheEventsAnswered) {
  TempDir dir;
  EventStore store({.path = dir.File("events.db")});
  store.Record(MakeEvent("server_start", std::nullopt, NowMs()));
  ASSERT_TRUE(store.Flush());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 3000 && !done; ++i) {
      store.Record(MakeEvent("trap", kMacA, NowMs()));
      if (i % 10 == 9) store.Flush();
    }
    done = true;
  });
  EventQuery q;
  ASSERT_EQ(ParseEventQuery("order=asc&kind=trap", &q), std::nullopt);
  int behind = 0;
  int64_t cursor = 0;
  for (int reads = 0; reads < 20000 && !done; ++reads) {
    q.after = cursor;
    std::vector<StoredEvent> out;
    int64_t newest = 0;
    std::string error;
    ASSERT_TRUE(store.Find(q, &out, &newest, &error)) << error;
    for (const StoredEvent& e : out) {
      if (e.id > newest) ++behind;
      cursor = std::max(cursor, e.id);
    }
  }
  done = true;
  writer.join();
  EXPECT_EQ(behind, 0);
}

// Every statement of every filter is a search through an index or the
// primary key: never a scan of the table, never a sort.
TEST(EventStore, EveryFilterUsesAnIndex) {
  TempDir dir;
  EventStore store({.path = dir.File("events.db")});
  for (int i = 0; i < 200; ++i) {
    store.Record(MakeEvent(i % 3 == 0 ? "trap" : "discovery", i % 2 ? kMacA : kMacB, 0));
  }
  ASSERT_TRUE(store.Flush());
  for (const char* query :
       {"", "order=asc", "after=10", "before=50&order=asc", "mac=00:11:22:aa:bb:cc", "kind=trap",
        "kind=trap,discovery&order=asc", "since=1700000000", "until=2026-12-09T20:40:00Z",
        "since=1700000000&mac=00:11:22:aa:bb:cc&kind=trap&after=3"}) {
    EventQuery q;
    ASSERT_EQ(ParseEventQuery(query, &q), std::nullopt);
    const std::vector<std::string> plans = store.PlanOf(q);
    ASSERT_FALSE(plans.empty());
    for (const std::string& plan : plans) {
      EXPECT_NE(plan.find("SEARCH"), std::string::npos) << query << "\n" << plan;
      EXPECT_EQ(plan.find("SCAN"), std::string::npos) << query << "\n" << plan;
      EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << query << "\n" << plan;
    }
  }
}

TEST(EventStore, RetentionByCountAndAge) {
  TempDir dir;
  const int64_t now = NowMs();
  {
    EventStore store({.path = dir.File("events.db"), .max_events = 0, .max_days = 0});
    for (int i = 0; i < 5000; ++i) {
      store.Record(MakeEvent("trap", kMacA, now - (i < 10 ? 3 * 86400000 : 0)));
    }
    ASSERT_TRUE(store.Flush());
    store.PruneNow();  // no limits: nothing goes
    EXPECT_EQ(Ids(store, "limit=1&order=asc"), (std::vector<int64_t>{1}));
  }
  EventStore store({.path = dir.File("events.db"), .max_events = 4500, .max_days = 2});
  store.PruneNow();
  // The ten old ones went by age, then the oldest by count.
  EXPECT_EQ(Ids(store, "limit=1&order=asc"), (std::vector<int64_t>{501}));
  EXPECT_EQ(Ids(store, "limit=1"), (std::vector<int64_t>{5000}));
}

// The writer waits on a lock that another connection holds: meanwhile the
// queue fills and the surplus is lost, counted; nobody waits. Once the
// lock is gone, the rest is written.
TEST(EventStore, FullQueueAndBusyDatabaseLoseEventsCounted) {
  TempDir dir;
  const std::string path = dir.File("events.db");
  EventStore store({.path = path, .queue_limit = 10});
  store.Record(MakeEvent("server_start", std::nullopt, 0));
  ASSERT_TRUE(store.Flush());

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  int queued = 0;
  for (int i = 0; i < 100; ++i) queued += store.Record(MakeEvent("trap", kMacA, 0)) ? 1 : 0;
  EXPECT_LE(queued, 20);  // the queue's 10 and perhaps a batch the writer took
  ASSERT_TRUE(store.Flush());
  // The writer gave up on the lock: what it held is lost as well.
  EXPECT_EQ(store.written() + store.lost(), 101u);
  EXPECT_GE(store.lost(), 80u);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);

  const uint64_t written = store.written();
  store.Record(MakeEvent("trap", kMacA, 0));
  ASSERT_TRUE(store.Flush());
  EXPECT_EQ(store.written(), written + 1);
}

TEST(EventStore, DatabaseThatCannotBeOpenedLosesEventsAndAnswersAnError) {
  EventStore store({.path = "/proc/no-such-folder/events.db"});
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(store.Record(MakeEvent("trap", kMacA, 0)));
  ASSERT_TRUE(store.Flush());
  EXPECT_EQ(store.written(), 0u);
  EXPECT_EQ(store.lost(), 3u);
  const Answer a = EventsAnswer(store, "");
  EXPECT_EQ(a.status, 503);
  EXPECT_NE(json::parse(a.json)["error"].get<std::string>().find("cannot be opened"),
            std::string::npos);
}

TEST(EventStore, InventoryOnlineOfflineAndForget) {
  TempDir dir;
  EventStore store({.path = dir.File("events.db")});
  const int64_t t0 = NowMs() - 60000;
  const auto answered = [&](const Mac& mac, int64_t t, const char* name) {
    AgentSighting s;
    s.mac = mac;
    s.time_ms = t;
    s.has_record = name != nullptr;
    s.address = "192.168.1.20";
    if (name != nullptr) {
      s.name = name;
      s.model = "SW-8";
      s.firmware = "1.2.3";
    }
    store.NoteAgent(s);
  };
  answered(kMacA, t0, "room-4");
  answered(kMacB, t0, "hall");
  answered(kMacA, t0 + 1000, nullptr);  // a reply without a record keeps the name
  // A discovery run that began at t0 + 500: only A answered since.
  AgentSighting ended;
  ended.what = AgentSighting::What::kDiscoveryEnded;
  ended.time_ms = t0 + 500;
  store.NoteAgent(ended);
  ASSERT_TRUE(store.Flush());

  json j = json::parse(InventoryAnswer(store, "", {"00:11:22:aa:bb:cc"}).json);
  ASSERT_EQ(j["agents"].size(), 1u);
  EXPECT_EQ(j["agents"][0]["name"], "room-4");
  EXPECT_EQ(j["agents"][0]["watched"], true);
  EXPECT_EQ(j["agents"][0]["first_seen"], FormatTime(t0));
  EXPECT_EQ(j["agents"][0]["last_seen"], FormatTime(t0 + 1000));
  j = json::parse(InventoryAnswer(store, "offline=1", {}).json);
  ASSERT_EQ(j["agents"].size(), 2u);
  EXPECT_EQ(j["agents"][1]["mac"], "00:11:22:aa:bb:dd");
  EXPECT_EQ(j["agents"][1]["online"], false);
  EXPECT_EQ(InventoryAnswer(store, "offline=yes", {}).status, 400);

  // A watched agent that falls silent goes offline.
  AgentSighting silent;
  silent.what = AgentSighting::What::kSilent;
  silent.mac = kMacA;
  store.NoteAgent(silent);
  ASSERT_TRUE(store.Flush());
  EXPECT_EQ(json::parse(InventoryAnswer(store, "", {}).json)["agents"].size(), 0u);

  EXPECT_EQ(ForgetAnswer(store, "mac=00-11-22-AA-BB-DD").status, 200);
  EXPECT_EQ(ForgetAnswer(store, "mac=00:11:22:aa:bb:dd").status, 404);
  EXPECT_EQ(ForgetAnswer(store, "mac=nope").status, 400);
  EXPECT_EQ(json::parse(InventoryAnswer(store, "offline=1", {}).json)["agents"].size(), 1u);
}

TEST(EventStore, InventoryBoundDropsOfflineAgentsSeenLongestAgoFirst) {
  TempDir dir;
  EventStore store({.path = dir.File("events.db"), .max_agents = 3});
  const int64_t t0 = NowMs() - 60000;
  for (uint8_t i = 1; i <= 6; ++i) {  // 1 and 2 answer first, then go silent
    AgentSighting s;
    s.mac = Mac{0x02, 0, 0, 0, 0, i};
    s.time_ms = t0 + i * 1000;
    store.NoteAgent(s);
  }
  for (const uint8_t i : {uint8_t{1}, uint8_t{2}}) {
    AgentSighting silent;
    silent.what = AgentSighting::What::kSilent;
    silent.mac = Mac{0x02, 0, 0, 0, 0, i};
    store.NoteAgent(silent);
  }
  ASSERT_TRUE(store.Flush());
  store.PruneNow();
  const json j = json::parse(InventoryAnswer(store, "offline=1", {}).json);
  ASSERT_EQ(j["agents"].size(), 3u);
  for (const auto& agent : j["agents"]) {
    EXPECT_TRUE(agent["online"].get<bool>()) << agent["mac"];
    EXPECT_NE(agent["mac"], "02:00:00:00:00:03");  // the online agent seen longest ago went too
  }
}

TEST(StoreOptions, FromTheConfigurationText) {
  StoreOptions o;
  ApplyStoreOptions(
      "magic_cookie=1\r\nevent_database=/var/lib/x.db\r\nevent_max_count=500\r\n"
      "event_max_days=abc\r\nevent_syslog=1\r\n",
      &o);
  EXPECT_EQ(o.path, "/var/lib/x.db");
  EXPECT_EQ(o.max_events, 500u);
  EXPECT_EQ(o.max_days, kDefaultMaxDays);  // not a number: kept
  EXPECT_TRUE(o.syslog);
}

// The local syslog socket is a Unix datagram socket: Linux only.
#ifndef _WIN32
TEST(Syslog, MessageFormatAndNonBlockingSend) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const std::string m = SyslogMessage(1796848800123, "agent_dead", "00:11:22:aa:bb:cc",
                                      "192.168.1.20", "a \"b\"]\nc", 42);
  EXPECT_EQ(m,
            "<28>Dec  9 20:40:00 ferrolink[42]: [ferrolink@32473 kind=\"agent_dead\" "
            "mac=\"00:11:22:aa:bb:cc\" address=\"192.168.1.20\"] a \"b\"] c");
  EXPECT_EQ(SyslogMessage(0, "server_start", "", "", "", 1),
            "<30>Jan  1 00:00:00 ferrolink[1]: [ferrolink@32473 kind=\"server_start\"]");

  TempDir dir;
  const std::string path = dir.File("log");
  SyslogSender nowhere(path);
  EXPECT_FALSE(nowhere.Send("x"));  // no socket: dropped at once

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  SyslogSender sender(path);
  ASSERT_TRUE(sender.Send(m));
  char got[512] = {};
  EXPECT_EQ(::recv(fd, got, sizeof got, MSG_DONTWAIT), static_cast<ssize_t>(m.size()));
  EXPECT_EQ(std::string(got), m);
  // A listener that reads nothing: the sender drops rather than waits.
  int dropped = 0;
  for (int i = 0; i < 2000; ++i) dropped += sender.Send(m) ? 0 : 1;
  EXPECT_GT(dropped, 0);
  ::close(fd);
}
#endif

}  // namespace
}  // namespace ferro::history
