#!/usr/bin/python3
"""Event history benchmark: a trap flood against the store, and a query over a million events.

    tools/bench/history_bench.py [--rate 10000] [--seconds 10] [--events 1000000]   (as root)

It builds a private test network (namespaces, removed afterwards), starts
the simulator with a few agents and the server from build/dist in a working
folder of its own, starts the engine, and then:

  1. Flood: the simulator sends plain traps at --rate per second for
     --seconds to the server. Every half second the benchmark reads the
     newest stored event (GET /api/events?limit=1) and takes the writer's
     lag as the time between now and that event's time (the trap's arrival);
     after the flood it waits for the last trap to be stored. It prints the
     traps sent, stored as events, counted lost by the store, dropped from
     the full trap list (the server's log), the lag (median, 95th percentile
     and maximum while flooding) and how long the store took to catch up.
  2. Query: the server is stopped, the database filled directly (SQLite,
     one transaction) to --events events spread over the last 30 days, the
     server started again, and GET /api/events?since=T asked for several
     times T (an hour, a day, a week ago), newest first and oldest first,
     each 20 times: the median and maximum answer time of each, against the
     100 ms that a reader must not wait longer than; then `ferroctl events
     --since` as a user runs it, timed as a whole command.

Exit status 0 when every query's maximum stayed under 100 ms, 1 otherwise.
"""

import argparse
import json
import os
import random
import re
import sqlite3
import statistics
import sys
import tempfile
import threading
import time

from benchkit import DEFAULT_DIST, refused, start_server, take_down  # sets the path

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet  # noqa: E402

wire.check_answers = False


def api(target: str) -> dict:
    resp = wire.get(target)
    if resp.status_line != "HTTP/1.1 200 OK":
        raise RuntimeError(f"{target}: {resp.raw[:300]!r}")
    return json.loads(resp.text)


def parse_time(text: str) -> float:
    """RFC 3339 UTC with milliseconds, as the server writes it: seconds."""
    import calendar
    base, _, frac = text.rstrip("Z").partition(".")
    t = calendar.timegm(time.strptime(base, "%Y-%m-%dT%H:%M:%S"))
    return t + (int(frac) / 1000 if frac else 0)


def flood(net, sim, rate: int, seconds: float) -> dict:
    srv = net.srv_ip
    first = api("/api/events?limit=1")["newest_id"]
    lags = []
    done = threading.Event()
    result = {}

    def send():
        result.update(sim.client.call("flood", agents="all", count=int(rate * seconds), to=srv,
                                      pps=rate, seconds=seconds + 5))
        done.set()

    threading.Thread(target=send, daemon=True).start()
    while not done.is_set():
        time.sleep(0.5)
        events = api("/api/events?limit=1&kind=trap")["events"]
        if events:
            lags.append(time.time() - parse_time(events[0]["time"]))
    flood_end = time.monotonic()
    # Caught up: the newest trap stays the same and is "flood N-1".
    sent = result.get("sent", 0)
    caught_up = None
    deadline = time.monotonic() + 120
    last_text = None
    while time.monotonic() < deadline:
        events = api("/api/events?limit=1&kind=trap")["events"]
        text = events[0]["text"] if events else None
        if text == f"flood {sent - 1}" or (text is not None and text == last_text):
            caught_up = time.monotonic() - flood_end
            break
        last_text = text
        time.sleep(0.2)
    answer = api("/api/events?limit=1")
    stored = len_between(first, answer["newest_id"])
    return {"sent": sent, "flood_seconds": result.get("seconds"), "stored": stored,
            "lost": answer["lost"], "lags": lags, "caught_up_s": caught_up}


def len_between(first: int, newest: int) -> int:
    """Trap events with ids in (first, newest], counted in pages of 1000."""
    count = 0
    after = first
    while after < newest:
        page = api(f"/api/events?kind=trap&order=asc&after={after}&limit=1000")["events"]
        if not page:
            break
        count += len(page)
        after = page[-1]["id"]
    return count


