#!/usr/bin/python3
"""A private test network of Linux network namespaces, for tests, benchmarks
and demos.  Nothing is sent on the machine's own network: everything lives in
namespaces named after this process, removed on exit, failure or signal.

Layout (lans=2 adds the second pair):

    fl-<id>-srv                         fl-<id>-lan
    veth0 10.61.0.1/16  <-- veth -->    veth0 10.61.0.2/16, agents 10.61.1.1 ...
    veth1 192.168.0.1/16 <-- veth -->   fl-<id>-lan2: veth0 192.168.0.2/16,
                                              agents 192.168.1.1 ...

Loopback is up everywhere; the server namespace has no default route.
<id> is the process id (plus a letter for a second network in one process).

Python API
----------
    from testnet import (TestNet, netns_available, output_after_first_line,
                         require_netns)

    ok, why = netns_available()          # (False, reason) when not root etc.
    with TestNet(lans=1) as net:         # or net = TestNet(); net.up(); net.down()
    TestNet(lans=1, neighbours=5000)     # room for that many neighbour entries
                                         # in the server namespace (see below)
        net.ns["srv"], net.ns["lan"]     # namespace names; roles srv, lan, lan2
        net.srv_ip                       # "10.61.0.1": server side of LAN 1
        net.srv_ips                      # one per LAN: ["10.61.0.1", "192.168.0.1"]
        net.srv_iface(0)                 # "veth0": server-side interface of LAN 1
        net.srv_mac(0)                   # "02:fe:00:00:00:01"
        net.lan_ip("lan")                # the LAN namespace's own address
        net.lan_iface("lan")             # "veth0"
        net.lan_prefix("lan")            # 16
        net.agent_ip(5, "lan")           # "10.61.1.6": address of simulated agent 5
        net.run_in("srv", ["ip", "addr"])        # CompletedProcess, text output
        p = net.popen("lan", [...], **popen_kw)  # killed at teardown if alive
        net.python_in("srv", code)       # run /usr/bin/python3 -c code there
        net.add_addr("srv", "veth0", "10.61.0.9/16")
        net.del_addr("srv", "veth0", "10.61.0.9/16")
        net.set_mask("srv", "veth0", "10.61.0.1", 24)   # keeps the address
        net.link("srv", "veth0", up=False)
        net.set_mac("srv", "veth0", "02:fe:00:00:00:09")
        t = net.start_tftpd("lan", net.agent_ip(0))      # tftpd-hpa, see Tftpd
        net.agent_link("lan", "ag0", "02:46:4c:00:00:00", net.agent_ip(0))
                                         # an interface of the agent's own
        net.env()                        # FL_* variables describing the network

    p = net.popen("srv", [...], stdout=subprocess.PIPE, bufsize=0)
    first, rest = output_after_first_line(p, timeout=30, then=fn)
                                         # a child's "ready" line, then (after
                                         # fn ran) all it printed until it exited

In unittest:  @require_netns  on a TestCase class or method skips it (with
the reason) when namespaces cannot be made.

Command line
------------
    testnet.py check                 exit 0 when namespaces can be made, else 77
    testnet.py run [--lans N] [--grace S] -- CMD ...
        creates the network, runs CMD (on the host side) with the FL_*
        variables in its environment, tears everything down, and exits with
        CMD's status; 77 when namespaces cannot be made (CTest: skipped).
        CMD also gets FL_RUN_DIR, a private folder for its sockets and logs
        that is removed with the network. A Ctrl-C or SIGTERM is passed to
        CMD once; it has S seconds (default 10) to clean up before it is
        killed.
    testnet.py up [--lans N]         creates, prints the FL_* variables, waits
                                     for Ctrl-C / SIGTERM, tears down
    testnet.py cleanup               removes fl-* namespaces of dead processes

Neighbour-table limits: the server namespace talks to every agent by
unicast (keep-alive polls, commands), and each agent costs it one entry in
the neighbour (ARP) table, whose default limits (gc_thresh1..3 = 128, 512,
1024) drop entries and sends beyond about a thousand agents.  TestNet(...,
neighbours=N) and "run/up --neighbours N" raise gc_thresh1..3 to at least
N, 2N and 4N before anything starts.  The kernel keeps these three limits
in one table shared by all namespaces (recent kernels show them only in the
initial namespace), so they are written where they are visible: inside the
server namespace if it has them, else in the caller's own namespace; either
way the raise is seen machine-wide.  It never lowers a limit, and teardown
puts back the old values unless someone else has changed them meanwhile.

FL_* variables: FL_NS_SRV, FL_NS_LAN, FL_NS_LAN2, FL_SRV_IP, FL_SRV_IP2,
FL_SRV_IF, FL_SRV_IF2, FL_LAN_IP, FL_LAN2_IP, FL_LAN_IF, FL_LAN2_IF,
FL_AGENT_FIRST, FL_AGENT2_FIRST, FL_PREFIX, FL_PREFIX2 (and FL_RUN_DIR
under "run").
"""

