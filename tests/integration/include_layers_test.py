#!/usr/bin/env python3
"""Checks that the server's layers include only downwards, and never across.

platform <- config <- protocol <- net <- engine <- service, with the front
(server/front) beside the service: the front may use the layers up to net,
never the engine, and front and service never include each other. What the
two share lies below both in server/exchange (the request's exchange and the
fault text). The event history (server/history) stands on the platform and
config layers only: the engine and the service reach it through sinks.
server/main.cpp wires them all and may include anything. The
loader and the ECF tool are programs of their own on top of the layers they
name.

Every folder of server/, platform/, loader/ and tools/ecf that holds C++
source must be in the table below, so that a new folder cannot escape the
check.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Folder (relative to the repository) -> the folders its files may include.
CORE = ["platform", "server/config", "server/protocol", "server/net", "server/engine"]
ALLOWED = {
    "platform": CORE[:1],
    "server/config": CORE[:2],
    "server/protocol": CORE[:3],
    "server/net": CORE[:4],
    "server/engine": CORE[:5],
    "server/exchange": ["platform", "server/exchange"],
    "server/service": CORE + ["server/exchange", "server/service"],
    "server/front": CORE[:4] + ["server/exchange", "server/front"],
    "server/history": CORE[:2] + ["server/history"],
    "server": CORE + ["server/exchange", "server/service", "server/front", "server/history", "server"],
    "loader": ["platform", "loader"],
    "tools/ecf": CORE + ["tools/ecf"],
}
SCANNED = ["server", "platform", "loader", "tools/ecf"]
SOURCES = (".h", ".cpp", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def folder_of_include(source, target):
    """The folder (relative to the repository) of the file that `target`
    names from `source`, searched the way the build searches: beside the
    source, then from the repository and from server/. None for a file
    outside these (generated code)."""
    for base in (source.parent, ROOT, ROOT / "server"):
        candidate = (base / target).resolve()
        if candidate.is_file():
            try:
                return candidate.parent.relative_to(ROOT).as_posix()
            except ValueError:
                return None
    return None


def source_folders():
    found = set()
    for top in SCANNED:
        for path in (ROOT / top).rglob("*"):
            if path.suffix in SOURCES and path.is_file():
                found.add(path.parent.relative_to(ROOT).as_posix())
    return found


def violations():
    found = []
    for folder in sorted(source_folders()):
        if folder not in ALLOWED:
            found.append(f"{folder} holds source but has no place in the layer table")
            continue
        for source in sorted((ROOT / folder).glob("*")):
            if source.suffix not in SOURCES:
                continue
            for target in INCLUDE.findall(source.read_text(errors="replace")):
                other = folder_of_include(source, target)
                if other is not None and other not in ALLOWED[folder]:
                    found.append(f"{source.relative_to(ROOT)} includes {target} ({other})")
    return found


def self_test():
    # The check must see a real violation: pretend the front includes the
    # engine, the service the front, and the engine the service.
    front = ROOT / "server" / "front" / "soap_front.cpp"
    assert folder_of_include(front, "engine/notices.h") == "server/engine"
    assert folder_of_include(front, "../service/fault.h") == "server/service"
    assert folder_of_include(front, "connection.h") == "server/front"
    assert folder_of_include(front, "soapH.h") is None
    assert "server/engine" not in ALLOWED["server/front"]
    assert "server/service" not in ALLOWED["server/front"]
    assert "server/front" not in ALLOWED["server/service"]
    assert "server/service" not in ALLOWED["server/engine"]
    sample = '#include "engine/engine_state.h"\n  # include "net/transport.h"\n'
    assert INCLUDE.findall(sample) == ["engine/engine_state.h", "net/transport.h"]


def main():
    self_test()
    for folder in ALLOWED:
        if not (ROOT / folder).is_dir():
            print(f"missing layer folder {folder}")
            return 1
    bad = violations()
    for line in bad:
        print("include out of order:", line)
    if bad:
        return 1
    print("includes point only down: service -> engine -> net -> protocol -> config -> platform;"
          " front -> net and below; both -> exchange -> platform")
    return 0


if __name__ == "__main__":
    sys.exit(main())
