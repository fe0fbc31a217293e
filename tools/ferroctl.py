#!/usr/bin/python3
"""ferroctl: the Ferrolink service from the command line, for people and scripts.

    ferroctl [--server URL] COMMAND [ARGS]      (ferroctl COMMAND --help for each)

The service answers SOAP only to callers on the machine it runs on, so run
ferroctl there (default URL http://127.0.0.1:64567/). An AGENT is named by
its MAC (02-46-4C-00-00-05; colons and lower case are fine), its IPv4
address, or its name when no other known agent has the same name.

restore and upgrade ask before they act, and so does load when it would
replace watched agents: on a terminal they ask y/N; without one they refuse
unless --yes is given.

Exit status: 0 done; 1 the server refused a request (a SOAP fault), an
outcome failed (an agent refused or timed out, an upload failed) or the
question was answered no; 2 wrong usage; 3 no server answers at the URL;
4 the server does not let this caller make the request (HTTP 403, e.g. a
user other than the server's or root changing something); 5 the server is
busy (HTTP 503), try again; 6 the answer is not the service's (not HTTP,
not SOAP, or cut short: something else answers at the URL).
"""

import argparse
import hashlib
import http.client
import json
import math
import os
import re
import socket
import stat
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

DEFAULT_URL = "http://127.0.0.1:64567/"
NAMESPACE = "urn:Halvex"
SOAP11_ENV = "http://schemas.xmlsoap.org/soap/envelope/"
SOAP12_ENV = "http://www.w3.org/2003/05/soap-envelope"

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_NO_SERVER = 0, 1, 2, 3
EXIT_FORBIDDEN, EXIT_BUSY, EXIT_BAD_ANSWER = 4, 5, 6

# The most of one answer that is read: the largest lists of agents take a
# few megabytes.
MAX_ANSWER_BYTES = 64 << 20
# The MAC of a watched address no agent has answered from yet.
NO_MAC = "00-00-00-00-00-00"

# Bytes of one record in a saved .cfg file of watched agents.
CFG_RECORD_SIZE = 1608
# Agents' name fields hold 20 bytes and a terminating zero.
NAME_BYTES = 20
# The request carries a file's size as a 32-bit number.
MAX_UPLOAD_BYTES = (1 << 31) - 1
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
# How the event feed names them.
OPERATE_FEED_NAMES = {0: "set_config", 1: "set_password", 2: "set_config_no_address",
                      3: "restore_defaults"}

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

# The server's event history: read-only JSON on the SOAP port.
EVENTS_PATH = "api/events"
INVENTORY_PATH = "api/inventory"
EVENT_KINDS = ("trap agent_dead agent_alive set_started set_outcome upload_queued upload_state "
               "upload_end discovery server_start server_stop list_load list_save").split()
# The most events one request of the feed returns.
EVENTS_PAGE = 1000

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


class Forbidden(Failure):
    """HTTP 403: the server does not serve this request to this caller."""

    def __init__(self, operation, reason):
        super().__init__(f"the server does not let this caller make {operation} (HTTP 403): "
                         f"{reason or 'no reason given'}", EXIT_FORBIDDEN)


class Busy(Failure):
    """HTTP 503: the server had no room for its answer."""

    def __init__(self, operation):
        maybe = "" if operation.startswith("Get") else " (it may have carried it out)"
        super().__init__(f"the server is busy and gave no answer to {operation} (HTTP 503)"
                         f"{maybe}; try again in a moment", EXIT_BUSY)


class NoFeed(Failure):
    """The server answers, but has no event feed (a build before it)."""

    def __init__(self, url):
        super().__init__(f"the server at {url} keeps no event history (GET /{EVENTS_PATH} "
                         "answered HTTP 404): it is older than this ferroctl")


class BadAnswer(Failure):
    """Whatever answered is not the service, or its answer was damaged."""

    def __init__(self, operation, what):
        super().__init__(f"{operation}: {what}; is the Ferrolink service at the URL?",
                         EXIT_BAD_ANSWER)


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


class _NoRedirects(urllib.request.HTTPRedirectHandler):
    """The service never redirects: a redirect is an answer of something else."""

    def redirect_request(self, *args, **kwargs):
        return None


# Straight to the URL: the service answers callers on its own machine only,
# so a proxy from the environment could only stand in the way.
_OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}), _NoRedirects)


def read_answer(resp, operation: str) -> bytes:
    """The body of an answer, at most MAX_ANSWER_BYTES, and whole: one
    shorter than its Content-Length is a damaged answer."""
    raw = resp if isinstance(resp, http.client.HTTPResponse) else resp.fp
    chunks, total = [], 0
    while chunk := raw.read(1 << 16):
        total += len(chunk)
        if total > MAX_ANSWER_BYTES:
            raise BadAnswer(operation, f"the answer is larger than {MAX_ANSWER_BYTES >> 20} MiB")
        chunks.append(chunk)
    if raw.length:  # what the Content-Length promised and never came
        raise BadAnswer(operation, f"the answer was cut short after {total} bytes")
    return b"".join(chunks)


