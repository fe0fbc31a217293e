#!/usr/bin/python3
"""User-interface benchmark: the devices table with N simulated agents.

    tools/bench/ui_render_bench.py [--agents 1000,10000] [--runs 3]    (as root)

For each N it builds a private test network (namespaces, removed
afterwards), starts the simulator with N agents, the server from
build/dist and headless Chromium in the server namespace, opens the page,
presses Discover and waits until all N are listed. Then, inside the page
(best of --runs):
  fetch_ms   GetSwitchInfoList of the whole list: request until the answer
             is in the browser (server work and transfer)
  parse_ms   answer -> N agent records (XML parse and conversion)
  draw_ms    records -> list, sort, filter and the visible rows drawn
  render_ms  answer in the browser -> table painted (parse + draw + paint):
             the figure that must stay under 2 s for 10,000 agents
  sort_ms    a click on the Name column until the re-sorted rows are drawn
  filter_ms  a filter text until the matching rows are drawn
Each row after the first also shows its render_ms as a ratio to the first
row's (the anchor), so machines of different speed compare.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

from benchkit import DEFAULT_DIST, refused, start_server, take_down  # sets the path

import cdp  # noqa: E402
import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet  # noqa: E402

PAGE = f"http://127.0.0.1:{wire.SERVICE_PORT}/tools/js_client/index.html"

# Runs in the page: one full list refresh, then a sort and a filter, each
# timed to the next painted frame.
MEASURE = """(async function () {
  function frame() { return new Promise(function (r) { requestAnimationFrame(function () { setTimeout(r, 0); }); }); }
  await FV.devices.refreshAll();
  var list = FV.devices.stats.lastList;
  var t = performance.now();
  document.querySelector('#grid-head div[data-sort=name]').click();
  await frame();
  var sortMs = performance.now() - t;
  FV.devices.model.filter = 'switch-0001'; t = performance.now();
  FV.devices.applyView(); await frame();
  var filterMs = performance.now() - t;
  FV.devices.model.filter = ''; FV.devices.model.sort = {key: 'ip', dir: 1}; FV.devices.applyView();
  return {count: list.count, fetch: list.fetchMs, parse: list.parseMs, draw: list.drawMs, render: list.totalMs,
          sort: sortMs, filter: filterMs, rows: document.querySelectorAll('#grid-rows .row').length};
})()"""


def run(agents: int, runs: int, dist: str) -> dict:
    net = TestNet(lans=1)
    net.up()
    workdir = tempfile.mkdtemp(prefix="ferrolink-uibench-")
    server = sim = browser = None
    try:
        wire.use_namespace(net.ns["srv"])
        sim = SimProcess.start(net, "lan", ["--first-ip", net.agent_ip(0, "lan"), "--count", str(agents),
                                            "--spread-ms", str(min(2500, agents // 4))], ready_timeout=120)
        server = start_server(net, dist, workdir)
        browser = cdp.Browser(prefix=["ip", "netns", "exec", net.ns["srv"]]).start()
        page = browser.page()
        page.goto(PAGE)
        page.wait_for("FV.app.engine.errorcode === 0", 30)
        # Discovery until the list stops growing (the first may find the
        # sockets still opening).
        last, deadline = -1, time.monotonic() + 120
        while time.monotonic() < deadline:
            page.click("#discover")
            page.wait_for("!FV.devices.model.discovering", 120)
            n = page.eval("FV.devices.model.rows.length")
            if n >= agents or n == last:
                break
            last = n
        results = [page.eval(MEASURE, timeout=300) for _ in range(runs)]
        best = min(results, key=lambda r: r["render"])
        best["sort"] = min(r["sort"] for r in results)
        best["filter"] = min(r["filter"] for r in results)
        best["agents"] = agents
        return best
    finally:
        take_down(net, browser, server, sim)
        shutil.rmtree(workdir, ignore_errors=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--agents", default="1000,10000")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dist", default=DEFAULT_DIST)
    args = ap.parse_args()
    if (code := refused("ui_render_bench")) is not None:
        return code
    if cdp.CHROMIUM is None:
        print("ui_render_bench: chromium is not installed", file=sys.stderr)
        return 77
    os.environ["FERRO_DIST"] = args.dist
    print(f"{'agents':>7} {'listed':>7} {'fetch_ms':>9} {'parse_ms':>9} {'draw_ms':>8} {'render_ms':>10} "
          f"{'x_anchor':>9} {'sort_ms':>8} {'filter_ms':>10} {'drawn':>6}")
    anchor = None
    for n in (int(x) for x in args.agents.split(",")):
        r = run(n, args.runs, args.dist)
        anchor = anchor or r["render"]
        print(f"{r['agents']:>7} {r['count']:>7} {r['fetch']:>9.0f} {r['parse']:>9.0f} {r['draw']:>8.0f} "
              f"{r['render']:>10.0f} {r['render'] / anchor:>9.2f} {r['sort']:>8.0f} {r['filter']:>10.0f} "
              f"{r['rows']:>6}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
