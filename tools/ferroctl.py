#!/usr/bin/python3
"""ferroctl: the Ferrolink service from the command line, for people and scripts.

    ferroctl [--server URL] COMMAND [ARGS]      (ferroctl COMMAND --help for each)

The service answers SOAP only to callers on the machine it runs on, so run
ferroctl there (default URL http://127.0.0.1:64567/). Agents are named by
their MAC (02-46-4C-00-00-05; colons and lower case are fine) or, where it
says so, by their IPv4 address.

Exit status: 0 done; 1 the server refused a request (a SOAP fault) or an
outcome failed (an agent refused or timed out, an upload failed); 2 wrong
usage; 3 no server answers at the URL.
"""

import argparse
import json
import os
import http.client
import re
import socket
import sys
import time
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

DEFAULT_URL = "http://127.0.0.1:64567/"
NAMESPACE = "urn:Halvex"
SOAP11_ENV = "http://schemas.xmlsoap.org/soap/envelope/"
SOAP12_ENV = "http://www.w3.org/2003/05/soap-envelope"

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_NO_SERVER = 0, 1, 2, 3

# Bytes of one record in a saved .cfg file of watched agents.
CFG_RECORD_SIZE = 1608
# Agents' name fields hold 20 bytes and a terminating zero.
NAME_BYTES = 20
# The server gives up on a device-set operation after 50 s.
DEVICE_SET_TIMEOUT_S = 50

# The elements of one agent (SwitchInfo) in wire order; those not listed in
# NUMERIC are text.
SWITCH_INFO_FIELDS = (
    "productName systemName location systemTime controllerIPURL controlledByAC loginUser "
    "agentIpAddr agentNetmask agentGateway agentDNS1 agentDNS2 trapIpAddr newPasseord "
    "oldPassword dhcpMode fwVersion productType httpPort groupTimer lldpMode lldpAuthenkey "
    "snmpMode agentProtoVer agentFamilyType agentInterfaceVer upgradeDelayTime "
    "upgradeRebootTime upgradeEreaseFlashTime vlanID funBitmap0 funBitmap1 funBitmap2 "
    "funBitmap3 errString macAddr isLoaderMode wifiEnable wifiSSID wifiKey wifiBand "
    "wifiChannel wifiCurrentChannel wifiSecurity radiusIP radiusPort radiusSecret "
    "wifi80211Mode wifiVisible wifiSupportChannel wifiChannelWidth wifiSSIDIsolution "
    "wifiVlanID bandwidthControl rssiScanner txPowerLevel wifiEnable5G wifiSSID5G wifiKey5G "
    "wifiChannel5G wifiCurrentChannel5G wifiSecurity5G radiusIP5G radiusPort5G "
    "radiusSecret5G wifi80211Mode5G wifiVisible5G wifiSupportChannel5G wifiChannelWidth5G "
    "wifiSSIDIsolution5G wifiVlanID5G bandwidthControl5G rssiScanner5G txPowerLevel5G "
    "fwDomain wifiBandSteering wifiRoaming").split()
NUMERIC = set(
    "controlledByAC dhcpMode productType httpPort groupTimer lldpMode snmpMode agentProtoVer "
    "agentFamilyType agentInterfaceVer upgradeDelayTime upgradeRebootTime "
    "upgradeEreaseFlashTime vlanID funBitmap0 funBitmap1 funBitmap2 funBitmap3 isLoaderMode "
    "wifiEnable wifiChannel wifiCurrentChannel radiusPort wifiVisible wifiSSIDIsolution "
    "wifiVlanID txPowerLevel wifiEnable5G wifiChannel5G wifiCurrentChannel5G radiusPort5G "
    "wifiVisible5G wifiSSIDIsolution5G wifiVlanID5G txPowerLevel5G wifiBandSteering "
    "wifiRoaming".split())
# What an agent only reports: SetDeviceCfgEx takes every other element, and
# `operate` between txPowerLevel5G and fwDomain.
REPORTED_ONLY = set(
    "productName fwVersion productType httpPort lldpMode lldpAuthenkey agentProtoVer "
    "agentFamilyType agentInterfaceVer upgradeDelayTime upgradeRebootTime "
    "upgradeEreaseFlashTime funBitmap0 funBitmap1 funBitmap2 funBitmap3 errString "
    "isLoaderMode".split())
SET_PARAMETERS = [f for f in SWITCH_INFO_FIELDS if f not in REPORTED_ONLY]
SET_PARAMETERS.insert(SET_PARAMETERS.index("fwDomain"), "operate")

OPERATE_SET, OPERATE_PASSWORD, OPERATE_RESTORE = 0, 1, 3
OPERATE_NAMES = {0: "settings", 1: "password change", 2: "settings without address",
                 3: "factory defaults"}

UPLOAD_DONE, UPLOAD_FAILED = 9, 10
UPLOAD_STATES = {0: "Queued", 1: "RequestSent", 2: "WrqSent", 3: "EraseWait", 4: "Sending",
                 5: "LastBlockSent", 6: "RebootWait", 7: "Rediscovering", 9: "Done",
                 10: "Failed"}