class Client:
    def __init__(self, url=DEFAULT_URL, timeout=30.0, soap12=False):
        self.url = url
        self.timeout = timeout
        self.soap12 = soap12

    def post(self, operation: str, params=()) -> tuple[int, bytes]:
        ctype = "application/soap+xml" if self.soap12 else "text/xml"
        req = urllib.request.Request(self.url, data=envelope(operation, params, self.soap12),
                                     headers={"Content-Type": f"{ctype}; charset=utf-8"})
        return self.send(req, operation)

    def send(self, req: urllib.request.Request, operation: str) -> tuple[int, bytes]:
        """Sends one request; (HTTP status, body) of whatever answered."""
        try:
            try:
                with _OPENER.open(req, timeout=self.timeout) as resp:
                    return resp.status, read_answer(resp, operation)
            except urllib.error.HTTPError as e:  # an answer with a status other than 2xx
                with e:
                    return e.code, read_answer(e, operation)
        except urllib.error.URLError as e:  # connecting or sending failed
            if isinstance(e.reason, (ConnectionResetError, BrokenPipeError)):
                raise Disconnected(f"the server closed the connection during {operation}")
            raise NoServer(self.url, getattr(e.reason, "strerror", None) or str(e.reason))
        except (socket.timeout, TimeoutError):
            raise Failure(f"{operation}: no answer from the server within {self.timeout:g} s")
        except http.client.RemoteDisconnected:
            raise Disconnected(f"the server closed the connection without answering {operation}")
        except http.client.IncompleteRead as e:
            raise BadAnswer(operation, f"the answer was cut short after {len(e.partial)} bytes")
        except http.client.HTTPException as e:
            raise BadAnswer(operation, f"the answer is not HTTP ({type(e).__name__})")
        except OSError as e:
            raise Disconnected(f"the connection to the server failed during {operation}: "
                               f"{e.strerror or e}")

    def call(self, operation: str, params=()) -> ET.Element:
        """Posts one operation and returns the response element; raises
        Fault for a SOAP fault."""
        status, body = self.post(operation, params)
        return parse_response(operation, status, body)

    def api(self, path: str, query: dict, what: str, method: str = "GET") -> dict:
        """One request to the service's JSON endpoints (path without the
        leading "/", e.g. "api/events"): the answer's object. `what` names
        the request in messages."""
        url = urllib.parse.urljoin(self.url, path)
        if query:
            url += "?" + urllib.parse.urlencode(query)
        status, body = self.send(urllib.request.Request(url, method=method), what)
        try:
            answer = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            answer = None
        error = answer.get("error") if isinstance(answer, dict) else None
        error = error if isinstance(error, str) else ""
        if status == 200 and isinstance(answer, dict):
            return answer
        if status == 404 and path == EVENTS_PATH:
            raise NoFeed(self.url)
        if status == 404 and isinstance(answer, dict):
            raise Failure(f"{what}: {error or 'not found'}")
        if status == 403:
            raise Forbidden(what, error)
        if status == 503:
            raise Busy(what)
        if status == 400:
            raise Failure(f"the server refused {what}: {error or 'a bad parameter'}", EXIT_USAGE)
        if status == 200:
            raise BadAnswer(what, "the answer is not a JSON object")
        raise BadAnswer(what, f"the answer is HTTP {status}" + (f": {error}" if error else ""))

    def events(self, what: str = "the event feed", **query) -> dict:
        """One page of the event feed, its shape checked: {"events": [...],
        "newest_id": N, "lost": N}."""
        answer = self.api(EVENTS_PATH, {k: v for k, v in query.items() if v is not None}, what)
        events = answer.get("events")
        newest = answer.get("newest_id")
        if not isinstance(events, list) or not isinstance(newest, int) or not all(
                isinstance(e, dict) and isinstance(e.get("id"), int) for e in events):
            raise BadAnswer(what, "the answer is not a page of events")
        for e in events:
            for key in ("time", "kind", "mac", "address", "text"):
                if not isinstance(e.get(key), str):
                    e[key] = "" if e.get(key) is None else str(e[key])
            if not isinstance(e.get("fields"), dict):
                e["fields"] = {}
        if not isinstance(answer.get("lost"), int):
            answer["lost"] = 0
        return answer

    def close_server(self) -> None:
        """GSoapClose: the server answers "202 Accepted" with no body and
        ends. Servers of earlier builds ended without answering, so a
        connection closed with no answer is the success too."""
        try:
            status, body = self.post("GSoapClose")
        except Disconnected:
            return
        if status == 202 and not body.strip():
            return
        parse_response("GSoapClose", status, body)


def fault_reason(fault: ET.Element) -> tuple[str, str]:
    """(reason, detail) of a SOAP 1.1 or 1.2 Fault element."""
    reason = fault.findtext("faultstring") or ""
    if not reason:  # SOAP 1.2
        text = fault.find(f"{{{SOAP12_ENV}}}Reason/{{{SOAP12_ENV}}}Text")
        reason = text.text if text is not None and text.text else ""
    detail = ""
    for d in fault.iter():
        if local(d.tag) in ("detail", "Detail"):
            detail = " ".join(t.strip() for t in d.itertext() if t.strip())
    return reason, detail


def parse_response(operation: str, status: int, body: bytes) -> ET.Element:
    if status == 503:
        raise Busy(operation)
    try:
        root = ET.fromstring(body)
    except (ET.ParseError, ValueError, LookupError):
        if status == 403:
            raise Forbidden(operation, "")
        text = body[:120].decode("utf-8", "replace")
        raise BadAnswer(operation, f"the answer (HTTP {status}) is not XML: {text!r}"
                        if body.strip() else f"the answer (HTTP {status}) is empty")
    bodies = [e for e in root if local(e.tag) == "Body"]
    if local(root.tag) != "Envelope" or not bodies or len(bodies[0]) == 0:
        if status == 403:
            raise Forbidden(operation, "")
        raise BadAnswer(operation, f"the answer (HTTP {status}) is not a SOAP message")
    first = bodies[0][0]
    if local(first.tag) == "Fault":
        reason, detail = fault_reason(first)
        if status == 403:
            raise Forbidden(operation, detail or reason)
        raise Fault(operation, reason or "a SOAP fault", detail)
    if not 200 <= status < 300:
        raise BadAnswer(operation, f"HTTP {status} came with an answer that is not a fault")
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

    # Zero agents are always there to give: a fault here is a refusal, not
    # an answer about the size.
    client.call("GetMonitorStatus", [("monitorNum", 0)])
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


