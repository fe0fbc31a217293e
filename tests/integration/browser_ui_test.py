"""The user interface in a real browser: headless Chromium, driven over the
DevTools protocol, opens the page the server serves and works it as a user
would, against the server in the server namespace of a private test network
and simulated agents on its LAN. Every test leaves a screenshot in
$FERRO_SHOTS (the build tree)."""

import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))

import cdp  # noqa: E402
import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet, require_netns  # noqa: E402

AGENTS = 20
CTL = os.path.join(wire.dist_dir(), "tools", "ferroctl")
PAGE = f"http://127.0.0.1:{wire.SERVICE_PORT}/tools/js_client/index.html"
SHOTS = os.environ.get("FERRO_SHOTS") or os.path.join(tempfile.gettempdir(), "ferrolink-screenshots")


def value(xml: str, name: str) -> str:
    m = re.search(rf"<{name}>(.*?)</{name}>|<{name}/>", xml, re.S)
    return (m.group(1) or "") if m else ""


class Deployment:
    """Test network, simulator, server (own working folder) and a browser,
    the last two in the server namespace."""

    def __init__(self, agents: int, sim_args=()):
        self.net = TestNet(lans=1)
        self.net.up()
        self.server = self.sim = self.browser = None
        self.workdir = tempfile.mkdtemp(prefix="ferrolink-ui-")
        try:
            wire.use_namespace(self.net.ns["srv"])
            self.sim = SimProcess.start(self.net, "lan", ["--first-ip", self.net.agent_ip(0, "lan"),
                                                          "--count", str(agents), *sim_args])
            os.makedirs(os.path.join(self.workdir, "cfg"))
            shutil.copy(os.path.join(wire.dist_dir(), "cfg", "define.ecf"), self.ecf)
            # The console's sample requests, as beside an installed server.
            os.symlink(os.path.join(wire.dist_dir(), "auto"), os.path.join(self.workdir, "auto"))
            self.start_server()
            self.browser = cdp.Browser(prefix=["ip", "netns", "exec", self.net.ns["srv"]]).start()
            self.page = self.browser.page()
        except BaseException:
            self.close()
            raise

    @property
    def ecf(self) -> str:
        return os.path.join(self.workdir, "cfg", "define.ecf")

    def start_server(self) -> wire.Server:
        self.server = wire.Server(cwd=self.workdir, prefix=["ip", "netns", "exec", self.net.ns["srv"]])
        return self.server.start()

    def close(self):
        if self.browser:
            self.browser.stop()
        if self.server:
            self.server.stop()
        if self.sim:
            self.sim.stop()
        wire.use_namespace(None)
        self.net.down()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def soap(self, operation: str, children: str = "") -> str:
        resp = wire.call(operation, children)
        if "<SOAP-ENV:Fault>" in resp.text:
            raise AssertionError(f"{operation} failed: {resp.text[:400]}")
        return resp.text

    def agent(self, index: int) -> dict:
        return self.sim.client.call("get", agents=index)["agents"][0]

    def ctl(self, *args: str, **popen) -> subprocess.Popen:
        """ferroctl in the server namespace, started."""
        return subprocess.Popen(["ip", "netns", "exec", self.net.ns["srv"], CTL, *args],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)

    def ctl_json(self, *args: str):
        p = self.ctl(*args, "--json")
        out, err = p.communicate(timeout=60)
        if p.returncode != 0:
            raise AssertionError(f"ferroctl {args}: {err}")
        return json.loads(out)