UPLOAD_FAILURES = {
    1: "the file could not be opened, or disappeared during the transfer",
    2: "seeking in the file failed",
    3: "the agent did not answer the upgrade request",
    4: "the agent refused the upgrade (result 2)",
    5: "no TFTP acknowledgement of the write request or the first block",
    6: "the size of the file could not be measured",
    7: "no TFTP acknowledgement during the transfer",
    8: "the agent was not found again after its reboot",
    9: "the agent sent a TFTP error",
    10: "the agent refused the upgrade (result 10)",
}

TABLE_COLUMNS = [("address", "agentIpAddr"), ("mac", "macAddr"), ("name", "systemName"),
                 ("model", "productName"), ("firmware", "fwVersion"),
                 ("location", "location"), ("loader", "isLoaderMode")]


class Failure(Exception):
    """Ends the command with a message and an exit status."""

    def __init__(self, message, status=EXIT_FAILED):
        super().__init__(message)
        self.status = status


class Fault(Failure):
    """The server answered a request with a SOAP fault."""

    def __init__(self, operation, reason, detail=""):
        # The fault string is the runtime's generic one; the detail, when the
        # server gives one, says why.
        super().__init__(f"the server refused {operation}: {detail or reason}")
        self.operation = operation
        self.reason = reason
        self.detail = detail


class NoServer(Failure):
    def __init__(self, url, why):
        super().__init__(f"no server answers at {url} ({why}); is it running? "
                         "(bash scripts/run.sh, or the systemd unit)", EXIT_NO_SERVER)


class Disconnected(Failure):
    """The server closed the connection without an answer."""


# -- the SOAP client ---------------------------------------------------------

def xml_children(params) -> str:
    """Request children from (name, value) pairs. A value is text, a number,
    a list of pairs (a nested value such as a SwitchInfo), or raw XML given as
    RawXml."""
    out = []
    for name, value in params:
        if isinstance(value, RawXml):
            out.append(str(value))
        elif isinstance(value, (list, tuple)):
            out.append(f"<{name}>{xml_children(value)}</{name}>")
        else:
            out.append(f"<{name}>{escape(str(value))}</{name}>")
    return "".join(out)


class RawXml(str):
    pass


def envelope(operation: str, params, soap12=False) -> bytes:
    env = SOAP12_ENV if soap12 else SOAP11_ENV
    return (f'<?xml version="1.0" encoding="UTF-8"?><e:Envelope xmlns:e="{env}" '
            f'xmlns:ns="{NAMESPACE}"><e:Body><ns:{operation}>{xml_children(params)}'
            f"</ns:{operation}></e:Body></e:Envelope>").encode("utf-8")


def local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


class Client:
    def __init__(self, url=DEFAULT_URL, timeout=30.0, soap12=False):
        self.url = url
        self.timeout = timeout
        self.soap12 = soap12

    def post(self, operation: str, params=()) -> tuple[int, bytes]:
        ctype = "application/soap+xml" if self.soap12 else "text/xml"
        req = urllib.request.Request(self.url, data=envelope(operation, params, self.soap12),
                                     headers={"Content-Type": f"{ctype}; charset=utf-8"})
        try:
            with urllib.request.urlopen(req, timeout=self.timeout) as resp:
                return resp.status, resp.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()
        except urllib.error.URLError as e:  # connecting or sending failed
            if isinstance(e.reason, (ConnectionResetError, BrokenPipeError)):
                raise Disconnected(f"the server closed the connection during {operation}")
            raise NoServer(self.url, getattr(e.reason, "strerror", None) or str(e.reason))
        except (socket.timeout, TimeoutError):
            raise Failure(f"{operation}: no answer from the server within {self.timeout:g} s")
        except (http.client.HTTPException, ConnectionError):
            raise Disconnected(f"the server closed the connection without answering {operation}")

    def call(self, operation: str, params=()) -> ET.Element:
        """Posts one operation and returns the response element; raises
        Fault for a SOAP fault."""
        status, body = self.post(operation, params)
        return parse_response(operation, status, body)

    def close_server(self) -> None:
        """GSoapClose: the server ends without answering, so a connection
        closed with no answer is the success."""
        try:
            status, body = self.post("GSoapClose")
        except Disconnected:
            return
        parse_response("GSoapClose", status, body)


def parse_response(operation: str, status: int, body: bytes) -> ET.Element:
    try:
        root = ET.fromstring(body)
    except ET.ParseError:
        raise Failure(f"{operation}: the server's answer (HTTP {status}) is not XML: "
                      f"{body[:200].decode('utf-8', 'replace')!r}")
    bodies = [e for e in root if local(e.tag) == "Body"]
    if not bodies or len(bodies[0]) == 0:
        raise Failure(f"{operation}: the server's answer has no SOAP body")
    first = bodies[0][0]
    if local(first.tag) == "Fault":
        reason = first.findtext("faultstring") or ""
        if not reason:  # SOAP 1.2
            text = first.find(f"{{{SOAP12_ENV}}}Reason/{{{SOAP12_ENV}}}Text")
            reason = text.text if text is not None and text.text else ""
        detail = ""
        for d in first.iter():
            if local(d.tag) in ("detail", "Detail"):
                detail = " ".join(t.strip() for t in d.itertext() if t.strip())
        raise Fault(operation, reason or "a SOAP fault", detail)
    return first