MAC_RE = re.compile(r"([0-9A-Fa-f]{2})([-:]?)([0-9A-Fa-f]{2})(?:\2([0-9A-Fa-f]{2})){4}")
# What is meant as a MAC although it is none: short groups joined by "-" or
# ":" (five pairs, a pair with a "G" in it).
MAC_LIKE = re.compile(r"[0-9A-Fa-f]{1,2}(?:[-:][0-9A-Fa-f]{1,2}){2,}"
                      r"|[0-9A-Za-z]{2}(?:[-:][0-9A-Za-z]{2}){4,}")
# What is meant as an IPv4 address: digits and dots.
IPV4_LIKE = re.compile(r"[0-9]*\.[0-9.]*")
MAC_FORM = "six hex pairs, e.g. 02-46-4C-00-00-05"
IPV4_FORM = "four numbers 0-255 joined by dots, e.g. 10.61.1.5"


def mac_text(text: str) -> str:
    """The MAC as the service writes it: six upper-case pairs joined by "-"."""
    if not MAC_RE.fullmatch(text.strip()):
        raise Failure(f"{text!r} is not a MAC address ({MAC_FORM})", EXIT_USAGE)
    digits = re.sub(r"[-:]", "", text.strip())
    return "-".join(digits[i:i + 2] for i in range(0, 12, 2)).upper()


def is_ipv4(text: str) -> bool:
    parts = text.split(".")
    return len(parts) == 4 and all(re.fullmatch(r"[0-9]{1,3}", p) and int(p) <= 255
                                   for p in parts)


def ipv4_text(text: str, what: str) -> str:
    if not is_ipv4(text):
        raise Failure(f"{what + ' ' if what else ''}{text!r} is not an IPv4 address "
                      f"({IPV4_FORM})", EXIT_USAGE)
    return ".".join(str(int(p)) for p in text.split("."))


def agent_ref(text: str) -> tuple[str, str]:
    """How the user named an agent: ("mac", MAC), ("ip", address) or
    ("name", name). Something written like an address or a MAC that is
    neither is wrong usage; anything else is a name."""
    if MAC_RE.fullmatch(text.strip()):
        return "mac", mac_text(text)
    if IPV4_LIKE.fullmatch(text.strip()):
        return "ip", ipv4_text(text.strip(), "")
    if MAC_LIKE.fullmatch(text.strip()):
        raise Failure(f"{text!r} is not a MAC address ({MAC_FORM})", EXIT_USAGE)
    if not text:
        raise Failure("an empty name names no agent", EXIT_USAGE)
    return "name", text


def agent_label(agent: dict) -> str:
    name = f"{agent['systemName']} " if agent["systemName"] else ""
    return f"{name}({agent['macAddr']} at {agent['agentIpAddr']})"


def find_agent(agents: list[dict], ref: tuple[str, str], unseen_ok=False) -> dict | None:
    """The one known agent that `ref` (from agent_ref) names. An address no
    agent has answered from gives None when `unseen_ok`."""
    kind, value = ref
    answered = [a for a in agents if a["macAddr"] != NO_MAC]
    if kind == "mac":
        found, what = [a for a in answered if a["macAddr"] == value][:1], f"with MAC {value}"
    elif kind == "ip":
        found, what = [a for a in answered if a["agentIpAddr"] == value], f"at {value}"
        if not found and unseen_ok:
            return None
    else:
        found, what = [a for a in answered if a["systemName"] == value], f"named {value!r}"
    if not found:
        raise Failure(f"no agent {what} is known to the server (ferroctl list shows the known "
                      "ones; ferroctl discover finds the agents)")
    if len(found) > 1:
        raise Failure(f"{len(found)} agents are {what}: "
                      + ", ".join(agent_label(a) for a in found) + "; name one by its MAC")
    return found[0]


# -- output --------------------------------------------------------------------

def cell(info: dict, field: str) -> str:
    if field == "isLoaderMode":
        return "yes" if info[field] == 1 else ""
    return str(info[field])


CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def shown(text: str) -> str:
    """Text for a terminal line: control characters (an agent's name comes
    from the network) are written as escapes instead of acting."""
    return CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def print_table(header: list[str], rows: list[list[str]], out=None) -> None:
    out = out or sys.stdout
    rows = [[shown(c) for c in r] for r in rows]
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
    print(f"ferroctl: {shown(text)}", file=sys.stderr, flush=True)


def add_format_options(p: argparse.ArgumentParser) -> None:
    g = p.add_mutually_exclusive_group()
    g.add_argument("--csv", dest="fmt", action="store_const", const="csv",
                   help="comma-separated values with a header row")
    g.add_argument("--json", dest="fmt", action="store_const", const="json",
                   help="a JSON list with every field of each agent")
    p.set_defaults(fmt="table")


def local_file(text: str, unchanged: str = "") -> tuple[str, os.stat_result]:
    """The absolute path and status of a file the server is to read or
    overwrite; wrong usage unless it is a regular file."""
    path = os.path.abspath(text)
    try:
        st = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        raise Failure(f"{text}: no such file{unchanged}", EXIT_USAGE)
    except ValueError:
        raise Failure(f"{text!r} is not a file name{unchanged}", EXIT_USAGE)
    except OSError as e:
        raise Failure(f"{text}: {e.strerror}{unchanged}", EXIT_USAGE)
    if stat.S_ISDIR(st.st_mode):
        raise Failure(f"{text} is a folder, not a file{unchanged}", EXIT_USAGE)
    if not stat.S_ISREG(st.st_mode):
        raise Failure(f"{text} is not a regular file but a device, pipe or socket{unchanged}",
                      EXIT_USAGE)
    return path, st


