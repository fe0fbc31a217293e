#!/usr/bin/python3
"""Calls one operation of a running Ferrolink server and prints the answer.

    soapcall.py [--url URL] [--soap12] [--raw] [--agent MAC] OPERATION [name=value ...]

Example:
    tools/soapcall.py EngineLayerStartup
    tools/soapcall.py SetDiscoverToAgents
    tools/soapcall.py GetSwitchInfoList monitorNum=0
    tools/soapcall.py AddMonitorAgent strIpAddress=10.61.1.1 strMacAddr=02-46-4C-00-00-00

Nested values: a dotted name is an element inside an element, and a number
after a name picks one of several elements of that name:
    tools/soapcall.py SetDeviceCfg switchInfo.macAddr=02-46-4C-00-00-00 \\
        switchInfo.systemName=lab-1 switchInfo.funBitmap0=6 operate=0
    tools/soapcall.py AddUpgradeAgent vecSwitchInfo.0.macAddr=02-46-4C-00-00-00 \\
        vecSwitchInfo.1.macAddr=02-46-4C-00-00-01

--agent MAC starts from what the server lists for that agent (discovered or
watched), so only the changes need to be named. For SetDeviceCfgEx the
agent's values fill all 59 settings parameters; for SetDeviceCfg they fill
switchInfo, and plain names go into switchInfo too:
    tools/soapcall.py --agent 02-46-4C-00-00-00 SetDeviceCfgEx systemName=lab-1 operate=0
    tools/soapcall.py --agent 02-46-4C-00-00-00 SetDeviceCfg systemName=lab-1 operate=0
    tools/soapcall.py GetOperateResult

Without --raw the answer is printed as indented element lines. The exit
status is 1 when the server answered with a fault, 3 when no server answers.
tools/ferroctl.py offers the same as `ferroctl raw` next to its commands.
"""

import argparse
import http.client
import re
import sys
import urllib.error
import urllib.request
import xml.dom.minidom
from xml.sax.saxutils import escape

SOAP11 = "http://schemas.xmlsoap.org/soap/envelope/"
SOAP12 = "http://www.w3.org/2003/05/soap-envelope"

# The settings parameters of SetDeviceCfgEx (every one but operate), in order.
DEVICE_CFG_EX_PARAMS = (
    "systemName location systemTime controllerIPURL controlledByAC loginUser agentIpAddr "
    "agentNetmask agentGateway agentDNS1 agentDNS2 trapIpAddr newPasseord oldPassword dhcpMode "
    "groupTimer snmpMode macAddr vlanID wifiEnable wifiSSID wifiKey wifiBand wifiChannel "
    "wifiCurrentChannel wifiSecurity radiusIP radiusPort radiusSecret wifi80211Mode wifiVisible "
    "wifiSupportChannel wifiChannelWidth wifiSSIDIsolution wifiVlanID bandwidthControl "
    "rssiScanner txPowerLevel wifiEnable5G wifiSSID5G wifiKey5G wifiChannel5G "
    "wifiCurrentChannel5G wifiSecurity5G radiusIP5G radiusPort5G radiusSecret5G wifi80211Mode5G "
    "wifiVisible5G wifiSupportChannel5G wifiChannelWidth5G wifiSSIDIsolution5G wifiVlanID5G "
    "bandwidthControl5G rssiScanner5G txPowerLevel5G fwDomain wifiBandSteering wifiRoaming"
).split()


def to_xml(params) -> str:
    """Elements for (name, value) pairs; dotted names nest, and a numeric
    part picks the n-th element of the name before it."""
    tree: dict = {}
    for name, value in params:
        path = []  # (element, index)
        for part in name.split("."):
            if part.isdigit() and path:
                path[-1] = (path[-1][0], int(part))
            else:
                path.append((part, 0))
        node = tree
        for depth, (element, index) in enumerate(path):
            items = node.setdefault(element, [])
            while len(items) <= index:
                items.append({})
            if depth == len(path) - 1:
                items[index] = value
            else:
                if not isinstance(items[index], dict):
                    items[index] = {}
                node = items[index]

    def render(node) -> str:
        out = []
        for key, items in node.items():
            for item in items:
                inner = render(item) if isinstance(item, dict) else escape(item)
                out.append(f"<{key}>{inner}</{key}>")
        return "".join(out)

    return render(tree)