def text_of(elem: ET.Element, name: str, default="") -> str:
    child = elem.find(name)
    return default if child is None or child.text is None else child.text


def int_of(elem: ET.Element, name: str) -> int:
    try:
        return int(text_of(elem, name, "0"))
    except ValueError:
        return 0


def switch_info(elem: ET.Element | None) -> dict:
    """A SwitchInfo element as a dict in wire order, numbers as int."""
    out = {}
    for name in SWITCH_INFO_FIELDS:
        out[name] = (int_of(elem, name) if name in NUMERIC else text_of(elem, name)) \
            if elem is not None else (0 if name in NUMERIC else "")
    return out


# -- what the service knows ------------------------------------------------------

def watched_agents(client: Client) -> list[ET.Element]:
    """Every watched agent (MonitorInfo elements). The service tells the
    table's size only by refusing a count that is too large, so the count is
    found by doubling and then halving."""
    def probe(n):
        try:
            return client.call("GetMonitorStatus", [("monitorNum", n)]).findall("arrList")
        except Fault:
            return None

    best = []
    low, high = 0, 1
    while True:
        got = probe(high)
        if got is None:
            break
        best, low = got, high
        if high >= 1 << 20:
            return best
        high *= 2
    while high - low > 1:
        mid = (low + high) // 2
        got = probe(mid)
        if got is None:
            high = mid
        else:
            best, low = got, mid
    return best


def known_agents(client: Client) -> list[dict]:
    """The agents the server knows, as it lists them: the watched ones first,
    then those of the latest discovery. Each dict carries "watched"."""
    for attempt in range(3):
        count = len(watched_agents(client))
        try:
            answer = client.call("GetSwitchInfoList", [("monitorNum", count)])
        except Fault:
            if attempt == 2:
                raise
            continue  # the table shrank in between
        agents = []
        for i, elem in enumerate(answer.findall("arrList")):
            info = switch_info(elem)
            info["watched"] = i < count
            agents.append(info)
        return agents
    return []


MAC_RE = re.compile(r"^([0-9A-Fa-f]{2})([-:]?)([0-9A-Fa-f]{2})(?:\2([0-9A-Fa-f]{2})){4}$")


def mac_text(text: str) -> str:
    """The MAC as the service writes it: six upper-case pairs joined by "-"."""
    digits = re.sub(r"[-:]", "", text.strip())
    if not MAC_RE.match(text.strip()) or len(digits) != 12:
        raise Failure(f"{text!r} is not a MAC address (six hex pairs, e.g. 02-46-4C-00-00-05)",
                      EXIT_USAGE)
    return "-".join(digits[i:i + 2] for i in range(0, 12, 2)).upper()


def is_ipv4(text: str) -> bool:
    parts = text.split(".")
    return len(parts) == 4 and all(p.isdigit() and len(p) <= 3 and int(p) <= 255 for p in parts)


def ipv4_text(text: str, what: str) -> str:
    if not is_ipv4(text):
        raise Failure(f"{what} {text!r} is not an IPv4 address", EXIT_USAGE)
    return ".".join(str(int(p)) for p in text.split("."))


def find_agent(agents: list[dict], mac: str) -> dict:
    for a in agents:
        if a["macAddr"] == mac:
            return a
    raise Failure(f"no agent with MAC {mac} is known to the server "
                  "(ferroctl discover finds the agents)")


# -- output --------------------------------------------------------------------

def cell(info: dict, field: str) -> str:
    if field == "isLoaderMode":
        return "yes" if info[field] == 1 else ""
    return str(info[field])