def sha256_of(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def can_ask(args) -> None:
    """Refuses a command that must ask first when there is no terminal to
    ask on and no --yes (called before anything is done)."""
    if not args.yes and not sys.stdin.isatty():
        raise Failure(f"{args.command} asks before it acts and there is no terminal to ask on; "
                      "add --yes to go ahead without asking", EXIT_USAGE)


def ask(args, question: str, unchanged: str) -> None:
    """Asks y/N on the terminal; anything but yes ends the command."""
    if args.yes:
        return
    can_ask(args)
    sys.stderr.write(f"{shown(question)} [y/N] ")
    sys.stderr.flush()
    answer = sys.stdin.readline()
    if not answer.endswith("\n"):
        sys.stderr.write("\n")
    if answer.strip().lower() not in ("y", "yes"):
        raise Failure(f"not confirmed: {unchanged}")


def yes_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("-y", "--yes", action="store_true",
                   help="go ahead without asking (needed where there is no terminal)")


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


def cmd_watch(client: Client, args) -> int:
    if args.action == "status":
        if args.agents:
            raise Failure("watch status takes no agents (it shows every watched one)",
                          EXIT_USAGE)
        return watch_status(client, args)
    if not args.agents:
        raise Failure(f"watch {args.action} needs at least one agent (MAC, address or name)",
                      EXIT_USAGE)
    refs = [agent_ref(text) for text in args.agents]
    agents = known_agents(client)
    status = EXIT_OK
    for ref in refs:
        # The watched table goes by address; an address no agent answered
        # from yet may be watched too.
        agent = find_agent(agents, ref, unseen_ok=True)
        ip = agent["agentIpAddr"] if agent else ref[1]
        mac = agent["macAddr"] if agent and agent["macAddr"] != NO_MAC else ""
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
    # The service stamps every entry with its own clock at the moment it
    # answers; it keeps no time of an agent's last reply. So the column says
    # "as of" that moment, and it is the same on every row. CSV and JSON keep
    # the key "time" that scripts already read.
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
        note("no agents are watched (ferroctl watch add AGENT)")
    else:
        print_table(["ADDRESS", "MAC", "NAME", "ALIVE", "REPLIED", "AS OF (SERVER CLOCK)"], table)
    return EXIT_OK


# -- the event history ---------------------------------------------------------

RELATIVE_TIME = re.compile(r"([0-9]+(?:\.[0-9]+)?)([smhdw])")
UNIT_SECONDS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def point_in_time(text: str) -> str:
    """An option's type: an RFC 3339 time ("2026-12-09T20:40:00Z", a zone
    offset, or none for UTC; a date alone is its midnight UTC) or a time
    back from now ("90s", "30m", "1h", "2d", "1w"), as the feed takes it:
    RFC 3339 in UTC."""
    import datetime as dt
    value = text.strip()
    rel = RELATIVE_TIME.fullmatch(value)
    try:
        if rel:
            back = float(rel[1]) * UNIT_SECONDS[rel[2]]
            if back > 100 * 365 * 86400:
                raise OverflowError
            moment = dt.datetime.now(dt.timezone.utc) - dt.timedelta(seconds=back)
        else:
            moment = dt.datetime.fromisoformat(value.replace("z", "Z").replace("t", "T"))
            if moment.tzinfo is None:
                moment = moment.replace(tzinfo=dt.timezone.utc)
            moment = moment.astimezone(dt.timezone.utc)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a time: RFC 3339 (2026-12-09T20:40:00Z; without a zone it is UTC) "
            "or a time back from now (90s, 30m, 1h, 2d, 1w)")
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def kind_list(text: str) -> str:
    """An option's type: event kinds joined by commas."""
    kinds = [k.strip() for k in text.split(",") if k.strip()]
    unknown = [k for k in kinds if k not in EVENT_KINDS]
    if not kinds or unknown:
        raise argparse.ArgumentTypeError(
            (f"unknown kind {', '.join(map(repr, unknown))}" if unknown else "no kind given")
            + f"; the kinds are {', '.join(EVENT_KINDS)}")
    return ",".join(dict.fromkeys(kinds))


def event_mac(client: Client, text: str) -> str:
    """The MAC of the agent the user named for a filter: a MAC as it is, an
    address or name looked up among every agent the server has seen (the
    inventory keeps the ones no longer answering too)."""
    kind, value = agent_ref(text)
    if kind == "mac":
        return value
    answer = client.api(INVENTORY_PATH, {"offline": 1}, "the inventory")
    agents = answer.get("agents") if isinstance(answer.get("agents"), list) else []
    key = "address" if kind == "ip" else "name"
    found = {a.get("mac") for a in agents if isinstance(a, dict) and a.get(key) == value}
    found.discard(None)
    if not found:
        what = f"at {value}" if kind == "ip" else f"named {value!r}"
        raise Failure(f"no agent {what} was ever seen by the server (name it by its MAC)")
    if len(found) > 1:
        raise Failure(f"{len(found)} agents {'were at' if kind == 'ip' else 'are named'} "
                      f"{value}: {', '.join(sorted(found))}; name one by its MAC")
    return mac_text(found.pop())


