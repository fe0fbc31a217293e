#!/usr/bin/python3
"""Calls one operation of a running Ferrolink server and prints the answer.

    soapcall.py [--url URL] [--soap12] [--raw] OPERATION [name=value ...]

Example:
    tools/soapcall.py EngineLayerStartup
    tools/soapcall.py SetDiscoverToAgents
    tools/soapcall.py GetSwitchInfoList monitorNum=0
    tools/soapcall.py AddMonitorAgent strIpAddress=10.61.1.1 strMacAddr=02-46-4C-00-00-00

Without --raw the answer is printed as indented element lines. The exit
status is 1 when the server answered with a fault.
"""

import argparse
import sys
import urllib.error
import urllib.request
import xml.dom.minidom
from xml.sax.saxutils import escape

SOAP11 = "http://schemas.xmlsoap.org/soap/envelope/"
SOAP12 = "http://www.w3.org/2003/05/soap-envelope"


def envelope(operation: str, params: list[tuple[str, str]], soap12: bool) -> bytes:
    children = "".join(f"<{k}>{escape(v)}</{k}>" for k, v in params)
    env = SOAP12 if soap12 else SOAP11
    return (f'<?xml version="1.0" encoding="UTF-8"?><e:Envelope xmlns:e="{env}" '
            f'xmlns:ns="urn:Halvex"><e:Body><ns:{operation}>{children}</ns:{operation}>'
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
    return "Fault>" not in text, text


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--url", default="http://127.0.0.1:64567/")
    ap.add_argument("--soap12", action="store_true")
    ap.add_argument("--raw", action="store_true", help="print the XML as received")
    ap.add_argument("operation")
    ap.add_argument("params", nargs="*", help="name=value")
    args = ap.parse_args()
    params = [tuple(p.split("=", 1)) for p in args.params]
    if any(len(p) != 2 for p in params):
        ap.error("parameters are name=value")
    ok, text = call(args.url, args.operation, params, args.soap12)
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