def envelope(operation: str, params: list[tuple[str, str]], soap12: bool) -> bytes:
    env = SOAP12 if soap12 else SOAP11
    return (f'<?xml version="1.0" encoding="UTF-8"?><e:Envelope xmlns:e="{env}" '
            f'xmlns:ns="urn:Halvex"><e:Body><ns:{operation}>{to_xml(params)}</ns:{operation}>'
            "</e:Body></e:Envelope>").encode()


def call(url: str, operation: str, params=(), soap12=False, timeout=30.0) -> tuple[bool, str]:
    """Returns (ok, answer text); ok is False for a fault."""
    ctype = "application/soap+xml" if soap12 else "text/xml"
    req = urllib.request.Request(url, data=envelope(operation, list(params), soap12),
                                 headers={"Content-Type": f"{ctype}; charset=utf-8"})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as resp:
            text = resp.read().decode("utf-8")
    except urllib.error.HTTPError as e:
        text = e.read().decode("utf-8", "replace")
    except urllib.error.URLError as e:
        print(f"soapcall: no server answers at {url} ({e.reason})", file=sys.stderr)
        sys.exit(3)
    except (http.client.HTTPException, ConnectionError):
        # GSoapClose is answered "202 Accepted" with no body; servers of
        # earlier builds ended without answering.
        if operation == "GSoapClose":
            return True, ""
        print(f"soapcall: the server closed the connection without answering {operation}",
              file=sys.stderr)
        sys.exit(1)
    return "Fault>" not in text, text


def agent_values(url: str, mac: str) -> list[tuple[str, str]]:
    """The (element, text) pairs of the agent the server lists with MAC text
    `mac`, watched agents included; raises LookupError when none has it."""
    watched = 0
    while watched < 10000 and call(url, "GetMonitorStatus",
                                   [("monitorNum", str(watched + 1))])[0]:
        watched += 1
    ok, text = call(url, "GetSwitchInfoList", [("monitorNum", str(watched))])
    if not ok:
        raise LookupError("the server did not list its agents")
    doc = xml.dom.minidom.parseString(text)
    for entry in doc.getElementsByTagName("arrList"):
        pairs = [(n.tagName, "".join(t.data for t in n.childNodes if t.nodeType == t.TEXT_NODE))
                 for n in entry.childNodes if n.nodeType == n.ELEMENT_NODE]
        if dict(pairs).get("macAddr") == mac:
            return pairs
    raise LookupError(f"no listed agent has the MAC text {mac} (six upper-case pairs joined by -)")


def with_agent(url: str, operation: str, mac: str, params: list[tuple[str, str]]):
    """`params` laid over the agent's own values for the settings operations."""
    values = agent_values(url, mac)
    if operation == "SetDeviceCfgEx":
        known = dict(values)
        base = [(name, known.get(name, "")) for name in DEVICE_CFG_EX_PARAMS]
    elif operation == "SetDeviceCfg":
        base = [(f"switchInfo.{name}", text) for name, text in values]
        members = {name for name, _ in values}
        params = [(f"switchInfo.{k}" if k in members else k, v) for k, v in params]
    else:
        raise ValueError("--agent is for SetDeviceCfgEx and SetDeviceCfg")
    given = dict(params)
    merged = [(k, given.pop(k, v)) for k, v in base]
    return merged + [(k, v) for k, v in params if k in given]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--url", default="http://127.0.0.1:64567/")
    ap.add_argument("--soap12", action="store_true")
    ap.add_argument("--raw", action="store_true", help="print the XML as received")
    ap.add_argument("--agent", metavar="MAC",
                    help="start SetDeviceCfgEx/SetDeviceCfg from this listed agent's values")
    ap.add_argument("operation")
    ap.add_argument("params", nargs="*", help="name=value (name may be dotted: a.b=value)")
    args = ap.parse_args()
    params = [tuple(p.split("=", 1)) for p in args.params]
    if any(len(p) != 2 or not re.fullmatch(r"[A-Za-z_][\w.]*", p[0]) for p in params):
        ap.error("parameters are name=value")
    if args.agent:
        try:
            params = with_agent(args.url, args.operation, args.agent, params)
        except (LookupError, ValueError) as e:
            print(f"soapcall: {e}", file=sys.stderr)
            return 2
    ok, text = call(args.url, args.operation, params, args.soap12)
    if not text:
        return 0 if ok else 1
    if args.raw:
        print(text)
    else:
        try:
            print(xml.dom.minidom.parseString(text).toprettyxml(indent="  ").split("\n", 1)[1])
        except Exception:  # not XML: show it as it came
            print(text)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