def newest_events(client: Client, filters: dict, limit: int,
                  before: int | None = None) -> tuple[list, bool, dict]:
    """The newest `limit` events that match (0: every one) before the id
    `before` (None: up to the newest), oldest first, whether more matched,
    and the last answer. Read newest first in pages, each before the oldest
    one so far."""
    got, more = [], False
    while True:
        want = EVENTS_PAGE if not limit else min(EVENTS_PAGE, limit - len(got) + 1)
        answer = client.events(**filters, order="desc", limit=want, before=before)
        page = answer["events"]
        if before is not None and page and page[0]["id"] >= before:
            raise BadAnswer("the event feed", "a page of older events holds newer ones")
        got += page
        if limit and len(got) > limit:
            got, more = got[:limit], True
            break
        if len(page) < want:
            break
        before = page[-1]["id"]
    got.reverse()
    return got, more, answer


def follow_events(client: Client, filters: dict, cursor: int, emit, every: float) -> int:
    """Hands every new event that matches to emit(), in order, for ever
    (Ctrl-C ends it): a look every `every` seconds for events after the
    last one."""
    lost = None
    while True:
        answer = client.events(**filters, order="asc", after=cursor, limit=EVENTS_PAGE)
        for e in answer["events"]:
            if e["id"] > cursor:
                emit(e)
                cursor = e["id"]
        if answer["newest_id"] < cursor:
            note(f"the server's event history starts afresh (its newest event is "
                 f"{answer['newest_id']}, the last one seen here {cursor})")
            cursor = 0
            continue
        if lost is not None and answer["lost"] > lost:
            note(f"the server lost {answer['lost'] - lost} more events (not stored)")
        lost = answer["lost"]
        if len(answer["events"]) < EVENTS_PAGE:
            time.sleep(max(every, 0.05))


def feed_start(client: Client, what: str) -> int:
    """The id of the newest stored event: following from it sees every
    event that comes later."""
    return client.events(what, limit=1)["newest_id"]


EVENT_COLUMNS = [("TIME", 24), ("KIND", 13), ("MAC", 17), ("ADDRESS", 15), ("TEXT", 0)]
EVENT_CSV = ["id", "time", "kind", "mac", "address", "text", "fields"]


class EventPrinter:
    """Events as table lines (fixed columns, so that followed events line
    up with the first ones), CSV rows or JSON: a list, or one object per
    line when following."""

    def __init__(self, fmt: str, lines: bool):
        self.fmt = fmt
        self.lines = lines
        self.started = False
        self.csv = None
        if fmt == "csv":
            import csv
            self.csv = csv.writer(sys.stdout, lineterminator="\n")

    def header(self) -> None:
        if self.started:
            return
        self.started = True
        if self.fmt == "csv":
            self.csv.writerow(EVENT_CSV)
        elif self.fmt == "table":
            print(self.row([c for c, _ in EVENT_COLUMNS]))

    @staticmethod
    def row(cells: list[str]) -> str:
        return "  ".join(c.ljust(w) for c, (_, w) in zip(cells, EVENT_COLUMNS)).rstrip()

    def __call__(self, e: dict) -> None:
        self.header()
        if self.fmt == "json":
            print(json.dumps(e, ensure_ascii=False), flush=True)
        elif self.fmt == "csv":
            self.csv.writerow([e["id"], e["time"], e["kind"], e["mac"], e["address"], e["text"],
                               json.dumps(e["fields"], ensure_ascii=False, sort_keys=True)])
            sys.stdout.flush()
        else:
            mac = mac_text(e["mac"]) if MAC_RE.fullmatch(e["mac"]) else e["mac"]
            print(self.row([shown(v) for v in (e["time"], e["kind"], mac, e["address"],
                                               e["text"])]), flush=True)

    def all(self, events: list[dict]) -> None:
        if self.fmt == "json" and not self.lines:
            json.dump(events, sys.stdout, indent=2, ensure_ascii=False)
            sys.stdout.write("\n")
            return
        if events or self.fmt == "csv":
            self.header()
        for e in events:
            self(e)


def event_filters(client: Client, args) -> dict:
    return {"since": args.since, "until": getattr(args, "until", None),
            "mac": event_mac(client, args.mac) if args.mac else None,
            "kind": getattr(args, "kind", None)}


def following(command):
    """With --follow, Ctrl-C is how the command ends: cleanly, status 0,
    wherever it comes."""
    def run(client: Client, args) -> int:
        try:
            return command(client, args)
        except KeyboardInterrupt:
            if args.follow:
                return EXIT_OK
            raise
    return run


@following
def cmd_events(client: Client, args) -> int:
    if args.follow and args.until:
        raise Failure("--until and --follow do not go together (following has no end)",
                      EXIT_USAGE)
    filters = event_filters(client, args)
    cursor = feed_start(client, "the event feed") if args.follow else 0
    events, more, answer = newest_events(client, filters, args.limit,
                                         cursor + 1 if args.follow else None)
    out = EventPrinter(args.fmt, lines=args.follow)
    out.all(events)
    if more:
        note(f"the newest {args.limit} matching events are shown; more match "
             "(--limit N shows more, --limit 0 all, --since narrows)")
    elif not events and not args.follow and args.fmt == "table":
        note("no events match")
    if answer["lost"]:
        note(f"the server counts {answer['lost']} events lost (not stored: its store was "
             "behind or could not write)")
    if not args.follow:
        return EXIT_OK
    return follow_events(client, filters, cursor, out, args.every)