import argparse
import atexit
import io
import ipaddress
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP_CODE = 77
IP = "ip"

# Per LAN: (role, subnet, server address, LAN namespace address, first agent)
LANS = [
    ("lan", "10.61.0.0/16", "10.61.0.1", "10.61.0.2", "10.61.1.1"),
    ("lan2", "192.168.0.0/16", "192.168.0.1", "192.168.0.2", "192.168.1.1"),
]

_live = set()
_children = []  # host-side children of "run", stopped on a signal
_run_child = [None]  # the command "run" is starting or waiting for, if any
_STARTING = object()  # _run_child while the command is being started
_stop_signals = []  # signals that came while "run" had a command
RUN_GRACE_S = 10.0
RUN_POLL_S = 0.2  # how soon "run" passes a signal on to its command

_live_lock = threading.Lock()
_counter = iter("abcdefghijklmnopqrstuvwxyz")
_first_net = [True]
_handlers_installed = [False]


def _sh(argv, check=True, **kw):
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    r = subprocess.run(argv, check=False, **kw)
    if check and r.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({r.returncode}): "
                           f"{(r.stderr or '').strip()}")
    return r


def netns_available():
    """(True, "") when this process can create network namespaces, else
    (False, reason)."""
    if os.geteuid() != 0:
        return False, "needs root to create network namespaces"
    try:
        _sh([IP, "-V"])
    except (OSError, RuntimeError) as e:
        return False, f"iproute2 not usable: {e}"
    probe = f"fl-{os.getpid()}-probe"
    r = _sh([IP, "netns", "add", probe], check=False)
    if r.returncode != 0:
        return False, f"cannot create a network namespace: {r.stderr.strip()}"
    _sh([IP, "netns", "del", probe], check=False)
    return True, ""


_availability = []


def require_netns(obj):
    """unittest decorator: skips the test (class) when namespaces cannot be
    created, naming the reason."""
    import unittest
    if not _availability:
        _availability.append(netns_available())
    ok, why = _availability[0]
    return unittest.skipUnless(ok, f"network namespaces unavailable: {why}")(obj)


def _teardown_all():
    for child in _children:
        if child.poll() is None:
            child.terminate()
    with _live_lock:
        nets = list(_live)
    for net in nets:
        net.down()


def _install_handlers():
    if _handlers_installed[0]:
        return
    _handlers_installed[0] = True
    atexit.register(_teardown_all)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        prev = signal.getsignal(sig)
        if threading.current_thread() is not threading.main_thread():
            break

        def handler(signum, frame, prev=prev):
            if _run_child[0] is not None:
                # "run" hands the signal to its command and tears down only
                # after the command has cleaned up (see _run_command). Only
                # noted here: the signal may come while the command is still
                # being started (it can be up and printing before Popen
                # returns), and raising then would lose the command.
                _stop_signals.append(signum)
                return
            _teardown_all()
            if callable(prev) and prev not in (signal.SIG_IGN, signal.SIG_DFL):
                prev(signum, frame)
            elif prev == signal.SIG_IGN:
                return
            else:
                signal.signal(signum, signal.SIG_DFL)
                os.kill(os.getpid(), signum)
        signal.signal(sig, handler)