def fill(db_path: str, n: int) -> None:
    now_ms = int(time.time() * 1000)
    span = 30 * 86400 * 1000
    db = sqlite3.connect(db_path)
    db.execute("PRAGMA journal_mode=WAL")
    kinds = ["trap"] * 8 + ["agent_dead", "agent_alive", "set_started", "set_outcome", "discovery"]
    rnd = random.Random(1)

    def rows():
        for i in range(n):
            t = now_ms - span + span * i // n
            mac = "02:00:00:00:%02x:%02x" % (i % 200 // 256, i % 200)
            yield (t, rnd.choice(kinds), mac, "10.0.%d.%d" % (i % 200 // 250, i % 200 + 1),
                   "filler event %d" % i, '{"n":%d}' % i)

    db.executemany("INSERT INTO events(time, kind, mac, address, text, fields) "
                   "VALUES(?, ?, ?, ?, ?, ?)", rows())
    db.commit()
    db.close()


def timed(target: str, times: int = 20) -> list[float]:
    out = []
    for _ in range(times):
        start = time.perf_counter()
        resp = wire.get(target)
        out.append((time.perf_counter() - start) * 1000)
        assert resp.status_line == "HTTP/1.1 200 OK", resp.raw[:300]
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rate", type=int, default=10000, help="traps per second")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--events", type=int, default=1000000, help="events for the query run")
    ap.add_argument("--agents", type=int, default=20)
    ap.add_argument("--dist", default=DEFAULT_DIST)
    args = ap.parse_args()
    if (code := refused("history_bench")) is not None:
        return code

    net = TestNet(lans=1)
    sim = server = None
    workdir = tempfile.mkdtemp(prefix="ferrolink-history-bench-")
    try:
        net.up()
        wire.use_namespace(net.ns["srv"])
        sim = SimProcess.start(net, "lan", ["--first-ip", net.agent_ip(0, "lan"),
                                            "--count", str(args.agents)])
        server = start_server(net, args.dist, workdir)
        assert "<errorcode>0</errorcode>" in wire.call("EngineLayerStartup").text

        f = flood(net, sim, args.rate, args.seconds)
        dropped = sum(int(n) for n in re.findall(r"(\d+) oldest traps dropped", server.log()))
        lags = sorted(f["lags"]) or [0.0]
        print(f"flood: {f['sent']} traps sent in {f['flood_seconds']} s "
              f"({f['sent'] / max(f['flood_seconds'] or 1, 0.001):.0f}/s)")
        print(f"  stored as events: {f['stored']}; lost by the store: {f['lost']}; "
              f"dropped from the full trap list: {dropped}")
        print(f"  writer lag while flooding: median {statistics.median(lags) * 1000:.0f} ms, "
              f"p95 {lags[int(len(lags) * 0.95) - 1 if len(lags) > 1 else 0] * 1000:.0f} ms, "
              f"max {lags[-1] * 1000:.0f} ms ({len(lags)} readings)")
        print(f"  caught up {f['caught_up_s']:.2f} s after the flood ended"
              if f["caught_up_s"] is not None else "  never caught up within 120 s")

        server.stop()
        db_path = os.path.join(workdir, "events.db")
        start = time.monotonic()
        fill(db_path, args.events)
        print(f"query: {args.events} events written directly in {time.monotonic() - start:.1f} s")
        server = wire.Server(args.dist, cwd=workdir,
                             prefix=["ip", "netns", "exec", net.ns["srv"]]).start()
        worst = 0.0
        now = time.time()
        for label, since in (("1 hour", 3600), ("1 day", 86400), ("7 days", 7 * 86400),
                             ("29 days", 29 * 86400)):
            for order in ("desc", "asc"):
                ms = timed(f"/api/events?since={int(now - since)}&order={order}&limit=100")
                worst = max(worst, max(ms))
                print(f"  since {label:8} {order:4}: median {statistics.median(ms):6.1f} ms, "
                      f"max {max(ms):6.1f} ms")
        for target in ("/api/events?limit=1000", "/api/events?kind=discovery&limit=100",
                       "/api/events?mac=02:00:00:00:00:07&since=%d" % int(now - 7 * 86400)):
            ms = timed(target)
            worst = max(worst, max(ms))
            print(f"  {target}: median {statistics.median(ms):6.1f} ms, max {max(ms):6.1f} ms")
        # The whole command as a user runs it: Python's start, ferroctl's
        # imports, the request and the table.
        ferroctl = [sys.executable, os.path.join(args.dist, "tools", "ferroctl"), "events"]
        for label, extra in (("--since 1h", ["--since", "1h"]),
                             ("--since 1d --json", ["--since", "1d", "--json"])):
            ms = []
            for _ in range(10):
                start = time.perf_counter()
                done = net.run_in("srv", ferroctl + extra, check=False)
                ms.append((time.perf_counter() - start) * 1000)
                assert done.returncode == 0, done.stderr[-300:]
            worst_cli = max(ms)
            print(f"  ferroctl events {label}: median {statistics.median(ms):6.1f} ms, "
                  f"max {worst_cli:6.1f} ms (whole command)")
        print(f"worst answer: {worst:.1f} ms (limit 100 ms)")
        return 0 if worst < 100 else 1
    finally:
        take_down(net, server, sim)
        import shutil
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