@unittest.skipIf(cdp.CHROMIUM is None, "chromium is not installed")
@require_netns
class DevicesViewTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(AGENTS, ["--loader", "1"])  # the last agent runs its loader
        cls.page = cls.d.page

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def setUp(self):
        self.d.sim.client.call("reset")
        self.d.sim.client.call("clear")  # what the agents received and sent
        self.d.sim.client.call("silence", ms=0)
        # Every scenario starts from an empty watch list and a fresh page.
        while "<SOAP-ENV:Fault>" not in wire.call("GetMonitorStatus", "<monitorNum>1</monitorNum>").text:
            ip = value(self.d.soap("GetMonitorStatus", "<monitorNum>1</monitorNum>"), "agentIpAddr")
            self.d.soap("DelMonitorAgent", f"<strIpAddress>{ip}</strIpAddress>")
        self.page.goto(PAGE)
        self.page.wait_for("FV.app.engine.errorcode === 0 && FV.traps.loaded()")
        self.page.problems(clear=True)

    def tearDown(self):
        self.page.screenshot(os.path.join(SHOTS, f"{self._testMethodName}.png"))

    # -- helpers -----------------------------------------------------------
    def discover(self):
        self.page.click("#discover")
        self.page.wait_for(f"FV.devices.model.rows.length === {AGENTS} && !FV.devices.model.discovering", 20)

    def shown_rows(self) -> list[dict]:
        """The table rows in the DOM, as their cells' texts."""
        return self.page.eval("""Array.from(document.querySelectorAll('#grid-rows .row')).map(function (r) {
            var c = r.children; return {key: r.getAttribute('data-key'), state: c[1].innerText, ip: c[2].innerText,
              mac: c[3].innerText, name: c[4].innerText, model: c[5].innerText, fw: c[6].innerText,
              location: c[7].innerText, mode: c[8].innerText, cls: r.className}; })""")

    def click_row(self, mac: str, extra: str = ""):
        self.page.eval(f"""(function () {{
            var r = document.querySelector('#grid-rows .row[data-key="{mac}"]');
            if (!r) throw new Error('row {mac} not shown');
            r.children[4].dispatchEvent(new MouseEvent('click', {{bubbles: true{extra}}})); return true; }})()""")

    def message(self, selector: str) -> tuple[str, str]:
        """A message element's text and class."""
        return tuple(self.page.eval(f"""(function () {{ var e = document.querySelector({selector!r});
            return [e.innerText, e.className]; }})()"""))

    def modal(self) -> str:
        self.page.wait_for("document.getElementById('modal').classList.contains('shown')")
        return self.page.text("#modal-text")

    def in_view(self, selector: str) -> bool:
        """Whether the element is shown and wholly inside the window."""
        return self.page.eval(f"""(function () {{ var e = document.querySelector({selector!r});
            if (!e || e.hidden || !e.offsetParent) return false;
            var r = e.getBoundingClientRect();
            return r.top >= 0 && r.bottom <= innerHeight && r.left >= 0 && r.right <= innerWidth; }})()""")

    def row(self, mac: str) -> dict:
        rows = [r for r in self.shown_rows() if r["mac"] == mac]
        self.assertEqual(len(rows), 1, f"{mac} shown {len(rows)} times")
        return rows[0]

    # -- tests ---------------------------------------------------------------
    def test_discover_twenty_sort_filter_and_details(self):
        self.discover()
        rows = self.shown_rows()
        self.assertEqual(len(rows), AGENTS)  # 20 rows fit: all drawn
        by_mac = {r["mac"]: r for r in rows}
        for i in (0, 7, 18):
            a = self.d.agent(i)
            r = by_mac[a["mac"]]
            self.assertEqual(r["ip"], a["ip"])
            self.assertEqual(r["name"], a["fields"]["systemName"])
            self.assertEqual(r["model"], a["fields"]["productName"])
            self.assertEqual(r["fw"], a["fields"]["fwVersion"])
            self.assertEqual(r["state"], "Discovered")
            self.assertEqual(r["mode"], "Normal")
        self.assertEqual(by_mac[self.d.agent(19)["mac"]]["mode"], "Loader")
        self.assertIn("20 devices, 0 watched", self.page.text("#counts"))
        # Sorted by address by default; the name column sorts both ways.
        ips = [r["ip"] for r in rows]
        self.assertEqual(ips, sorted(ips, key=lambda s: tuple(int(x) for x in s.split("."))))
        self.page.click("#grid-head div[data-sort=name]")
        self.page.click("#grid-head div[data-sort=name]")
        names = [r["name"] for r in self.shown_rows()]
        self.assertEqual(names, sorted(names, reverse=True))
        # The filter matches any column; a MAC picks exactly one device.
        a5 = self.d.agent(5)
        self.page.fill("#filter", a5["mac"].lower())
        self.page.wait_for("document.querySelectorAll('#grid-rows .row').length === 1")
        self.assertIn("(1 shown)", self.page.text("#counts"))
        self.page.fill("#filter", "")
        self.page.wait_for(f"document.querySelectorAll('#grid-rows .row').length === {AGENTS}")

        # The form offers only what the device supports: radios for an
        # access point, none for a switch.
        kinds = {i: self.d.agent(i)["kind"] for i in range(4)}
        ap = next(i for i, k in kinds.items() if k == "ap")
        switch = next(i for i, k in kinds.items() if k == "switch")
        self.click_row(self.d.agent(switch)["mac"])
        self.page.wait_for("!document.getElementById('details-one').hidden")
        self.assertTrue(self.page.eval("!!document.getElementById('set-systemName')"))
        self.assertFalse(self.page.eval("!!document.getElementById('set-wifiSSID')"))
        self.assertEqual(self.page.eval("document.getElementById('set-systemName').value"),
                         self.d.agent(switch)["fields"]["systemName"])
        ap_agent = self.d.agent(ap)
        self.click_row(ap_agent["mac"])
        self.page.wait_for("!!document.getElementById('set-wifiSSID')")
        self.assertEqual(self.page.eval("document.getElementById('set-wifiSSID').value"),
                         ap_agent["fields"]["wifiSSID"])
        # A device running its loader offers its addresses only.
        self.click_row(self.d.agent(19)["mac"])
        self.page.wait_for("!!document.getElementById('set-agentIpAddr') && !document.getElementById('set-wifiSSID')")
        self.assertFalse(self.page.eval("!!document.getElementById('set-systemName')"))
        self.click_row(ap_agent["mac"])
        self.page.wait_for("!!document.getElementById('set-wifiSSID')")
        # A bad address is refused in the form, before anything is sent.
        self.page.fill("#set-agentGateway", "10.1.2")
        self.page.click("#apply")
        self.assertIn("Expected an address", self.page.text("#err-agentGateway"))
        self.assertEqual(self.d.sim.client.received(opcode=3), [])
        self.page.click("#revert")
        # Shift selects a range; the details panel then speaks of several.
        self.click_row(self.d.agent(switch)["mac"], ", shiftKey: true")
        self.page.wait_for("FV.devices.selectedEntries().length >= 2")
        self.assertIn("devices selected", self.page.text("#details-many"))
        self.assertFalse(self.page.eval("document.getElementById('watch').disabled"))
        # The README's picture of the devices view.
        self.click_row(ap_agent["mac"])
        self.page.wait_for("!!document.getElementById('set-wifiSSID')")
        self.page.screenshot(os.path.join(SHOTS, "devices-view.png"))

    def test_answer_reader_entities_empty_and_faults(self):
        # The page reads large answers with its own one-pass reader; it must
        # agree with an XML parser on what the server may write.
        tree = self.page.eval("""(function () {
            var t = FV.soap.parseTree('<?xml version="1.0" encoding="UTF-8"?>' +
              '<SOAP-ENV:Envelope xmlns:SOAP-ENV="x"><SOAP-ENV:Body><ns:MonitorList a="1">' +
              '<nErrorCode>0</nErrorCode><nMonitorNum>2</nMonitorNum>' +
              '<arrList><monitorInfo><systemName>R&amp;D &lt;lab&gt; &#228;&#x4E2D;</systemName>' +
              '<location/><macAddr></macAddr><funBitmap0>536870912</funBitmap0></monitorInfo>' +
              '<isAlive>1</isAlive><time>2026/01/02 03:04:05</time></arrList>' +
              '<arrList><monitorInfo><agentIpAddr xsi:type="xsd:string">10.0.0.9</agentIpAddr></monitorInfo>' +
              '<isAlive>0</isAlive></arrList></ns:MonitorList></SOAP-ENV:Body></SOAP-ENV:Envelope>');
            var list = t.Envelope.Body.MonitorList;
            var a = FV.fields.switchInfoFromTree(list.arrList[0].monitorInfo);
            var b = FV.fields.switchInfoFromTree(list.arrList[1].monitorInfo);
            return {n: list.arrList.length, name: a.systemName, loc: a.location, mac: a.macAddr,
                    bitmap: a.funBitmap0, vlan: a.vlanID, ip: b.agentIpAddr, alive: list.arrList[1].isAlive,
                    time: list.arrList[0].time};
        })()""")
        self.assertEqual(tree, {"n": 2, "name": "R&D <lab> \u00e4\u4e2d", "loc": "", "mac": "", "bitmap": 536870912,
                                "vlan": 0, "ip": "10.0.0.9", "alive": "0", "time": "2026/01/02 03:04:05"})
        # A fault answer rejects with its reason, for both SOAP versions.
        # A fault rejects with the reason the server put in its detail.
        for call in ("callTree", "call"):
            fault = self.page.eval(f"""FV.soap.{call}('GetMonitorStatus', {{monitorNum: 5}}).then(
                function () {{ return null; }},
                function (e) {{ return {{kind: e.kind, string: e.faultString, message: e.message}}; }})""")
            self.assertEqual(fault["kind"], "fault")
            self.assertIn("End of file or no input", fault["string"])
            self.assertIn("more agents than are watched", fault["message"])

    def test_watch_then_silence_turns_dead_and_back(self):
        self.page.click("nav.tabs button[data-tab=settings]")
        self.page.wait_for("!document.getElementById('settings-save').disabled")
        self.assertEqual(self.page.eval("document.getElementById('refresh-interval').value"), "15")
        self.page.fill("#refresh-interval", "1")
        self.page.click("#settings-save")
        self.assertEqual(self.page.wait_for("document.getElementById('settings-message').innerText"), "Saved.")
        try:
            self.assertEqual(value(self.d.soap("GetRefreshTime"), "monitorPollingInterval"), "1")
            self.page.click("nav.tabs button[data-tab=devices]")
            self.discover()
            a3 = self.d.agent(3)
            self.click_row(a3["mac"])
            self.page.click("#watch")
            self.page.wait_for(f"(FV.devices.get('{a3['mac']}') || {{}}).watched === true")
            self.page.wait_for(f"FV.devices.get('{a3['mac']}').alive === 1", 10)
            self.assertEqual(self.row(a3["mac"])["state"], "Alive")
            self.assertIn("1 watched", self.page.text("#counts"))
            # The server watches it now.
            self.assertEqual(value(self.d.soap("GetMonitorStatus", "<monitorNum>1</monitorNum>"),
                                   "macAddr"), a3["mac"])

            self.d.sim.client.call("silence", agents=3, ms=-1)
            self.page.wait_for(f"FV.devices.get('{a3['mac']}').alive === 0", 15)
            row = self.row(a3["mac"])
            self.assertEqual(row["state"], "Not answering")
            self.assertIn("dead", row["cls"])
            self.assertIn("1 not answering", self.page.text("#counts"))
            self.page.screenshot(os.path.join(SHOTS, "watched-dead.png"))

            self.d.sim.client.call("silence", agents=3, ms=0)
            self.page.wait_for(f"FV.devices.get('{a3['mac']}').alive === 1", 15)
            # Stop watching: back among the discovered devices.
            self.click_row(a3["mac"])
            self.page.click("#unwatch")
            self.page.wait_for(f"FV.devices.get('{a3['mac']}').watched === false")
            self.assertEqual(self.row(a3["mac"])["state"], "Discovered")
        finally:
            self.d.soap("SetRefreshTime", "<monitorPollingInterval>15</monitorPollingInterval>")

    def test_trap_appears_newest_first_with_badge(self):
        srv = self.d.net.srv_ip
        before = self.page.eval("FV.traps.list().length")
        self.d.sim.client.call("trap", agents=0, kind="plain", text="port 3 link down", to=srv)
        self.page.wait_for(f"FV.traps.list().length === {before + 1}", 10)
        self.page.wait_for("document.getElementById('trap-badge').innerText === '1'", 5)
        self.d.sim.client.call("trap", agents=1, kind="tlv", text="fan failure", to=srv)
        self.page.wait_for(f"FV.traps.list().length === {before + 2}", 10)
        self.page.wait_for("document.getElementById('trap-badge').innerText === '2'", 5)
        self.page.click("nav.tabs button[data-tab=traps]")
        self.assertEqual(self.page.text("#trap-badge"), "")

        def rows():
            return self.page.eval("Array.from(document.querySelectorAll('#trap-rows tr')).map(function (r) {"
                                  " return Array.from(r.children).map(function (c) { return c.innerText; }); })")
        shown = rows()
        self.assertEqual([r[2] for r in shown[:2]], ["fan failure", "port 3 link down"])
        self.assertEqual(shown[0][1], self.d.agent(1)["ip"])
        self.assertEqual(shown[0][3], self.d.agent(1)["fields"]["location"])
        self.assertRegex(shown[0][0], r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d$")
        # Nothing was taken from the service's own list, and a reload keeps
        # the history.
        self.assertIn("fan failure", self.d.soap("GetTrapList"))
        self.page.goto(PAGE)
        self.page.wait_for("FV.traps.loaded()")
        self.page.click("nav.tabs button[data-tab=traps]")
        self.assertEqual(rows()[:2], shown[:2])
        self.assertEqual(self.page.text("#trap-badge"), "")

        # A feed that cannot be read is said so, not passed off as a quiet network.
        self.page.eval("""(function () { var S = FV.soap, json = S.json; S.realJson = json;
            S.json = function (m, path) { if (path !== '/api/events') return json.apply(this, arguments);
              var e = new S.SoapError('http', 'HTTP 500: the store cannot be read'); e.status = 500;
              return Promise.reject(e); }; return true; })()""")
        self.page.wait_for("!document.getElementById('trap-feed').hidden", 5)
        self.assertIn("New traps cannot be read: HTTP 500: the store cannot be read", self.page.text("#trap-feed"))
        self.page.eval("FV.soap.json = FV.soap.realJson, true")
        self.page.wait_for("document.getElementById('trap-feed').hidden", 5)

    def test_two_pages_and_a_follower_see_the_same_traps_and_outcomes(self):
        follower = self.d.ctl("events", "--follow", "--json", "--limit", "0", "--every", "0.3",
                              "--kind", "trap,set_outcome", "--since", "1s")
        second = self.d.browser.page()
        try:
            second.goto(PAGE)
            second.wait_for("FV.traps.loaded() && FV.feed.cursor() !== null")
            self.page.send("Page.bringToFront")  # the page worked on is in front, the other behind
            self.page.wait_for("FV.feed.cursor() !== null")
            self.discover()
            srv = self.d.net.srv_ip
            for i, text in enumerate(("psu 1 lost", "psu 1 back", "loop on port 7")):
                self.d.sim.client.call("trap", agents=i, kind="plain" if i % 2 else "tlv", text=text, to=srv)
            newest = "FV.traps.list().slice(0, 3).map(function (t) { return t.text; }).join('|')"
            want = "loop on port 7|psu 1 back|psu 1 lost"
            self.assertEqual(self.page.wait_for(f"{newest} === '{want}' && {newest}", 10), want)
            self.assertEqual(second.wait_for(f"{newest} === '{want}' && {newest}", 10), want)
            ids = "JSON.stringify(FV.traps.list().slice(0, 3).map(function (t) { return t.id; }))"
            self.assertEqual(self.page.eval(ids), second.eval(ids))

            # A change made on the first page: both pages show its outcome.
            a6 = self.d.agent(6)
            self.click_row(a6["mac"])
            self.page.wait_for("!!document.getElementById('set-location')")
            self.page.fill("#set-location", "rack 9")
            self.page.click("#apply")
            self.page.wait_for("document.getElementById('apply-outcome').innerText.indexOf('done') >= 0", 15)
            second.wait_for(f"document.getElementById('op-log').innerText.indexOf('({a6['mac']}): "
                            "Apply settings: done') >= 0", 10)
            self.assertEqual(self.d.agent(6)["fields"]["location"], "rack 9")
            time.sleep(1)
        finally:
            follower.send_signal(signal.SIGINT)
            out, err = follower.communicate(timeout=10)
            second.close()
        self.assertEqual(follower.returncode, 0, err)
        seen = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([e["text"] for e in seen if e["kind"] == "trap"][-3:],
                         ["psu 1 lost", "psu 1 back", "loop on port 7"])
        outcomes = [e for e in seen if e["kind"] == "set_outcome"]
        self.assertEqual([(e["mac"].upper().replace(":", "-"), e["fields"]["result"]) for e in outcomes],
                         [(a6["mac"], 0)])

    def test_silenced_agent_stays_listed_offline_and_can_be_forgotten(self):
        self.discover()
        a8, a9 = self.d.agent(8), self.d.agent(9)
        self.d.sim.client.call("silence", agents=[8, 9], ms=-1)
        try:
            self.page.click("#discover")
            self.page.wait_for(f"FV.devices.model.rows.length === {AGENTS - 2} && !FV.devices.model.discovering", 20)
            self.page.wait_for(f"(FV.devices.get('{a8['mac']}') || {{}}).offline === true", 10)
            row = self.row(a8["mac"])
            self.assertEqual(row["state"], "Offline")
            # Seen today: the time; on another day (past midnight): the day.
            self.assertRegex(row["location"], r"^seen (\d\d:\d\d:\d\d|\d{4}-\d\d-\d\d)$")
            self.assertIn("offline", row["cls"])
            self.assertEqual((row["ip"], row["name"]), (a8["ip"], a8["fields"]["systemName"]))
            self.assertIn(f"{AGENTS - 2} devices, 0 watched, 2 offline", self.page.text("#counts"))
            # Offline devices cannot be watched or changed from the page.
            self.click_row(a8["mac"])
            self.assertTrue(self.page.eval("document.getElementById('watch').disabled"))
            self.assertFalse(self.page.eval("document.getElementById('forget').disabled"))
            self.assertFalse(self.page.eval("document.getElementById('details-none').hidden"))
            self.page.screenshot(os.path.join(SHOTS, "devices-offline.png"))
            # The filter hides them.
            self.page.click("#show-offline")
            self.page.wait_for(f"!document.querySelector('#grid-rows .row[data-key=\"{a8['mac']}\"]')")
            self.assertIn("2 offline (hidden)", self.page.text("#counts"))
            self.page.click("#show-offline")
            self.page.wait_for(f"!!document.querySelector('#grid-rows .row[data-key=\"{a8['mac']}\"]')")

            # Forget: asked first; No keeps it.
            self.click_row(a8["mac"])
            self.page.click("#forget")
            self.assertIn(a8["mac"], self.modal())
            self.page.click("#modal-cancel")
            time.sleep(0.3)
            self.assertTrue(self.page.eval(f"!!FV.devices.get('{a8['mac']}')"))
            self.page.click("#forget")
            self.modal()
            self.page.click("#modal-ok")
            self.page.wait_for("document.getElementById('discover-state').innerText === 'Forgot 1 device'", 10)
            self.page.wait_for(f"!FV.devices.get('{a8['mac']}')")
            listed = json.loads(wire.get("/api/inventory?offline=1").body)["agents"]
            self.assertNotIn(a8["mac"], [a["mac"].upper().replace(":", "-") for a in listed])
            # Forgotten meanwhile by another client: the refusal is shown as
            # the server gave it, never as done.
            mac9 = a9["mac"]
            gone = wire.Response(wire.exchange(f"DELETE /api/inventory?mac={mac9} HTTP/1.1\r\n"
                                               "Host: localhost\r\n\r\n".encode()))
            self.assertIn(" 200 ", gone.status_line)
            self.click_row(mac9)
            self.page.click("#forget")
            self.modal()
            self.page.click("#modal-ok")
            self.page.wait_for("document.getElementById('discover-state').innerText.indexOf('Not forgotten') === 0", 10)
            text, cls = self.message("#discover-state")
            self.assertRegex(text, rf"^Not forgotten: {mac9} \(HTTP 404")
            self.assertIn("fault", cls)
            self.page.problems(clear=True)  # the refusal is an HTTP error by design
        finally:
            self.d.sim.client.call("silence", agents=[8, 9], ms=0)

    def test_events_tab_newest_first_filtered_and_paged(self):
        srv = self.d.net.srv_ip
        self.discover()
        a2 = self.d.agent(2)
        self.d.sim.client.call("flood", agents=2, count=130, to=srv, pps=400)
        self.d.sim.client.call("trap", agents=3, kind="tlv", text="the last trap", to=srv)
        expected = self.d.ctl_json("events", "--kind", "trap", "--limit", "131")
        deadline = time.monotonic() + 15
        while expected[-1]["text"] != "the last trap" or len(expected) < 131:
            self.assertLess(time.monotonic(), deadline, "the traps never all came")
            time.sleep(0.3)
            expected = self.d.ctl_json("events", "--kind", "trap", "--limit", "131")
        self.page.wait_for(f"FV.feed.cursor() >= {expected[-1]['id']}", 10)
        self.page.click("nav.tabs button[data-tab=events]")
        self.page.wait_for("FV.events.view.loaded")
        rows = "Array.from(document.querySelectorAll('#ev-rows tr')).map(function (r) { return +r.getAttribute('data-id'); })"
        first = self.page.eval(rows)
        self.assertEqual(len(first), 100)
        self.assertEqual(first, sorted(first, reverse=True))
        self.page.fill("#ev-kind", "trap")
        self.page.wait_for("FV.events.view.loaded && document.querySelectorAll('#ev-rows tr').length === 100")
        traps = self.page.eval(rows)
        self.assertEqual(traps, [e["id"] for e in reversed(expected)][:100])
        self.assertIn("the last trap", self.page.text("#ev-rows tr:first-child"))
        # The next page goes on before the oldest shown, without a gap.
        self.page.click("#ev-older")
        self.page.wait_for("FV.events.view.loaded && !FV.events.view.loading && "
                           "document.querySelectorAll('#ev-rows tr').length > 100")
        self.assertEqual(self.page.eval(rows)[:131], [e["id"] for e in reversed(expected)])
        # One device: its traps only, and new ones come in at the top.
        self.page.fill("#ev-device", a2["mac"])
        self.page.wait_for("FV.events.view.loaded")
        shown = self.page.eval("Array.from(document.querySelectorAll('#ev-rows tr td:nth-child(3)')).map("
                               "function (c) { return c.innerText; })")
        self.assertTrue(shown and all(a2["mac"] in c for c in shown), shown[:3])
        self.d.sim.client.call("trap", agents=2, kind="plain", text="live one", to=srv)
        self.page.wait_for("document.querySelector('#ev-rows tr').innerText.indexOf('live one') >= 0", 10)
        # Device changes show what changed.
        self.page.fill("#ev-device", "")
        self.page.fill("#ev-kind", "set_started,set_outcome")
        self.page.click("nav.tabs button[data-tab=devices]")
        self.click_row(a2["mac"])
        self.page.wait_for("!!document.getElementById('set-location')")
        self.page.fill("#set-location", "lab bench")
        self.page.click("#apply")
        self.page.wait_for("document.getElementById('apply-outcome').innerText.indexOf('done') >= 0", 15)
        self.page.click("nav.tabs button[data-tab=events]")
        self.page.wait_for("document.querySelectorAll('#ev-rows tr[data-kind=set_outcome]').length > 0", 10)
        # The row of this change: an earlier test's change is in the history too.
        this_change = ("Array.from(document.querySelectorAll('#ev-rows tr[data-kind=set_started]'))"
                       ".filter(function (r) { return r.innerText.indexOf('lab bench') >= 0; })")
        self.page.wait_for(this_change + ".length > 0", 10)
        started = self.page.eval(this_change + "[0].innerText")
        self.assertIn(f"location: {a2['fields']['location']} → lab bench", started)
        self.page.screenshot(os.path.join(SHOTS, "events-view.png"))

    def test_rename_through_the_form_reaches_the_device(self):
        self.discover()
        a4 = self.d.agent(4)
        self.click_row(a4["mac"])
        self.page.wait_for("!!document.getElementById('set-systemName')")
        self.page.fill("#set-systemName", "core-sw-renamed")
        self.page.fill("#set-location", "hall 2")
        self.page.click("#apply")
        self.page.wait_for("document.getElementById('op-log').innerText.indexOf('done') >= 0", 20)
        self.assertIn("Apply settings: done (the device answered with result 0)", self.page.text("#op-log"))
        # The device has the new name, its address is untouched.
        fields = self.d.agent(4)["fields"]
        self.assertEqual(fields["systemName"], "core-sw-renamed")
        self.assertEqual(fields["location"], "hall 2")
        self.assertEqual(fields["agentIpAddr"], a4["ip"])
        # And the table shows what the device reported back.
        self.page.wait_for(f"FV.devices.get('{a4['mac']}').info.systemName === 'core-sw-renamed'", 10)
        self.assertEqual(self.row(a4["mac"])["name"], "core-sw-renamed")

    def test_save_and_load_a_list(self):
        self.discover()
        a1, a2 = self.d.agent(1), self.d.agent(2)
        self.click_row(a1["mac"])
        self.click_row(a2["mac"], ", ctrlKey: true")
        self.page.click("#watch")
        self.page.wait_for("FV.devices.model.watchedCount === 2 && "
                           "FV.devices.model.rows.filter(function (e) { return e.watched; }).length === 2")
        saved = os.path.join(self.d.workdir, "lists", "two.cfg")
        os.makedirs(os.path.dirname(saved), exist_ok=True)
        self.page.click("nav.tabs button[data-tab=files]")
        self.page.fill("#save-path", saved)
        self.page.click("#save")
        self.page.wait_for("document.getElementById('files-message').innerText.indexOf('Saved') === 0")
        self.assertEqual(os.path.getsize(saved), 2 * 1608)
        # A save the server could not write is a failure, in red.
        self.page.fill("#save-path", "/nonexistent-dir/fleet.cfg")
        self.page.click("#save")
        self.page.wait_for("document.getElementById('files-message').innerText.indexOf('Not saved') === 0")
        text, cls = self.message("#files-message")
        self.assertIn("could not write /nonexistent-dir/fleet.cfg", text)
        self.assertIn("fault", cls)
        # The server has no desktop: Save as shows no dialog, and says so.
        self.page.click("#save-as")
        self.page.wait_for("document.getElementById('files-message').innerText.indexOf('Not saved') === 0")
        text, cls = self.message("#files-message")
        self.assertIn("no save dialog could be shown on the server's desktop", text)
        self.assertIn("DISPLAY is not set", text)
        self.assertIn("fault", cls)

        # Forget both, then bring them back from the file.
        self.page.click("nav.tabs button[data-tab=devices]")
        self.click_row(a1["mac"])
        self.click_row(a2["mac"], ", ctrlKey: true")
        self.page.click("#unwatch")
        self.page.wait_for("FV.devices.model.watchedCount === 0 && "
                           "!FV.devices.model.rows.some(function (e) { return e.watched; })")
        self.page.click("nav.tabs button[data-tab=files]")
        self.page.fill("#load-path", saved)
        # Loading replaces the watched list: asked first, and a No changes nothing.
        self.page.click("#load")
        self.assertEqual(self.modal(), f"Replace the 0 watched devices with the list in {saved}? "
                                       "A missing or damaged file changes nothing.")
        self.page.click("#modal-cancel")
        self.page.wait_for("document.getElementById('files-message').innerText.indexOf('Not loaded') === 0")
        self.assertNotIn("LoadFile begin", self.d.server.log())
        self.page.click("#load")
        self.modal()
        self.page.click("#modal-ok")
        self.page.wait_for("document.getElementById('files-message').innerText.indexOf('Loaded 2 devices') === 0")
        self.page.wait_for(f"FV.devices.get('{a1['mac']}').watched && FV.devices.get('{a2['mac']}').watched")
        self.assertEqual(self.page.eval("document.querySelectorAll('#loaded-rows tr').length"), 2)
        watched = self.d.soap("GetMonitorStatus", "<monitorNum>2</monitorNum>")
        self.assertEqual(re.findall(r"<agentIpAddr>(.*?)</agentIpAddr>", watched), [a1["ip"], a2["ip"]])

        # A damaged file (not a whole number of records) is explained and
        # changes nothing.
        damaged = os.path.join(self.d.workdir, "lists", "damaged.cfg")
        with open(saved, "rb") as f, open(damaged, "wb") as out:
            out.write(f.read()[:1608] + b"\0" * 100)
        self.page.fill("#load-path", damaged)
        self.page.click("#load")
        self.assertIn("Replace the 2 watched devices", self.modal())
        self.page.click("#modal-ok")
        self.page.wait_for("document.getElementById('files-message').innerText.indexOf('damaged') >= 0")
        self.assertIn("not a whole number of device records", self.page.text("#files-message"))
        self.assertEqual(self.page.eval("document.querySelectorAll('#loaded-rows tr').length"), 1)
        self.assertEqual(self.page.eval("FV.devices.model.watchedCount"), 2)

    def test_server_stopped_restarted_and_engine_failure_in_words(self):
        self.discover()
        a2 = self.d.agent(2)
        self.click_row(a2["mac"])
        self.page.click("#watch")
        self.page.wait_for(f"FV.devices.get('{a2['mac']}').watched && FV.devices.get('{a2['mac']}').alive === 1", 10)
        self.page.click("nav.tabs button[data-tab=settings]")
        self.page.click("#stop-server")
        self.page.wait_for("document.getElementById('modal').classList.contains('shown')")
        self.assertIn("Stop the server?", self.page.text("#modal-title"))
        self.page.click("#modal-ok")
        self.assertEqual(self.d.server.proc.wait(timeout=10), 0)
        self.page.wait_for("document.getElementById('banner').classList.contains('shown')", 10)
        self.assertIn("server was stopped", self.page.text("#banner"))
        self.assertIn("unreachable", self.page.text("#server-state"))
        # Nothing the page knew holds now: no "Engine running", no green "Alive".
        self.assertEqual(self.page.text("#engine-state"), "Engine: unknown")
        self.page.click("nav.tabs button[data-tab=devices]")
        self.assertEqual(self.row(a2["mac"])["state"], "Unknown")
        self.assertIn("unknown", self.page.text("#counts"))
        self.assertNotIn("watched", self.page.text("#counts"))
        self.assertIn("state unknown", self.page.text("#details-sub"))
        self.page.screenshot(os.path.join(SHOTS, "server-stopped.png"))
        self.d.server.stop()

        # Back without its configuration file: the engine cannot start, and
        # the page says why in words.
        os.rename(self.d.ecf, self.d.ecf + ".away")
        self.d.start_server()
        self.page.wait_for("FV.app.engine.errorcode === 1", 15)
        self.assertFalse(self.page.eval("document.getElementById('banner').classList.contains('shown')"))
        self.assertIn("configuration file", self.page.text("#engine-msg"))
        self.assertIn("damaged or missing", self.page.text("#engine-msg"))
        self.page.screenshot(os.path.join(SHOTS, "engine-failed.png"))

        # Killed outright and started properly: the page recovers by itself
        # and starts the new process's engine.
        self.d.server.stop()
        self.page.wait_for("document.getElementById('banner').classList.contains('shown')", 10)
        self.assertIn("cannot be reached", self.page.text("#banner"))
        os.rename(self.d.ecf + ".away", self.d.ecf)
        self.d.start_server()
        self.page.wait_for("FV.app.engine.errorcode === 0", 15)
        self.assertIn("EngineLayerStartup begin.", self.d.server.log())
        self.assertFalse(self.page.eval("document.getElementById('engine-msg').classList.contains('shown')"))
        self.assertEqual(self.page.text("#server-state"), "Server: connected")
        self.assertEqual(self.page.text("#engine-state"), "Engine running")
        self.page.click("nav.tabs button[data-tab=devices]")
        self.discover()
        # The new process watches nothing; the page says so, not "unknown".
        self.assertEqual(self.row(a2["mac"])["state"], "Discovered")
        self.assertIn(f"{AGENTS} devices, 0 watched", self.page.text("#counts"))

    def test_normal_session_at_the_bare_address_has_no_failed_request(self):
        # The address alone gives the page, and a session of everyday work
        # leaves the console clean: no fault, no failed request.
        self.page.goto(f"http://127.0.0.1:{wire.SERVICE_PORT}/")
        self.page.wait_for("FV.app.engine.errorcode === 0")
        self.assertEqual(self.page.eval("document.title"), "CALVORN Ferroview Utility")
        self.discover()
        a1 = self.d.agent(1)
        self.click_row(a1["mac"])
        self.page.click("#watch")
        self.page.wait_for(f"FV.devices.get('{a1['mac']}').watched === true")
        self.assertIn("1 watched", self.page.text("#counts"))
        # Another client watches one more: the page's next poll sees it.
        a5 = self.d.agent(5)
        self.d.soap("AddMonitorAgent", f"<strIpAddress>{a5['ip']}</strIpAddress><strMacAddr>{a5['mac']}</strMacAddr>")
        self.page.eval("FV.app.monitorPoller.now(), true")
        self.page.wait_for(f"(FV.devices.get('{a5['mac']}') || {{}}).watched === true", 20)
        self.assertIn("2 watched", self.page.text("#counts"))
        for tab in ("traps", "events", "upgrade", "files", "settings", "developer", "devices"):
            self.page.click(f"nav.tabs button[data-tab={tab}]")
        # The console's answers are indented, one element a line.
        self.page.click("nav.tabs button[data-tab=developer]")
        self.page.wait_for("!!document.querySelector('#samples li[data-name*=GetRefreshTime]')")
        self.page.click("#samples li[data-name*=GetRefreshTime]")
        self.page.wait_for("document.getElementById('request').value.indexOf('GetRefreshTime') >= 0")
        self.page.click("#send")
        self.page.wait_for("document.getElementById('status').innerText.indexOf('HTTP 200') === 0")
        lines = self.page.text("#response").split("\n")
        self.assertGreater(len(lines), 5)
        self.assertTrue(any(re.match(r"^ {4,}<monitorPollingInterval>15</monitorPollingInterval>$", line)
                            for line in lines), lines)
        self.page.click("nav.tabs button[data-tab=devices]")
        self.click_row(a1["mac"])
        self.page.click("#unwatch")
        self.page.wait_for(f"FV.devices.get('{a1['mac']}').watched === false")
        self.assertEqual(self.page.problems(), [])
        self.assertEqual(self.page.eval("FV.soap.stats.faults + FV.soap.stats.failures"), 0)

    def test_apply_outcome_in_view_and_not_taken_by_another_client(self):
        page = self.page
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        try:
            self.discover()
            switches = [i for i in range(AGENTS - 1) if self.d.agent(i)["kind"] == "switch"]
            held, quick = self.d.agent(switches[0]), self.d.agent(switches[1])

            # A change whose outcome another client takes from the service's
            # list while this page is held: the page still sees it.
            self.d.sim.client.call("behave", agents=switches[0], reply_delay_ms=1500)
            self.click_row(held["mac"])
            page.wait_for("!!document.getElementById('set-systemName')")
            page.fill("#set-systemName", "held-elsewhere")
            mark = page.event_mark()
            page.click("#apply")
            page.wait_for("FV.operations.pending.length === 1")
            self.assertIn("waiting for the device's answer", page.text("#apply-outcome"))
            # The page's scripts are held while the test collects the outcome.
            page.send("Debugger.enable")
            page.send("Debugger.pause")
            page.wait_event("Debugger.paused", mark, timeout=10)
            try:
                deadline = time.monotonic() + 10
                while held["mac"] not in self.d.soap("GetOperateResult"):
                    self.assertLess(time.monotonic(), deadline, "the device's answer never came")
                    time.sleep(0.1)
            finally:
                page.send("Debugger.resume")
                page.send("Debugger.disable")

            # Meanwhile, another device's change: its outcome shows beside
            # the form, in view, within a second of the device's answer.
            self.d.sim.client.call("behave", agents=switches[1], reply_delay_ms=2000)
            self.click_row(quick["mac"])
            page.wait_for("!!document.getElementById('set-systemName')")
            self.assertTrue(page.eval("document.getElementById('apply-outcome').hidden"))
            page.fill("#set-systemName", "answered-in-view")
            since = self.d.sim.client.sent()[-1]["id"]
            page.click("#apply")
            answered = shown = None
            deadline = time.monotonic() + 15
            while shown is None and time.monotonic() < deadline:
                if answered is None and any(e["mac"] == quick["mac"] for e in self.d.sim.client.sent(since=since)):
                    answered = time.monotonic()
                if "done" in page.text("#apply-outcome"):
                    shown = time.monotonic()
                time.sleep(0.02)
            self.assertIsNotNone(answered, "the device never answered")
            self.assertIsNotNone(shown, "the outcome never showed")
            self.assertLess(shown - answered, 1.0)
            self.assertIn("Apply settings: done", page.text("#apply-outcome"))
            self.assertIn("ok", page.eval("document.getElementById('apply-outcome').className"))
            self.assertTrue(self.in_view("#apply-outcome"))
            self.assertTrue(self.in_view("#apply"))
            page.screenshot(os.path.join(SHOTS, "outcome-in-view.png"))

            # A name longer than its field is refused with a message, not cut.
            self.assertEqual(page.eval("document.getElementById('set-systemName').maxLength"), 20)
            self.assertIn("at most 20 bytes", page.text("#hint-systemName"))
            long_name = "n" * 70
            received = len(self.d.sim.client.received(opcode=3))
            page.fill("#set-systemName", long_name)
            self.assertIn("70 of at most 20 bytes", page.text("#hint-systemName"))
            self.assertIn("Too long: 70 bytes", page.text("#err-systemName"))
            page.click("#apply")
            self.assertIn("Nothing sent", page.text("#apply-outcome"))
            self.assertIn("Name", page.text("#apply-outcome"))
            self.assertEqual(page.eval("document.getElementById('set-systemName').value"), long_name)
            # Twenty characters, but more than twenty bytes: refused as well.
            page.fill("#set-systemName", "\u00e4" * 11)
            self.assertIn("22 of at most 20 bytes", page.text("#hint-systemName"))
            page.click("#apply")
            self.assertIn("Too long: 22 bytes", page.text("#apply-outcome"))
            time.sleep(0.5)
            self.assertEqual(len(self.d.sim.client.received(opcode=3)), received)
            page.click("#revert")
            self.assertEqual(page.text("#err-systemName"), "")

            # The held change's outcome came through the feed all the same.
            page.wait_for("FV.operations.pending.length === 0", 10)
            self.assertIn(f"{held['fields']['systemName']} ({held['mac']}): Apply settings: done", page.text("#op-log"))
            self.click_row(held["mac"])
            page.wait_for("document.getElementById('apply-outcome').innerText.indexOf('done') >= 0")
            self.assertIn("ok", page.eval("document.getElementById('apply-outcome').className"))
            self.assertTrue(self.in_view("#apply-outcome"))
        finally:
            page.send("Emulation.setDeviceMetricsOverride",
                      {"width": page.browser.width, "height": page.browser.height, "deviceScaleFactor": 1,
                       "mobile": False})


@unittest.skipIf(cdp.CHROMIUM is None, "chromium is not installed")
@require_netns
class UpgradeViewTest(unittest.TestCase):
    """Three agents with interfaces of their own, upgraded from the page with
    an image it uploaded to the server's firmware store: agent 0's TFTP server
    answers with an ERROR, agents 1 and 2 have tftpd-hpa."""

    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(3)
        try:
            cls.d.sim.client.call("set", agents=[0, 1, 2], fields={"upgradeRebootTime": 1})
            cls.tftpd = {}
            for i in (0, 1, 2):
                a = cls.d.agent(i)
                cls.d.net.agent_link("lan", f"ag{i}", a["mac"], a["ip"])
                if i:
                    cls.tftpd[i] = cls.d.net.start_tftpd("lan", a["ip"])
            cls.d.net.popen("lan", [sys.executable, "-m", "ferrosim.tftpfault", "--address",
                                    cls.d.agent(0)["ip"], "--mode", "error", "--at", "2"],
                            cwd=os.path.join(ROOT, "tools", "sim"), stdout=subprocess.DEVNULL)
            # The size of the pictures the documentation shows.
            cls.d.page.send("Emulation.setDeviceMetricsOverride",
                            {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        except BaseException:
            cls.d.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def tearDown(self):
        self.d.page.screenshot(os.path.join(SHOTS, f"{self._testMethodName}.png"))

    def select(self, *indexes):
        page = self.d.page
        page.goto(PAGE)
        page.wait_for("FV.app.engine.errorcode === 0")
        page.click("#discover")
        page.wait_for("FV.devices.model.rows.length === 3 && !FV.devices.model.discovering", 20)
        for n, i in enumerate(indexes):
            extra = ", ctrlKey: true" if n else ""
            page.eval(f"""document.querySelector('#grid-rows .row[data-key="{self.d.agent(i)['mac']}"]')
                .children[4].dispatchEvent(new MouseEvent('click', {{bubbles: true{extra}}})), true""")
        page.click("nav.tabs button[data-tab=upgrade]")

    def rows(self) -> list[dict]:
        return self.d.page.eval(
            "Array.from(document.querySelectorAll('#up-rows tr')).map(function (r) {"
            " return {mac: r.getAttribute('data-mac'), state: r.querySelector('.state').innerText,"
            " before: r.querySelector('.before').innerText, after: r.querySelector('.after').innerText,"
            " outcome: r.querySelector('.outcome').innerText}; })")

    def test_uploaded_image_confirmed_paused_by_an_error_resumed_to_done(self):
        page = self.d.page
        fw = os.path.join(self.d.workdir, "upload", "fw-image.bin")
        os.makedirs(os.path.dirname(fw))
        data = os.urandom(96 * 1024 + 5)
        with open(fw, "wb") as f:
            f.write(data)
        sha = hashlib.sha256(data).hexdigest()
        a = [self.d.agent(i) for i in range(3)]
        self.select(0, 1, 2)
        self.assertEqual(page.eval("document.querySelectorAll('#up-targets div').length"), 3)
        page.wait_for("FV.upgrade.store.limits !== null")

        # The chooser uploads the image; the server says what it stored.
        page.set_files("#up-file", [fw])
        page.wait_for("document.getElementById('up-upload').innerText.indexOf('Stored') === 0")
        self.assertEqual(page.text("#up-upload"),
                         f"Stored fw-image.bin: {len(data)} bytes, SHA-256 {sha}")
        stored = os.path.join(self.d.workdir, "firmware", "fw-image.bin")
        with open(stored, "rb") as f:
            self.assertEqual(f.read(), data)
        # Picked at once: path and size are the server's.
        self.assertEqual(page.eval("document.getElementById('up-path').value"), stored)
        self.assertEqual(page.eval("document.getElementById('up-size').value"), str(len(data)))
        self.assertIn("fw-image.bin", page.text("#up-images"))

        # The "new firmware" reports another version once the devices restart.
        self.d.sim.client.call("set", agents=[1, 2], fields={"fwVersion": "9.9.1"})
        page.fill("#up-password", "admin")
        page.click("#up-start")
        page.wait_for("document.getElementById('modal').classList.contains('shown')")
        self.assertEqual(page.text("#modal-title"), "Upgrade 3 devices?")
        question = page.text("#modal-text")
        for x in a:
            self.assertIn(f"{x['fields']['systemName']} — {x['mac']} — {x['ip']} "
                          f"(now {x['fields']['fwVersion']})", question)
        self.assertIn(f"Image: {stored}", question)
        self.assertIn(f"SHA-256 {sha}", question)
        page.screenshot(os.path.join(SHOTS, "upgrade-confirm.png"))
        page.click("#modal-ok")

        # Agent 0's TFTP error ends its upload and the queue waits.
        page.wait_for("document.getElementById('up-run-text').innerText.indexOf('Paused, 2 waiting') === 0", 60)
        rows = self.rows()
        self.assertEqual([r["mac"] for r in rows], [x["mac"] for x in a])
        self.assertEqual(rows[0]["state"], "Failed")
        self.assertIn("the device reported a transfer error (code 9)", rows[0]["outcome"])
        self.assertEqual([r["state"] for r in rows[1:]], ["Queued (paused)"] * 2)
        self.assertTrue(page.eval("getComputedStyle(document.getElementById('up-run')).display !== 'none'"))
        page.screenshot(os.path.join(SHOTS, "upgrade-paused.png"))

        page.click("#up-resume")
        page.wait_for("!FV.upgrade.run().active", 120)
        rows = self.rows()
        self.assertEqual(rows[0]["after"], "—")
        for x, r in zip(a[1:], rows[1:]):
            self.assertEqual((r["state"], r["outcome"], r["before"], r["after"]),
                             ("Done", "upgraded", x["fields"]["fwVersion"], "9.9.1"))
        self.assertIn("Finished: 2 of 3 upgraded", page.text("#up-message"))
        self.assertEqual(page.eval("getComputedStyle(document.getElementById('up-run')).display"), "none")
        page.screenshot(os.path.join(SHOTS, "upgrade-after.png"))
        for t in self.tftpd.values():
            with open(t.path("fw-image.bin"), "rb") as f:
                self.assertEqual(f.read(), data)
        self.assertEqual(self.d.agent(1)["lastUpgrade"]["34"], stored)

        # Emptied from the page.
        page.click("#up-images .up-delete")
        page.wait_for("document.getElementById('modal').classList.contains('shown')")
        page.click("#modal-ok")
        page.wait_for("FV.upgrade.store.images.length === 0")
        self.assertFalse(os.path.exists(stored))
        page.click("#up-end")
        page.wait_for("FV.upgrade.run() === null && document.querySelectorAll('#up-rows tr').length === 0")

    def test_refused_file_is_explained(self):
        page = self.d.page
        self.select(2)
        page.fill("#up-path", os.path.join(self.d.workdir, "no-such-file.bin"))
        page.fill("#up-size", "1000")
        page.click("#up-start")
        page.wait_for("document.getElementById('modal').classList.contains('shown')")
        self.assertIn("SHA-256 not known", page.text("#modal-text"))
        page.click("#modal-ok")
        page.wait_for("document.getElementById('up-message').innerText.indexOf('refused') >= 0", 10)
        self.assertIn("does not exist on the server's machine", page.text("#up-message"))


if __name__ == "__main__":
    wire.run_tests()