def print_table(header: list[str], rows: list[list[str]], out=None) -> None:
    out = out or sys.stdout
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h)
              for i, h in enumerate(header)]
    for row in [header] + rows:
        out.write("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() + "\n")


def print_agents(agents: list[dict], fmt: str) -> None:
    if fmt == "json":
        json.dump(agents, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write("\n")
        return
    header = [name for name, _ in TABLE_COLUMNS] + ["watched"]
    rows = [[cell(a, f) for _, f in TABLE_COLUMNS] + ["yes" if a.get("watched") else ""]
            for a in agents]
    if fmt == "csv":
        import csv
        w = csv.writer(sys.stdout, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)
        return
    if not agents:
        note("no agents known (ferroctl start, then ferroctl discover)")
        return
    print_table([h.upper() for h in header], rows)


def note(text: str) -> None:
    print(f"ferroctl: {text}", file=sys.stderr, flush=True)


def add_format_options(p: argparse.ArgumentParser) -> None:
    g = p.add_mutually_exclusive_group()
    g.add_argument("--csv", dest="fmt", action="store_const", const="csv",
                   help="comma-separated values with a header row")
    g.add_argument("--json", dest="fmt", action="store_const", const="json",
                   help="a JSON list with every field of each agent")
    p.set_defaults(fmt="table")


# -- commands ------------------------------------------------------------------

def cmd_start(client: Client, args) -> int:
    code = int_of(client.call("EngineLayerStartup"), "errorcode")
    if code == 0:
        print("engine started")
        return EXIT_OK
    if code == 1:
        raise Failure("the engine did not start: cfg/define.ecf in the server's working folder "
                      "is missing or damaged (tools/ecftool show cfg/define.ecf tells which)")
    if code == 2:
        raise Failure("the engine did not start: the discovery port (udp_discovery_port in "
                      "cfg/define.ecf, UDP 64513 by default) is in use by another program")
    raise Failure(f"the engine did not start (errorcode {code})")


def cmd_discover(client: Client, args) -> int:
    client.call("SetDiscoverToAgents")
    if args.wait <= 0:
        print("discovery sent")
        return EXIT_OK
    note(f"waiting {args.wait:g} s for the agents' answers")
    time.sleep(args.wait)
    print_agents(known_agents(client), args.fmt)
    return EXIT_OK


def cmd_list(client: Client, args) -> int:
    print_agents(known_agents(client), args.fmt)
    return EXIT_OK


def resolve(agents: list[dict], name: str) -> tuple[str, str]:
    """(address, MAC) of an agent named by address or MAC; the MAC is ""
    when the server has not seen an agent at that address."""
    if is_ipv4(name):
        ip = ipv4_text(name, "address")
        for a in agents:
            if a["agentIpAddr"] == ip and a["macAddr"] != "00-00-00-00-00-00":
                return ip, a["macAddr"]
        return ip, ""
    mac = mac_text(name)
    return find_agent(agents, mac)["agentIpAddr"], mac


def cmd_watch(client: Client, args) -> int:
    if args.action == "status":
        return watch_status(client, args)
    if not args.agents:
        raise Failure(f"watch {args.action} needs at least one address or MAC", EXIT_USAGE)
    agents = known_agents(client)
    status = EXIT_OK
    for name in args.agents:
        ip, mac = resolve(agents, name)
        watched = any(a["watched"] and a["agentIpAddr"] == ip for a in agents)
        label = f"{ip} ({mac})" if mac else ip
        if args.action == "add":
            if watched:
                note(f"{label} is already watched")
                status = EXIT_FAILED
                continue
            client.call("AddMonitorAgent", [("strIpAddress", ip), ("strMacAddr", mac)])
            print(f"watching {label}" + ("" if mac else ", an address no discovery has seen yet"))
        else:
            if not watched:
                note(f"{label} is not watched")
                status = EXIT_FAILED
                continue
            client.call("DelMonitorAgent", [("strIpAddress", ip)])
            print(f"no longer watching {label}")
    return status


def watch_status(client: Client, args) -> int:
    rows = []
    for m in watched_agents(client):
        info = switch_info(m.find("monitorInfo"))
        rows.append({"address": info["agentIpAddr"], "mac": info["macAddr"],
                     "name": info["systemName"], "alive": int_of(m, "isAlive") == 1,
                     "replied": int_of(m, "recvFlag") == 1, "time": text_of(m, "time"),
                     "agent": info})
    if args.fmt == "json":
        json.dump(rows, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write("\n")
        return EXIT_OK
    header = ["address", "mac", "name", "alive", "replied", "time"]
    table = [[r["address"], r["mac"], r["name"], "yes" if r["alive"] else "no",
              "yes" if r["replied"] else "no", r["time"]] for r in rows]
    if args.fmt == "csv":
        import csv
        w = csv.writer(sys.stdout, lineterminator="\n")
        w.writerow(header)
        w.writerows(table)
    elif not rows:
        note("no agents are watched (ferroctl watch add ADDRESS)")
    else:
        print_table([h.upper() for h in header], table)
    return EXIT_OK


def cmd_traps(client: Client, args) -> int:
    while True:
        answer = client.call("GetTrapList")
        traps = [{"time": text_of(t, "time"), "ip": text_of(t, "ip"),
                  "location": text_of(t, "location"), "text": text_of(t, "string")}
                 for t in answer.findall("arrList")]
        for t in traps:
            if args.fmt == "json":
                print(json.dumps(t, ensure_ascii=False), flush=True)
            else:
                where = f"  [{t['location']}]" if t["location"] else ""
                print(f"{t['time']}  {t['ip']}{where}  {t['text']}", flush=True)
        if not args.follow:
            if not traps and args.fmt != "json":
                note("no traps waiting")
            return EXIT_OK
        time.sleep(args.every)


# Options of `set`: option name -> (SwitchInfo element, kind).
SET_OPTIONS = [
    ("name", "systemName", "name"), ("location", "location", "name"),
    ("ip", "agentIpAddr", "ip"), ("mask", "agentNetmask", "ip"),
    ("gateway", "agentGateway", "ip"), ("dns1", "agentDNS1", "ip"),
    ("dns2", "agentDNS2", "ip"), ("trap_ip", "trapIpAddr", "ip"),
    ("dhcp", "dhcpMode", "onoff"), ("snmp", "snmpMode", "onoff"),
    ("vlan", "vlanID", "vlan"),
]


def device_set(client: Client, agent: dict, operate: int, changes: dict, args) -> int:
    """Sends one device-set operation for `agent` through SetDeviceCfgEx with
    the agent's current values overlaid by `changes`, then (unless --no-wait)
    waits for its outcome."""
    values = dict(agent)
    values.update(changes)
    params = []
    for name in SET_PARAMETERS:
        params.append((name, operate if name == "operate" else values[name]))
    mac = agent["macAddr"]
    what = OPERATE_NAMES[operate]
    client.call("SetDeviceCfgEx", params)
    if args.no_wait:
        print(f"{mac}: {what} sent (ferroctl raw GetOperateResult collects the outcome)")
        return EXIT_OK
    note(f"{mac}: {what} sent; waiting for the agent's answer (at most "
         f"{DEVICE_SET_TIMEOUT_S} s)")
    deadline = time.monotonic() + args.wait_timeout
    while time.monotonic() < deadline:
        answer = client.call("GetOperateResult")
        mine = None
        for op in answer.findall("arrList"):
            info = switch_info(op.find("agentInfo"))
            code, result = int_of(op, "operate"), int_of(op, "result")
            if mine is None and info["macAddr"] == mac and code == operate:
                mine = result
            else:  # finished operations are handed out once: say so rather than lose them
                note(f"also finished: {info['macAddr']} {OPERATE_NAMES.get(code, code)}, "
                     + ("timed out" if result == -2 else f"result {result}"))
        if mine is not None:
            if mine == -2:
                print(f"{mac}: {what} timed out: the agent did not answer within "
                      f"{DEVICE_SET_TIMEOUT_S} s")
                return EXIT_FAILED
            print(f"{mac}: {what} answered with result {mine}"
                  + (" (accepted)" if mine == 0 else " (refused)"))
            return EXIT_OK if mine == 0 else EXIT_FAILED
        time.sleep(0.5)
    print(f"{mac}: {what}: no outcome within {args.wait_timeout:g} s")
    return EXIT_FAILED


def name_value(text: str, what: str) -> str:
    if len(text.encode("utf-8")) > NAME_BYTES:
        raise Failure(f"the {what} {text!r} is longer than the agents keep "
                      f"({NAME_BYTES} bytes)", EXIT_USAGE)
    return text


def cmd_set(client: Client, args) -> int:
    changes = {}
    for option, field, kind in SET_OPTIONS:
        value = getattr(args, option)
        if value is None:
            continue
        if kind == "name":
            changes[field] = name_value(value, option)
        elif kind == "ip":
            changes[field] = ipv4_text(value, option.replace("_", "-"))
        elif kind == "onoff":
            changes[field] = 1 if value == "on" else 0
        else:
            changes[field] = value
    for item in args.field or []:
        name, sep, value = item.partition("=")
        if not sep or name not in SET_PARAMETERS or name == "operate":
            raise Failure(f"--field {item!r}: NAME=VALUE with NAME one of the settable elements "
                          f"({', '.join(p for p in SET_PARAMETERS if p != 'operate')})",
                          EXIT_USAGE)
        if name in NUMERIC:
            try:
                changes[name] = int(value, 0)
            except ValueError:
                raise Failure(f"--field {item!r}: {name} is a number", EXIT_USAGE)
        else:
            changes[name] = value
    if not changes:
        raise Failure("set: nothing to change (ferroctl set --help lists the options)",
                      EXIT_USAGE)
    if args.password is not None:
        changes["oldPassword"] = args.password
    mac = mac_text(args.mac)
    agent = find_agent(known_agents(client), mac)
    return device_set(client, agent, OPERATE_SET, changes, args)


def cmd_password(client: Client, args) -> int:
    mac = mac_text(args.mac)
    agent = find_agent(known_agents(client), mac)
    return device_set(client, agent, OPERATE_PASSWORD,
                      {"oldPassword": args.old, "newPasseord": args.new}, args)


def cmd_restore(client: Client, args) -> int:
    mac = mac_text(args.mac)
    agent = find_agent(known_agents(client), mac)
    changes = {} if args.password is None else {"oldPassword": args.password}
    return device_set(client, agent, OPERATE_RESTORE, changes, args)


class Progress:
    """Per-agent upload lines: redrawn in place on a terminal, otherwise one
    line whenever an agent's state changes."""

    def __init__(self, macs: list[str], size: int, out=None):
        self.macs = macs
        self.size = size
        self.out = out or sys.stdout
        self.live = self.out.isatty()
        self.drawn = 0
        self.last = {}

    def line(self, mac: str, st: dict) -> str:
        state = UPLOAD_STATES.get(st["upgradeStatus"], f"state {st['upgradeStatus']}")
        # A queued upload has not measured its file yet.
        total = st["fwFileSize"] if st["fwFileSize"] > 0 else self.size
        sent = max(st["transmitedSize"], 0)
        frac = min(sent / total, 1.0) if total else 0.0
        if st["upgradeStatus"] in (6, 7, UPLOAD_DONE):
            frac = 1.0 if total else frac
        width = 24
        filled = int(frac * width)
        bar = "#" * filled + "." * (width - filled)
        text = f"{mac}  {state:<13} {sent:>11,} / {total:<11,} [{bar}] {frac * 100:3.0f}%"
        if st["upgradeStatus"] == UPLOAD_FAILED:
            text += f"  {failure_words(st['failedCode'])}"
        return text

    def show(self, status: dict) -> None:
        lines = [self.line(m, status[m]) for m in self.macs]
        if self.live:
            if self.drawn:
                self.out.write(f"\x1b[{self.drawn}F")
            for text in lines:
                self.out.write("\x1b[2K" + text + "\n")
            self.drawn = len(lines)
        else:
            for m, text in zip(self.macs, lines):
                st = status[m]
                quarter = 4 * st["transmitedSize"] // st["fwFileSize"] if st["fwFileSize"] > 0 else 0
                key = (st["upgradeStatus"], quarter)
                if self.last.get(m) != key:
                    self.last[m] = key
                    self.out.write(text + "\n")
        self.out.flush()


def failure_words(code: int) -> str:
    return f"{UPLOAD_FAILURES.get(code, 'unknown failure')} (code {code})"


def upload_status(client: Client, mac: str) -> dict:
    info = client.call("GetUpgradeStatus", [("strMacAddr", mac)])
    return {k: int_of(info, k) for k in
            ("isupgrading", "upgradeStatus", "fwFileSize", "transmitedSize", "failedCode")}


def cmd_upgrade(client: Client, args) -> int:
    path = os.path.abspath(args.file)
    if not os.path.isfile(path):
        raise Failure(f"{args.file}: no such file", EXIT_USAGE)
    size = os.path.getsize(path)
    if size <= 0:
        raise Failure(f"{args.file}: the file is empty", EXIT_USAGE)
    if args.key and args.type != "config":
        raise Failure("--key goes with --type config (it encrypts configuration files)",
                      EXIT_USAGE)
    macs = []
    for m in args.macs:
        mac = mac_text(m)
        if mac in macs:
            raise Failure(f"{mac} is named twice", EXIT_USAGE)
        macs.append(mac)
    key = args.key or ""
    answer = client.call("SetFwFilePath", [("strFwFilePath", path), ("strUpType", args.type),
                                           ("strEncryptKey", key), ("intFileSize", size)])
    if int_of(answer, "errorcode") != 0:
        raise Failure(f"the server refused the file {path}: it must exist where the server "
                      "runs and not be empty")
    for mac in macs:
        try:
            client.call("AddUpgradeAgentEx", [("macAddr", mac), ("password", args.password),
                                              ("strUpType", args.type), ("strEncryptKey", key),
                                              ("intFileSize", size)])
        except Fault:
            client.call("EndUpgrade")
            raise Failure(f"{mac}: no agent with this MAC is known to the server "
                          "(ferroctl discover finds the agents); nothing was started")
    client.call("StartUpgrade")
    note(f"uploading {path} ({size:,} bytes, {args.type}) to {len(macs)} agent(s)")
    progress = Progress(macs, size)
    status = {}
    idle = 0
    try:
        while True:
            for mac in macs:
                status[mac] = upload_status(client, mac)
            progress.show(status)
            states = [s["upgradeStatus"] for s in status.values()]
            if all(st in (UPLOAD_DONE, UPLOAD_FAILED) for st in states):
                break
            # After some failures (a TFTP error, the file gone) the server
            # does not start the next queued upload by itself.
            idle = idle + 1 if 0 in states and not any(1 <= st <= 7 for st in states) else 0
            if idle >= 2:
                client.call("StartUpgrade")
                idle = 0
            time.sleep(args.every)
    except KeyboardInterrupt:
        note("stopped watching; the uploads go on in the server "
             "(ferroctl raw EndUpgrade discards them)")
        return 130
    failed = [m for m in macs if status[m]["upgradeStatus"] == UPLOAD_FAILED]
    for mac in macs:
        st = status[mac]
        print(f"{mac}: " + ("done" if st["upgradeStatus"] == UPLOAD_DONE
                            else f"failed: {failure_words(st['failedCode'])}"))
    if not args.keep:
        client.call("EndUpgrade")
    return EXIT_FAILED if failed else EXIT_OK


def cmd_save(client: Client, args) -> int:
    path = os.path.abspath(args.file)
    before = os.stat(path).st_mtime_ns if os.path.isfile(path) else None
    client.call("SaveFile", [("filepath", path)])
    # The service may answer success although it could not write the file,
    # so look at the file itself.
    if not os.path.isfile(path) or os.stat(path).st_mtime_ns == before:
        raise Failure(f"the server could not write {path}")
    count = os.path.getsize(path) // CFG_RECORD_SIZE
    print(f"saved {count} watched agent{'s' if count != 1 else ''} to {path}")
    return EXIT_OK


def cmd_load(client: Client, args) -> int:
    path = os.path.abspath(args.file)
    # The server answers a file it cannot open like a damaged one; say which
    # it is before asking.
    if not os.path.isfile(path):
        raise Failure(f"{args.file}: no such file (the watched agents stay as they are)",
                      EXIT_USAGE)
    try:
        answer = client.call("LoadFile", [("filepath", path)])
    except Fault as e:
        raise Failure(f"{path}: two records hold the same address; the agents before the "
                      f"second one are watched now ({e.reason})")
    entries = answer.findall("arrList")
    if int_of(answer, "nErrorCode") == 1:
        raise Failure(f"{path} is not a whole number of {CFG_RECORD_SIZE}-byte records; "
                      "nothing was loaded")
    print(f"watching {len(entries)} agent{'s' if len(entries) != 1 else ''} from {path}")
    agents = []
    for m in entries:
        info = switch_info(m.find("monitorInfo"))
        info["watched"] = True
        agents.append(info)
    if agents or args.fmt != "table":
        print_agents(agents, args.fmt)
    return EXIT_OK


INTERVALS = {
    "poll": ("GetRefreshTime", "SetRefreshTime", "monitorPollingInterval",
             "keep-alive poll interval", "written to cfg/define.ecf"),
    "igmp": ("GetUtilityGroupInterval", "SetUtilityGroupInterval", "groupInterval",
             "IGMP report interval", "until the server restarts"),
}


def cmd_interval(client: Client, args) -> int:
    get, put, field, label, lasting = INTERVALS[args.which]
    if args.seconds is None:
        print(f"{label}: {int_of(client.call(get), field)} s")
        return EXIT_OK
    if not 1 <= args.seconds <= 9999:
        raise Failure("an interval is 1 to 9999 seconds", EXIT_USAGE)
    client.call(put, [(field, args.seconds)])
    print(f"{label} set to {args.seconds} s ({lasting})")
    return EXIT_OK


def cmd_stop(client: Client, args) -> int:
    client.close_server()
    print("server stopped")
    return EXIT_OK


def cmd_raw(client: Client, args) -> int:
    params = []
    for item in args.params:
        if item.lstrip().startswith("<"):
            try:
                ET.fromstring(f"<x>{item}</x>")
            except ET.ParseError as e:
                raise Failure(f"not well-formed XML: {item!r} ({e})", EXIT_USAGE)
            params.append(("", RawXml(item)))
            continue
        name, sep, value = item.partition("=")
        if not sep or not re.fullmatch(r"[A-Za-z_][\w.-]*", name):
            raise Failure(f"{item!r}: parameters are name=value or XML", EXIT_USAGE)
        params.append((name, value))
    if args.operation == "GSoapClose":
        client.close_server()
        print("server stopped")
        return EXIT_OK
    status, body = client.post(args.operation, params)
    if args.xml:
        sys.stdout.write(body.decode("utf-8", "replace") + "\n")
    else:
        import xml.dom.minidom
        try:
            pretty = xml.dom.minidom.parseString(body).toprettyxml(indent="  ")
            sys.stdout.write(pretty.split("\n", 1)[1])
        except Exception:  # not XML: show it as it came
            sys.stdout.write(body.decode("utf-8", "replace") + "\n")
    parse_response(args.operation, status, body)  # a fault ends with its message
    return EXIT_OK


# -- command line --------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ferroctl", description=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--server", metavar="URL", default=os.environ.get("FERROCTL_SERVER", DEFAULT_URL),
                   help=f"the service (default {DEFAULT_URL}, or $FERROCTL_SERVER)")
    p.add_argument("--timeout", type=float, default=30.0, metavar="S",
                   help="seconds to wait for one answer of the server (default 30)")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def command(name, func, help_text, description=None):
        c = sub.add_parser(name, help=help_text, description=description or help_text,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        c.set_defaults(func=func)
        return c

    command("start", cmd_start, "start the engine (EngineLayerStartup)",
            "Starts the engine: it reads cfg/define.ecf and opens its sockets on every local "
            "network. Until then the lists are empty. Starting twice is harmless.")

    c = command("discover", cmd_discover, "ask every agent to answer, then list them",
                "Sends a discovery on every local network (SetDiscoverToAgents), waits for the "
                "answers and lists the agents as `list` does. The list of the previous "
                "discovery is cleared.")
    c.add_argument("--wait", type=float, default=3.5, metavar="S",
                   help="seconds to wait for answers (default 3.5; agents have 3 s); "
                        "0 sends without listing")
    add_format_options(c)

    c = command("list", cmd_list, "the agents the server knows, as a table",
                "Lists the watched agents first, then those of the latest discovery: address, "
                "MAC, name, model, firmware, location, loader mode and whether it is watched.")
    add_format_options(c)

    c = command("watch", cmd_watch, "watch agents (keep-alive polls): add, del, status",
                "add ADDR...  watch agents, named by address or MAC\n"
                "del ADDR...  stop watching them\n"
                "status       each watched agent: alive, replied since the last poll, time")
    c.add_argument("action", choices=["add", "del", "status"])
    c.add_argument("agents", nargs="*", metavar="ADDR", help="IPv4 address or MAC")
    add_format_options(c)

    c = command("traps", cmd_traps, "take the traps the agents sent, with their times",
                "Prints the waiting traps and removes them from the server (as the service "
                "does: each trap is handed out once).")
    c.add_argument("--follow", action="store_true", help="keep printing new traps until Ctrl-C")
    c.add_argument("--every", type=float, default=1.0, metavar="S",
                   help="seconds between two looks with --follow (default 1)")
    c.add_argument("--json", dest="fmt", action="store_const", const="json", default="text",
                   help="one JSON object per line")

    def wait_options(c):
        c.add_argument("--no-wait", action="store_true",
                       help="return once the request is sent, without waiting for the outcome")
        # How long to look for the outcome; the server itself gives up after 50 s.
        c.add_argument("--wait-timeout", type=float, default=DEVICE_SET_TIMEOUT_S + 10,
                       metavar="S", help=argparse.SUPPRESS)

    c = command("set", cmd_set, "change an agent's settings (SetDeviceCfgEx)",
                "Sends the agent its current settings with the changes given, then waits for "
                "its answer (GetOperateResult) and prints it: answered with result N (0 is "
                "accepted), or timed out after 50 s.")
    c.add_argument("mac", metavar="MAC")
    c.add_argument("--name", help=f"system name (at most {NAME_BYTES} bytes)")
    c.add_argument("--location", help=f"location text (at most {NAME_BYTES} bytes)")
    c.add_argument("--ip", metavar="A.B.C.D", help="the agent's address")
    c.add_argument("--mask", metavar="A.B.C.D", help="netmask")
    c.add_argument("--gateway", metavar="A.B.C.D", help="default gateway")
    c.add_argument("--dns1", metavar="A.B.C.D", help="first DNS server")
    c.add_argument("--dns2", metavar="A.B.C.D", help="second DNS server")
    c.add_argument("--trap-ip", dest="trap_ip", metavar="A.B.C.D", help="trap destination")
    c.add_argument("--dhcp", choices=["on", "off"], help="take the address from DHCP")
    c.add_argument("--snmp", choices=["on", "off"], help="SNMP")
    c.add_argument("--vlan", type=int, metavar="ID", help="management VLAN")
    c.add_argument("--field", action="append", metavar="NAME=VALUE",
                   help="any other settable element, e.g. wifiSSID=lab (repeatable)")
    c.add_argument("--password", help="the agent's current password, for agents that ask")
    wait_options(c)

    c = command("password", cmd_password, "change an agent's password",
                "Asks the agent to change its password, then waits for its answer.")
    c.add_argument("mac", metavar="MAC")
    c.add_argument("--old", required=True, help="the current password")
    c.add_argument("--new", required=True, help="the new password")
    wait_options(c)

    c = command("restore", cmd_restore, "return an agent to its factory settings",
                "Asks the agent to restore its factory defaults, then waits for its answer.")
    c.add_argument("mac", metavar="MAC")
    c.add_argument("--password", help="the agent's current password, for agents that ask")
    wait_options(c)

    c = command("upgrade", cmd_upgrade, "upload firmware or a configuration file to agents",
                "Uploads FILE to each agent in turn (TFTP) and shows each one's progress until "
                "every upload is Done or Failed; the exit status is 1 when any failed. FILE is "
                "read by the server, so it must be on the server's machine.")
    c.add_argument("file", metavar="FILE")
    c.add_argument("macs", nargs="+", metavar="MAC")
    c.add_argument("--type", default="firmware", metavar="TYPE",
                   help='"firmware" (default) or "config" for a configuration file')
    c.add_argument("--key", help="encryption key of a configuration file (--type config)")
    c.add_argument("--password", default="", help="the agents' password, for agents that ask")
    c.add_argument("--every", type=float, default=0.5, metavar="S",
                   help="seconds between two looks at the progress (default 0.5)")
    c.add_argument("--keep", action="store_true",
                   help="leave the finished uploads in the server (no EndUpgrade)")

    c = command("save", cmd_save, "save the watched agents to a .cfg file (SaveFile)")
    c.add_argument("file", metavar="FILE", help="written by the server, on its machine")

    c = command("load", cmd_load, "watch the agents of a .cfg file instead (LoadFile)",
                "Replaces the watched agents by those saved in FILE.")
    c.add_argument("file", metavar="FILE")
    add_format_options(c)

    c = command("interval", cmd_interval, "show or set the poll or IGMP interval",
                "poll: seconds between two keep-alive polls of a watched agent (kept in "
                "cfg/define.ecf); igmp: seconds between two IGMP membership reports (until "
                "the server restarts). Without SECONDS the current value is shown.")
    c.add_argument("which", choices=["poll", "igmp"])
    c.add_argument("seconds", type=int, nargs="?", metavar="SECONDS")

    command("stop", cmd_stop, "end the server (GSoapClose)")

    c = command("raw", cmd_raw, "post any operation and print the answer",
                "Posts OPERATION with the parameters given as name=value or as XML "
                "(for nested values: '<switchInfo><systemName>x</systemName></switchInfo>') "
                "and prints the answer indented.")
    c.add_argument("operation", metavar="OPERATION")
    c.add_argument("params", nargs="*", metavar="PARAM")
    c.add_argument("--soap12", action="store_true", help="send SOAP 1.2")
    c.add_argument("--xml", action="store_true", help="print the answer as received")
    return p


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    client = Client(args.server, args.timeout, getattr(args, "soap12", False))
    try:
        return args.func(client, args)
    except Failure as e:
        note(str(e))
        return e.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # `ferroctl list | head`: the reader left; nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
