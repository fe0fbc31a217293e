"""What the benchmarks share: the repository's test helpers on the import
path, the check that private network namespaces can be made, a server
started in a test network's server namespace, and the teardown."""

import os
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
for _folder in (("tools", "netns"), ("tools", "sim"), ("tests", "integration")):
    _path = os.path.join(ROOT, *_folder)
    if _path not in sys.path:
        sys.path.insert(0, _path)

import wire  # noqa: E402
from testnet import TestNet, netns_available  # noqa: E402

DEFAULT_DIST = os.path.join(ROOT, "build", "dist")


def refused(name: str):
    """77 (skipped), after saying why, when no network namespace can be made
    here; None when the benchmark can run."""
    ok, why = netns_available()
    if ok:
        return None
    print(f"{name}: {why}", file=sys.stderr)
    return 77


def start_server(net: TestNet, dist: str, workdir: str) -> "wire.Server":
    """The server from `dist`, started in the server namespace and working in
    `workdir`, with a copy of the program's define.ecf of its own."""
    cfg = os.path.join(workdir, "cfg")
    os.makedirs(cfg, exist_ok=True)
    shutil.copy(os.path.join(dist, "cfg", "define.ecf"), cfg)
    return wire.Server(dist, cwd=workdir, prefix=["ip", "netns", "exec", net.ns["srv"]]).start()


def discovery_started(timeout: float = 15) -> None:
    """Asks for a discovery until the engine's sockets are open to send it."""
    deadline = time.monotonic() + timeout
    while "Fault" in wire.call("SetDiscoverToAgents").text:
        if time.monotonic() > deadline:
            raise RuntimeError("the engine opened no socket")
        time.sleep(0.2)


def start_engine_server(net: TestNet, dist: str, workdir: str) -> "wire.Server":
    """start_server, then the engine started and a first discovery sent."""
    server = start_server(net, dist, workdir)
    assert "<errorcode>0</errorcode>" in wire.call("EngineLayerStartup").text
    discovery_started()
    return server


def take_down(net: TestNet, *started) -> None:
    """Stops what was started (None where nothing was), in the order given,
    then removes the test network."""
    for thing in started:
        if thing:
            thing.stop()
    wire.use_namespace(None)
    net.down()
