"""Talking to a running simulator from a test.

  client = SimClient("/tmp/x/sim.sock")
  client.call("behave", agents=3, reply_delay_ms=3500)
  entries = client.received(opcode=5)
  client.wait_received(opcode=1, count=2, timeout=5)

  sim = SimProcess.start(net, "lan", ["--count", "5", ...])   # in a namespace
  sim.client.call("trap", agents=0, kind="tlv", text="fan", to=net.srv_ip)
  sim.stop()
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import time

AGENTSIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "agentsim.py")


class SimError(RuntimeError):
    pass


class SimClient:
    def __init__(self, path, timeout=10.0):
        self.path = path
        self.timeout = timeout
        self.sock = None
        self.buf = b""

    def connect(self, wait=0.0):
        """Connects, retrying for up to `wait` seconds while the socket is
        not there yet."""
        end = time.monotonic() + wait
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(self.timeout)
            try:
                s.connect(self.path)
                self.sock = s
                return self
            except OSError:
                s.close()
                if time.monotonic() >= end:
                    raise
                time.sleep(0.05)

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None

    def call(self, cmd, **args):
        """Sends one command and returns its answer; raises SimError when the
        simulator refused it."""
        if self.sock is None:
            self.connect()
        req = dict(args, cmd=cmd)
        self.sock.sendall((json.dumps(req) + "\n").encode())
        while b"\n" not in self.buf:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise SimError("simulator closed the control connection")
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        reply = json.loads(line)
        if not reply.get("ok"):
            raise SimError(reply.get("error", "refused"))
        return reply

    def received(self, opcode=None, since=0, clear=False):
        args = {"since": since, "clear": clear}
        if opcode is not None:
            args["opcode"] = opcode
        return self.call("received", **args)["entries"]

    def sent(self, opcode=None, since=0, clear=False):
        args = {"since": since, "clear": clear}
        if opcode is not None:
            args["opcode"] = opcode
        return self.call("sent", **args)["entries"]

    def wait_received(self, opcode=None, count=1, timeout=5.0, since=0):
        """Waits until at least `count` datagrams (of `opcode`) were received;
        returns them, or raises SimError on time-out."""
        end = time.monotonic() + timeout
        while True:
            got = self.received(opcode=opcode, since=since)
            if len(got) >= count:
                return got
            if time.monotonic() >= end:
                raise SimError(f"only {len(got)} of {count} datagrams "
                               f"(opcode {opcode}) within {timeout}s")
            time.sleep(0.05)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class SimProcess:
    """The simulator as a child process inside a namespace of a TestNet."""

    def __init__(self, proc, client, control_path, tmpdir):
        self.proc = proc
        self.client = client
        self.control_path = control_path
        self._tmpdir = tmpdir

    @classmethod
    def start(cls, net, lan, args, ready_timeout=30.0, log=None):
        """Starts agentsim.py in namespace `lan` of `net` ("lan", "lan2") on
        that namespace's interface, with extra command-line `args`."""
        tmpdir = tempfile.TemporaryDirectory(prefix="agentsim-")
        path = os.path.join(tmpdir.name, "sim.sock")
        argv = [sys.executable, AGENTSIM, "--iface", net.lan_iface(lan),
                "--control", path] + list(args)
        proc = net.popen(lan, argv, stdout=log or subprocess.DEVNULL,
                         stderr=subprocess.STDOUT if log else subprocess.DEVNULL)
        client = SimClient(path)
        end = time.monotonic() + ready_timeout
        while True:
            if proc.poll() is not None:
                tmpdir.cleanup()
                raise SimError(f"agentsim exited with {proc.returncode}")
            try:
                client.connect()
                client.call("ping")
                break
            except OSError:
                if time.monotonic() >= end:
                    proc.kill()
                    tmpdir.cleanup()
                    raise SimError("agentsim did not come up")
                time.sleep(0.05)
        return cls(proc, client, path, tmpdir)

    def stop(self, timeout=5.0):
        try:
            self.client.call("quit")
        except (OSError, SimError):
            pass
        self.client.close()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._tmpdir.cleanup()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