def trap_line(e: dict) -> dict:
    """A trap event as ferroctl traps prints it: the receiving machine's
    local time, the agent's address, its location and the trap's text."""
    import datetime as dt
    f = e["fields"]
    try:
        moment = dt.datetime.fromisoformat(e["time"].replace("Z", "+00:00"))
        when = moment.astimezone().strftime("%Y/%m/%d %H:%M:%S")
    except ValueError:
        when = e["time"]
    text = f.get("message") if isinstance(f.get("message"), str) else e["text"]
    location = f.get("location") if isinstance(f.get("location"), str) else ""
    return {"id": e["id"], "time": when, "ip": e["address"], "mac": e["mac"],
            "location": location, "text": text}


@following
def cmd_traps(client: Client, args) -> int:
    filters = {"kind": "trap", "since": args.since,
               "mac": event_mac(client, args.mac) if args.mac else None}
    cursor = feed_start(client, "the traps") if args.follow else 0
    traps, more, _ = newest_events(client, filters, args.limit,
                                   cursor + 1 if args.follow else None)

    def emit(e):
        t = trap_line(e)
        if args.fmt == "json":
            print(json.dumps(t, ensure_ascii=False), flush=True)
        else:
            where = f"  [{t['location']}]" if t["location"] else ""
            print(shown(f"{t['time']}  {t['ip']}{where}  {t['text']}"), flush=True)

    for e in traps:
        emit(e)
    if more:
        note(f"the newest {args.limit} traps are shown; more are stored (--limit, --since)")
    elif not traps and not args.follow and args.fmt != "json":
        note("no traps stored" + (" that match" if args.since or args.mac else ""))
    if not args.follow:
        return EXIT_OK
    return follow_events(client, filters, cursor, emit, args.every)


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
    # Outcomes are read from the event feed, after the newest event stored
    # before the request: every client sees every outcome there, and none
    # is taken from another. A server without the feed is found out before
    # anything is sent.
    cursor = None if args.no_wait else feed_start(
        client, "the event feed (for the outcome; nothing was sent; --no-wait sends without "
                "waiting)")
    client.call("SetDeviceCfgEx", params)
    if args.no_wait:
        print(f"{mac}: {what} sent (ferroctl events --kind set_outcome --mac {mac} shows its "
              "outcome)")
        return EXIT_OK
    note(f"{mac}: {what} sent; waiting for the agent's answer (at most "
         f"{DEVICE_SET_TIMEOUT_S} s)")
    deadline = time.monotonic() + args.wait_timeout
    lost, lost_since = None, 0
    while time.monotonic() < deadline:
        answer = client.events(f"the outcome of the {what} of {mac}", kind="set_outcome",
                               mac=mac, order="asc", after=cursor, limit=EVENTS_PAGE)
        lost = answer["lost"] if lost is None else lost
        lost_since = answer["lost"] - lost
        for e in answer["events"]:
            cursor = max(cursor, e["id"])
            f = e["fields"]
            if not same_operate(f, operate):
                continue
            if f.get("timed_out") is True:
                print(f"{mac}: {what} timed out: the agent did not answer within "
                      f"{DEVICE_SET_TIMEOUT_S} s")
                return EXIT_FAILED
            result = f.get("result")
            if not isinstance(result, int):
                raise BadAnswer("the event feed", f"the outcome of {mac} carries no result")
            print(f"{mac}: {what} answered with result {result}"
                  + (" (accepted)" if result == 0 else " (refused)"))
            return EXIT_OK if result == 0 else EXIT_FAILED
        time.sleep(0.5)
    why = (f" (the server's history lost {lost_since} events meanwhile; ferroctl raw "
           "GetOperateResult may hold the outcome)" if lost_since > 0 else "")
    print(f"{mac}: {what}: no outcome within {args.wait_timeout:g} s{why}")
    return EXIT_FAILED


def same_operate(fields: dict, operate: int) -> bool:
    """Whether an outcome's fields name `operate`: by its code, else its name."""
    code = fields.get("operate_code")
    if isinstance(code, int):
        return code == operate
    name = fields.get("operate")
    return isinstance(name, str) and name.strip().lower() in (
        str(operate), OPERATE_NAMES[operate], OPERATE_FEED_NAMES[operate])


def name_value(text: str, what: str) -> str:
    if len(text.encode("utf-8")) > NAME_BYTES:
        raise Failure(f"the {what} {text!r} is longer than the agents keep "
                      f"({NAME_BYTES} bytes)", EXIT_USAGE)
    return text


def cmd_set(client: Client, args) -> int:
    ref = agent_ref(args.agent)
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
    agent = find_agent(known_agents(client), ref)
    return device_set(client, agent, OPERATE_SET, changes, args)


def cmd_password(client: Client, args) -> int:
    ref = agent_ref(args.agent)
    agent = find_agent(known_agents(client), ref)
    return device_set(client, agent, OPERATE_PASSWORD,
                      {"oldPassword": args.old, "newPasseord": args.new}, args)