def output_after_first_line(p, timeout, then=None):
    """Reads the first line `p` prints, runs `then`, and returns that line
    and everything printed after it until `p` exits (within `timeout` s).

    `p` must write to an unbuffered pipe (stdout=PIPE, bufsize=0, bytes).
    Its first line is then read byte by byte: communicate() reads the pipe's
    descriptor itself and never sees what a buffered readline took in beyond
    the first line, so on a busy machine, where the reader gets the CPU only
    after the child has printed more, those lines would be lost."""
    if not isinstance(p.stdout, io.RawIOBase):
        raise ValueError("output_after_first_line needs stdout=PIPE, bufsize=0")
    try:
        first = p.stdout.readline().decode().strip()
        if then:
            then()
        out, _ = p.communicate(timeout=timeout)
    finally:
        p.stdout.close()
    return first, out.decode()


class Tftpd:
    """tftpd-hpa (in.tftpd) in the foreground inside a namespace, bound to
    one address, accepting uploads (--create) into `root`.  Directory parts
    of the requested name are stripped, so a WRQ for "/any/dir/fw.bin"
    lands in root/fw.bin."""

    def __init__(self, net, role, address, root=None, port=69, strip_dirs=True):
        self.net = net
        self.role = role
        self.address = address
        self.port = port
        self._tmp = None
        if root is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="fl-tftp-")
            root = self._tmp.name
        self.root = root
        os.chmod(root, 0o777)
        argv = ["in.tftpd", "--foreground", "--listen", "--address",
                f"{address}:{port}", "--create", "--user", "nobody",
                "--umask", "000", "--secure"]
        if strip_dirs:
            self._map = tempfile.NamedTemporaryFile("w", prefix="fl-tftp-map-",
                                                    delete=False)
            self._map.write("rg \\\\ /\nr ^.*/\n")
            self._map.close()
            argv += ["--map-file", self._map.name]
        else:
            self._map = None
        argv.append(root)
        self.proc = net.popen(role, argv, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
        self._wait_bound()

    def _wait_bound(self, timeout=5.0):
        end = time.monotonic() + timeout
        pattern = f"{self.address}:{self.port} "
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                err = self.proc.stderr.read() if self.proc.stderr else ""
                raise RuntimeError(f"in.tftpd exited: {err.strip()}")
            out = self.net.run_in(self.role, ["ss", "-uln"], check=False).stdout
            if pattern in out:
                return
            time.sleep(0.05)
        raise RuntimeError("in.tftpd did not bind in time")

    def files(self):
        return sorted(os.listdir(self.root))

    def path(self, name):
        return os.path.join(self.root, name)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stderr:
            self.proc.stderr.close()
        if self._map:
            os.unlink(self._map.name)
            self._map = None

    def cleanup(self):
        self.stop()
        if self._tmp:
            self._tmp.cleanup()
            self._tmp = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()


class TestNet:
    __test__ = False  # not a unittest test class

    def __init__(self, lans=1, neighbours=0):
        if lans not in (1, 2):
            raise ValueError("lans must be 1 or 2")
        self.lans = lans
        self.neighbours = max(0, int(neighbours))
        self._neigh_restore = None  # (old, ours) limits, when raised
        suffix = "" if _first_net[0] else next(_counter)
        _first_net[0] = False
        self.id = f"{os.getpid()}{suffix}"
        self.ns = {"srv": f"fl-{self.id}-srv"}
        for role, *_ in LANS[:lans]:
            self.ns[role] = f"fl-{self.id}-{role}"
        self.srv_ips = [lan[2] for lan in LANS[:lans]]
        self.srv_ip = self.srv_ips[0]
        self._procs = []
        self._tftpds = []
        self._is_up = False
        self.run_dir = None

    # -- life ---------------------------------------------------------------
    def up(self):
        ok, why = netns_available()
        if not ok:
            raise PermissionError(why)
        _install_handlers()
        cleanup_stale()  # leftovers of runs that were killed outright
        with _live_lock:
            _live.add(self)
        try:
            self._build()
        except BaseException:
            self.down()
            raise
        self._is_up = True
        return self

    def _build(self):
        for name in self.ns.values():
            _sh([IP, "netns", "add", name])
            self.run_in_ns(name, [IP, "link", "set", "lo", "up"])
        srv = self.ns["srv"]
        self.run_in_ns(srv, ["sysctl", "-qw",
                             "net.ipv4.conf.all.promote_secondaries=1"])
        if self.neighbours:
            self._raise_neighbour_limits()
        for i, (role, subnet, sip, lip, _first) in enumerate(LANS[:self.lans]):
            prefix = ipaddress.ip_network(subnet).prefixlen
            lan = self.ns[role]
            _sh([IP, "link", "add", "name", f"veth{i}", "address", self.srv_mac(i),
                 "netns", srv, "type", "veth", "peer", "name", "veth0",
                 "address", self._lan_mac(i), "netns", lan])
            self.run_in_ns(srv, [IP, "addr", "add", f"{sip}/{prefix}", "dev", f"veth{i}"])
            self.run_in_ns(lan, [IP, "addr", "add", f"{lip}/{prefix}", "dev", "veth0"])
            self.run_in_ns(srv, [IP, "link", "set", f"veth{i}", "up"])
            self.run_in_ns(lan, [IP, "link", "set", "veth0", "up"])

    NEIGH_KEYS = [f"net.ipv4.neigh.default.gc_thresh{i}" for i in (1, 2, 3)]

    def _neigh_sysctl(self, args):
        """sysctl inside the server namespace when it shows the limits, else
        in the caller's namespace (the same table)."""
        r = self.run_in("srv", ["sysctl"] + args, check=False)
        if r.returncode == 0:
            return r.stdout
        return _sh(["sysctl"] + args).stdout

    def neighbour_limits(self):
        """gc_thresh1..3 as the server namespace is subject to them."""
        return [int(v) for v in self._neigh_sysctl(["-n"] + self.NEIGH_KEYS).split()]

    def _set_neighbour_limits(self, values):
        self._neigh_sysctl(["-qw"] + [f"{k}={v}" for k, v in zip(self.NEIGH_KEYS, values)])

    def _raise_neighbour_limits(self):
        old = self.neighbour_limits()
        n = self.neighbours
        want = [max(o, w) for o, w in zip(old, (n, 2 * n, 4 * n))]
        if want != old:
            self._set_neighbour_limits(want)
            self._neigh_restore = (old, want)

    def _restore_neighbour_limits(self):
        if not self._neigh_restore:
            return
        old, ours = self._neigh_restore
        self._neigh_restore = None
        try:
            if self.neighbour_limits() == ours:
                self._set_neighbour_limits(old)
        except (RuntimeError, ValueError):
            pass

    def down(self):
        """Stops every process started here and deletes the namespaces.
        Safe to call more than once."""
        for t in self._tftpds:
            try:
                t.cleanup()
            except Exception:
                pass
        self._tftpds.clear()
        for p in self._procs:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except (ProcessLookupError, PermissionError):
                    pass
        deadline = time.monotonic() + 3
        for p in self._procs:
            try:
                p.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                p.wait()
        self._procs.clear()
        self._restore_neighbour_limits()
        for name in self.ns.values():
            # Anything still holding the namespace keeps it alive; kill it.
            pids = _sh([IP, "netns", "pids", name], check=False).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            _sh([IP, "netns", "del", name], check=False)
        if self.run_dir:
            shutil.rmtree(self.run_dir, ignore_errors=True)
            self.run_dir = None
        with _live_lock:
            _live.discard(self)
        self._is_up = False

    def __enter__(self):
        return self.up()

    def __exit__(self, *exc):
        self.down()

    # -- description ----------------------------------------------------------
    def _lan(self, role):
        for i, lan in enumerate(LANS[:self.lans]):
            if lan[0] == role:
                return i, lan
        raise KeyError(f"no LAN {role!r} in this network")

    def srv_iface(self, i=0):
        return f"veth{i}"

    def srv_mac(self, i=0):
        return f"02:fe:00:00:00:{i + 1:02x}"

    def _lan_mac(self, i):
        return f"02:fe:00:00:{i + 1:02x}:01"

    def lan_ip(self, role="lan"):
        return self._lan(role)[1][3]

    def lan_iface(self, role="lan"):
        self._lan(role)
        return "veth0"

    def lan_prefix(self, role="lan"):
        return ipaddress.ip_network(self._lan(role)[1][1]).prefixlen

    def agent_ip(self, index, role="lan"):
        return str(ipaddress.IPv4Address(self._lan(role)[1][4]) + index)

    def env(self):
        e = {"FL_NS_SRV": self.ns["srv"]}
        for i, (role, subnet, sip, lip, first) in enumerate(LANS[:self.lans]):
            n = "" if i == 0 else "2"
            e.update({
                f"FL_NS_{role.upper()}": self.ns[role],
                f"FL_SRV_IP{n}": sip, f"FL_SRV_IF{n}": self.srv_iface(i),
                f"FL_{role.upper()}_IP": lip, f"FL_{role.upper()}_IF": "veth0",
                f"FL_AGENT{n}_FIRST": first,
                f"FL_PREFIX{n}": str(ipaddress.ip_network(subnet).prefixlen),
            })
        return e

    # -- running things -------------------------------------------------------
    def run_in_ns(self, name, argv, check=True, **kw):
        return _sh([IP, "netns", "exec", name] + list(argv), check=check, **kw)

    def run_in(self, role, argv, check=True, **kw):
        """Runs argv inside namespace `role` and waits; text output captured."""
        return self.run_in_ns(self.ns[role], argv, check=check, **kw)

    def popen(self, role, argv, **kw):
        """Starts argv inside namespace `role` in its own process group; it is
        terminated at teardown if still running."""
        kw.setdefault("start_new_session", True)
        p = subprocess.Popen([IP, "netns", "exec", self.ns[role]] + list(argv), **kw)
        self._procs.append(p)
        return p

    def python_in(self, role, code, timeout=30, check=True):
        """Runs Python code inside a namespace; returns its stdout."""
        r = self.run_in(role, [sys.executable, "-c", code], check=False,
                        timeout=timeout)
        if check and r.returncode != 0:
            raise RuntimeError(f"python in {role} failed: {r.stderr}")
        return r.stdout

    def add_addr(self, role, iface, cidr):
        self.run_in(role, [IP, "addr", "add", cidr, "dev", iface])

    def del_addr(self, role, iface, cidr):
        self.run_in(role, [IP, "addr", "del", cidr, "dev", iface])

    def set_mask(self, role, iface, address, prefixlen):
        """Gives `address` a new prefix length: the new entry is added before
        the old one goes, so the address never disappears."""
        out = self.run_in(role, [IP, "-4", "-o", "addr", "show", "dev", iface]).stdout
        old = re.search(rf"inet {re.escape(address)}/(\d+)", out)
        if old and int(old.group(1)) == prefixlen:
            return
        self.run_in(role, [IP, "addr", "add", f"{address}/{prefixlen}", "dev", iface])
        if old:
            self.run_in(role, [IP, "addr", "del", f"{address}/{old.group(1)}",
                               "dev", iface])

    def link(self, role, iface, up=True):
        self.run_in(role, [IP, "link", "set", iface, "up" if up else "down"])

    def set_mac(self, role, iface, mac):
        self.run_in(role, [IP, "link", "set", iface, "address", mac])

    def agent_link(self, role, name, mac, address):
        """Gives one simulated agent an interface of its own in LAN namespace
        `role`: a macvlan on the LAN interface with the agent's MAC and the
        agent's address as its primary (and only) address, taken off the LAN
        interface if the simulator put it there. Frames addressed to the
        agent's MAC, as a static ARP entry on the server's side sends them,
        are received there; the LAN interface would drop them."""
        lan = self.lan_iface(role)
        mac = mac.replace("-", ":").lower()
        self.run_in(role, [IP, "link", "add", "link", lan, "name", name, "address", mac,
                           "type", "macvlan", "mode", "bridge"])
        self.run_in(role, [IP, "addr", "del", f"{address}/{self.lan_prefix(role)}",
                           "dev", lan], check=False)
        self.run_in(role, [IP, "addr", "add", f"{address}/32", "dev", name])
        self.run_in(role, [IP, "link", "set", name, "up"])

    def start_tftpd(self, role, address, root=None, port=69, strip_dirs=True):
        t = Tftpd(self, role, address, root, port, strip_dirs)
        self._tftpds.append(t)
        return t


def cleanup_stale():
    """Deletes fl-<pid>-* namespaces and run folders whose process is gone."""
    out = _sh([IP, "netns", "list"], check=False).stdout
    removed = []
    tmp = tempfile.gettempdir()
    for name in os.listdir(tmp):
        m = re.fullmatch(r"fl-run-(\d+)[a-z]?-\w+", name)
        if m and not os.path.exists(f"/proc/{m.group(1)}"):
            shutil.rmtree(os.path.join(tmp, name), ignore_errors=True)
            removed.append(name)
    for line in out.splitlines():
        name = line.split()[0] if line.split() else ""
        m = re.fullmatch(r"fl-(\d+)[a-z]?-\w+", name)
        if m and not os.path.exists(f"/proc/{m.group(1)}"):
            _sh([IP, "netns", "del", name], check=False)
            removed.append(name)
    return removed


def _run_command(cmd, env, grace=RUN_GRACE_S):
    """Runs `cmd` in a process group of its own and returns its exit status.
    A signal to this process reaches the group exactly once, whether it came
    from a terminal's Ctrl-C or from kill; the command then has `grace`
    seconds to clean up before the group is killed. Processes of the group
    that outlive the command get SIGTERM."""
    _stop_signals.clear()
    _run_child[0] = _STARTING
    try:
        child = subprocess.Popen(cmd, env=env, process_group=0)
    except BaseException:
        _run_child[0] = None
        raise
    _children.append(child)
    _run_child[0] = child
    deadline = None
    try:
        while True:
            if _stop_signals and deadline is None:
                deadline = time.monotonic() + grace
                try:
                    os.killpg(child.pid, _stop_signals[0])
                except ProcessLookupError:
                    pass
            wait_s = RUN_POLL_S
            if deadline is not None:
                wait_s = min(wait_s, max(0.0, deadline - time.monotonic()))
            try:
                return child.wait(wait_s)
            except subprocess.TimeoutExpired:
                if deadline is not None and time.monotonic() >= deadline:
                    try:
                        os.killpg(child.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                    return child.wait()
    finally:
        _run_child[0] = None
        # Whatever the command left running in its group goes with it.
        try:
            os.killpg(child.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


def main(argv=None):
    p = argparse.ArgumentParser(description="Private namespace test network.")
    sub = p.add_subparsers(dest="what", required=True)
    sub.add_parser("check")
    r = sub.add_parser("run")
    r.add_argument("--lans", type=int, default=1)
    r.add_argument("--neighbours", type=int, default=0,
                   help="raise the neighbour-table limits for this many agents")
    r.add_argument("--grace", type=float, default=RUN_GRACE_S,
                   help="seconds CMD gets to clean up after a signal")
    r.add_argument("cmd", nargs=argparse.REMAINDER)
    u = sub.add_parser("up")
    u.add_argument("--lans", type=int, default=1)
    u.add_argument("--neighbours", type=int, default=0,
                   help="raise the neighbour-table limits for this many agents")
    sub.add_parser("cleanup")
    args = p.parse_args(argv)

    if args.what == "cleanup":
        for name in cleanup_stale():
            print(f"removed {name}")
        return 0
    ok, why = netns_available()
    if args.what == "check":
        print("namespaces available" if ok else f"SKIP: {why}")
        return 0 if ok else SKIP_CODE
    if not ok:
        print(f"SKIP: network namespaces unavailable: {why}", file=sys.stderr)
        return SKIP_CODE
    net = TestNet(lans=args.lans, neighbours=args.neighbours)
    if args.what == "run":
        cmd = args.cmd[1:] if args.cmd[:1] == ["--"] else args.cmd
        if not cmd:
            p.error("run needs a command")
        with net:
            net.run_dir = tempfile.mkdtemp(prefix=f"fl-run-{net.id}-")
            env = dict(os.environ, **net.env(), FL_RUN_DIR=net.run_dir)
            status = _run_command(cmd, env, args.grace)
            return 128 - status if status < 0 else status  # killed by a signal
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    with net:
        for k, v in net.env().items():
            print(f"{k}={v}")
        sys.stdout.flush()
        signal.sigwait({signal.SIGINT, signal.SIGTERM})
    return 0


if __name__ == "__main__":
    sys.exit(main())
