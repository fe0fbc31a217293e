#!/usr/bin/env python3
"""Checks that the server's layers include only downwards.

service -> engine -> net -> protocol -> config -> platform: a file of one
layer may include headers of its own layer and of the layers below it, never
of a layer above. The front (server/*.cpp) and main may include anything.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Folder -> (layer name, rank). Includes are written relative to server/ or
# to the repository root ("platform/...").
LAYERS = {
    "platform": 0,
    "config": 1,
    "protocol": 2,
    "net": 3,
    "engine": 4,
    "service": 5,
}
FOLDERS = {
    "platform": ROOT / "platform",
    "config": ROOT / "server" / "config",
    "protocol": ROOT / "server" / "protocol",
    "net": ROOT / "server" / "net",
    "engine": ROOT / "server" / "engine",
    "service": ROOT / "server" / "service",
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def layer_of_include(path):
    first = path.split("/", 1)[0]
    return first if first in LAYERS else None


def violations():
    found = []
    for layer, folder in FOLDERS.items():
        for source in sorted(folder.glob("*")):
            if source.suffix not in (".h", ".cpp", ".cc"):
                continue
            for target in INCLUDE.findall(source.read_text(errors="replace")):
                other = layer_of_include(target)
                if other is not None and LAYERS[other] > LAYERS[layer]:
                    found.append(f"{source.relative_to(ROOT)} ({layer}) includes {target} ({other})")
    return found


def self_test():
    # The check must see a real upward include: pretend net includes engine.
    assert layer_of_include("engine/engine_state.h") == "engine"
    assert LAYERS["engine"] > LAYERS["net"] > LAYERS["protocol"] > LAYERS["config"]
    sample = '#include "engine/engine_state.h"\n  # include "net/transport.h"\n'
    assert INCLUDE.findall(sample) == ["engine/engine_state.h", "net/transport.h"]


def main():
    self_test()
    for layer, folder in FOLDERS.items():
        if not folder.is_dir():
            print(f"missing layer folder {folder}")
            return 1
    bad = violations()
    for line in bad:
        print("upward include:", line)
    if bad:
        return 1
    print("includes point only down:", " -> ".join(reversed(list(LAYERS))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