def cmd_restore(client: Client, args) -> int:
    ref = agent_ref(args.agent)
    can_ask(args)
    agent = find_agent(known_agents(client), ref)
    ask(args, f"return {agent_label(agent)} to its factory settings? Its name, addresses and "
              "password go back to the factory values.", "nothing was sent")
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
    path, st = local_file(args.file)
    size = st.st_size
    if size <= 0:
        raise Failure(f"{args.file}: the file is empty", EXIT_USAGE)
    if size > MAX_UPLOAD_BYTES:
        raise Failure(f"{args.file}: {size:,} bytes is more than the service takes "
                      f"({MAX_UPLOAD_BYTES:,})", EXIT_USAGE)
    if args.key and args.type != "config":
        raise Failure("--key goes with --type config (it encrypts configuration files)",
                      EXIT_USAGE)
    refs = [agent_ref(text) for text in args.agents]
    can_ask(args)
    known = known_agents(client)
    chosen = []
    for ref in refs:
        agent = find_agent(known, ref)
        if any(a["macAddr"] == agent["macAddr"] for a in chosen):
            raise Failure(f"{agent_label(agent)} is named twice", EXIT_USAGE)
        chosen.append(agent)
    macs = [a["macAddr"] for a in chosen]
    if not args.yes:
        ask(args, f"upload {path} ({size:,} bytes, {args.type}, SHA-256 {sha256_of(path)}) to "
                  + ", ".join(agent_label(a) for a in chosen)
                  + "? Each agent writes it and restarts.", "nothing was uploaded")
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
            # It was known a moment ago: the discovery list changed since.
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
    if os.path.exists(path):
        local_file(args.file)  # not over a folder, a device or a pipe
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
    # The server reads a file it cannot open as an empty one and then
    # watches nothing: say what is wrong before asking it.
    path, st = local_file(args.file, " (the watched agents stay as they are)")
    # A file that is not whole records is refused without a change.
    if not args.yes and st.st_size % CFG_RECORD_SIZE == 0:
        watched = len(watched_agents(client))
        if watched:
            count = st.st_size // CFG_RECORD_SIZE
            ask(args, f"replace the {watched} watched agent{'s' if watched != 1 else ''} with "
                      f"the {count} saved in {path}?", "the watched agents stay as they are")
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

class Parser(argparse.ArgumentParser):
    """Wrong usage is one line naming the command's help, not the usage text."""

    def error(self, message):
        raise Failure(f"{message} ({self.prog} --help shows the usage)", EXIT_USAGE)


def seconds(zero_ok: bool):
    """An option's type: a number of seconds, above 0 (or 0 too) and at
    most a million."""
    def parse(text):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not ((0 <= value if zero_ok else 0 < value) and value <= 1e6):
            raise argparse.ArgumentTypeError(
                f"{text!r} is not a number of seconds "
                + ("from 0 to 1000000" if zero_ok else "above 0 and at most 1000000"))
        return value
    return parse


def count():
    """An option's type: a whole number from 0 to a million."""
    def parse(text):
        if not re.fullmatch(r"[0-9]{1,7}", text.strip()) or int(text) > 1_000_000:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number from 0 to 1000000")
        return int(text)
    return parse


def server_url(text: str) -> str:
    """The URL of --server when it is one the service can answer at; wrong
    usage otherwise."""
    why = None
    if not text.isascii() or not text.isprintable() or " " in text:
        why = "it holds spaces, control or non-ASCII characters"
    else:
        parts = urllib.parse.urlsplit(text)
        try:
            parts.port
        except ValueError:
            why = "its port is not a number from 1 to 65535"
        else:
            if parts.scheme != "http":
                why = "it does not start with http://"
            elif not parts.hostname:
                why = "it names no host"
            elif parts.port == 0:
                why = "its port is not a number from 1 to 65535"
    if why:
        raise Failure(f"--server {text!r} is not a URL of the service: {why} "
                      f"(e.g. {DEFAULT_URL})", EXIT_USAGE)
    return text


def build_parser() -> argparse.ArgumentParser:
    p = Parser(
        prog="ferroctl", description=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--server", metavar="URL", default=None,
                   help=f"the service (default {DEFAULT_URL}, or $FERROCTL_SERVER)")
    p.add_argument("--timeout", type=seconds(zero_ok=False), default=30.0, metavar="S",
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
    c.add_argument("--wait", type=seconds(zero_ok=True), default=3.5, metavar="S",
                   help="seconds to wait for answers (default 3.5; agents have 3 s); "
                        "0 sends without listing")
    add_format_options(c)

    c = command("list", cmd_list, "the agents the server knows, as a table",
                "Lists the watched agents first, then those of the latest discovery: address, "
                "MAC, name, model, firmware, location, loader mode and whether it is watched.")
    add_format_options(c)

    c = command("watch", cmd_watch, "watch agents (keep-alive polls): add, del, status",
                "add AGENT...  watch agents; an IPv4 address no agent answered from yet may\n"
                "              be watched too\n"
                "del AGENT...  stop watching them\n"
                "status        each watched agent: alive, replied since the last keep-alive\n"
                "              poll, and AS OF: the server's clock when it gave the status\n"
                "              (the same on every row; the server keeps no time of an\n"
                "              agent's last reply)")
    c.add_argument("action", choices=["add", "del", "status"])
    c.add_argument("agents", nargs="*", metavar="AGENT", help="MAC, IPv4 address or name")
    add_format_options(c)

    c = command("traps", cmd_traps, "the traps the agents sent, with their times",
                "Prints the newest traps the server stored (oldest first), from its event "
                "history: every client sees every trap, and none is taken from another. "
                "--follow then prints new ones as they come, until Ctrl-C.")
    c.add_argument("--follow", action="store_true", help="keep printing new traps until Ctrl-C")
    c.add_argument("--every", type=seconds(zero_ok=True), default=1.0, metavar="S",
                   help="seconds between two looks with --follow (default 1)")
    c.add_argument("--since", type=point_in_time, metavar="TIME",
                   help="only traps from TIME on (2026-12-09T20:40:00Z, or 30m, 2h, 1d back)")
    c.add_argument("--mac", metavar="AGENT", help="only the traps of AGENT (MAC, address or name)")
    c.add_argument("--limit", type=count(), default=20, metavar="N",
                   help="at most the newest N traps before following (default 20, 0 all)")
    c.add_argument("--json", dest="fmt", action="store_const", const="json", default="text",
                   help="one JSON object per line")

    c = command("events", cmd_events, "what happened: the server's event history",
                "Prints the newest events the server stored (oldest first): traps, agents "
                "turning dead and alive, device-set operations and their outcomes, uploads, "
                "discoveries, saved lists, server start and stop. TIME is RFC 3339 "
                "(2026-12-09T20:40:00Z; without a zone it is UTC) or a time back from now "
                "(90s, 30m, 1h, 2d, 1w). --follow then prints new events as they come, until "
                "Ctrl-C; with --json each event is then one line.\n\nkinds: "
                + ", ".join(EVENT_KINDS))
    c.add_argument("--since", type=point_in_time, metavar="TIME", help="events from TIME on")
    c.add_argument("--until", type=point_in_time, metavar="TIME", help="events up to TIME")
    c.add_argument("--mac", metavar="AGENT",
                   help="only the events of AGENT (MAC, or the address or name of an agent the "
                        "server has seen)")
    c.add_argument("--kind", type=kind_list, metavar="K1,K2", help="only events of these kinds")
    c.add_argument("--limit", type=count(), default=100, metavar="N",
                   help="at most the newest N events (default 100, 0 all)")
    c.add_argument("--follow", action="store_true", help="keep printing new events until Ctrl-C")
    c.add_argument("--every", type=seconds(zero_ok=False), default=1.0, metavar="S",
                   help="seconds between two looks with --follow (default 1)")
    g = c.add_mutually_exclusive_group()
    g.add_argument("--csv", dest="fmt", action="store_const", const="csv",
                   help="comma-separated values with a header row; fields as JSON")
    g.add_argument("--json", dest="fmt", action="store_const", const="json",
                   help="a JSON list of the events as the server gives them")
    c.set_defaults(fmt="table")

    def wait_options(c):
        c.add_argument("--no-wait", action="store_true",
                       help="return once the request is sent, without waiting for the outcome")
        # How long to look for the outcome; the server itself gives up after 50 s.
        c.add_argument("--wait-timeout", type=seconds(zero_ok=False),
                       default=DEVICE_SET_TIMEOUT_S + 10, metavar="S", help=argparse.SUPPRESS)

    c = command("set", cmd_set, "change an agent's settings (SetDeviceCfgEx)",
                "Sends the agent its current settings with the changes given, then waits for "
                "its answer (from the server's event history) and prints it: answered with "
                "result N (0 is accepted), or timed out after 50 s.")
    c.add_argument("agent", metavar="AGENT", help="MAC, IPv4 address or name")
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
    c.add_argument("agent", metavar="AGENT", help="MAC, IPv4 address or name")
    c.add_argument("--old", required=True, help="the current password")
    c.add_argument("--new", required=True, help="the new password")
    wait_options(c)

    c = command("restore", cmd_restore, "return an agent to its factory settings",
                "Asks the agent to restore its factory defaults, then waits for its answer. "
                "It asks y/N first; without a terminal it needs --yes.")
    c.add_argument("agent", metavar="AGENT", help="MAC, IPv4 address or name")
    c.add_argument("--password", help="the agent's current password, for agents that ask")
    yes_option(c)
    wait_options(c)

    c = command("upgrade", cmd_upgrade, "upload firmware or a configuration file to agents",
                "Uploads FILE to each agent in turn (TFTP) and shows each one's progress until "
                "every upload is Done or Failed; the exit status is 1 when any failed. FILE is "
                "read by the server, so it must be on the server's machine. It asks y/N "
                "first, naming the agents and the file's SHA-256; without a terminal it needs "
                "--yes.")
    c.add_argument("file", metavar="FILE")
    c.add_argument("agents", nargs="+", metavar="AGENT", help="MAC, IPv4 address or name")
    c.add_argument("--type", default="firmware", metavar="TYPE",
                   help='"firmware" (default) or "config" for a configuration file')
    c.add_argument("--key", help="encryption key of a configuration file (--type config)")
    c.add_argument("--password", default="", help="the agents' password, for agents that ask")
    c.add_argument("--every", type=seconds(zero_ok=True), default=0.5, metavar="S",
                   help="seconds between two looks at the progress (default 0.5)")
    c.add_argument("--keep", action="store_true",
                   help="leave the finished uploads in the server (no EndUpgrade)")
    yes_option(c)

    c = command("save", cmd_save, "save the watched agents to a .cfg file (SaveFile)")
    c.add_argument("file", metavar="FILE", help="written by the server, on its machine")

    c = command("load", cmd_load, "watch the agents of a .cfg file instead (LoadFile)",
                "Replaces the watched agents by those saved in FILE. When agents are watched "
                "it asks y/N first; without a terminal it then needs --yes.")
    c.add_argument("file", metavar="FILE")
    yes_option(c)
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
    argv = sys.argv[1:] if argv is None else argv
    try:
        for i, arg in enumerate(argv, 1):
            try:
                arg.encode("utf-8")
            except UnicodeEncodeError:
                raise Failure(f"argument {i} is not UTF-8 text: {os.fsencode(arg)!r}",
                              EXIT_USAGE)
        args = build_parser().parse_args(argv)
        url = args.server if args.server is not None else \
            os.environ.get("FERROCTL_SERVER") or DEFAULT_URL
        client = Client(server_url(url), args.timeout, getattr(args, "soap12", False))
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
    except OSError as e:  # a local file, between ferroctl's look and the server's
        note(f"{e.filename + ': ' if e.filename else ''}{e.strerror or e}")
        return EXIT_FAILED
    except Exception as e:  # a fault of ferroctl itself: one line, the trace on request
        if os.environ.get("FERROCTL_DEBUG"):
            raise
        note(f"internal error: {type(e).__name__}: {e} (FERROCTL_DEBUG=1 shows where)")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
