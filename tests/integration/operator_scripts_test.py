"""The operator scripts' promises: the root check of scripts/*.sh (re-run
through sudo, or one clear line), and `testnet.py run`, which the main
command and the demo network stand on: a signal reaches the command once,
the command may clean up, and the run's folder and namespaces always go."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TESTNET = os.path.join(ROOT, "tools", "netns", "testnet.py")
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))

import testnet  # noqa: E402
from testnet import require_netns  # noqa: E402

NOBODY = 65534


def namespaces() -> set[str]:
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


def alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ", 1)[1][0] != "Z"
    except FileNotFoundError:
        return False


@require_netns
class TestnetRunTest(unittest.TestCase):
    def start(self, setup: str, body: str, *options: str) -> tuple[subprocess.Popen, list[str]]:
        """Starts `testnet.py run` with a bash command that runs `setup`,
        prints "ready", FL_RUN_DIR and the server namespace, and runs `body`;
        returns the process and those two values."""
        proc = subprocess.Popen(
            [sys.executable, TESTNET, "run", *options, "--", "bash", "-c",
             f'{setup}; echo ready "$FL_RUN_DIR" "$FL_NS_SRV"; {body}'],
            stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.addCleanup(proc.stdout.close)
        word, run_dir, ns = proc.stdout.readline().split()
        self.assertEqual(word, "ready")
        self.assertTrue(os.path.isdir(run_dir))
        self.assertIn(ns, namespaces())
        return proc, [run_dir, ns]

    def assert_gone(self, run_dir: str, ns: str) -> None:
        self.assertFalse(os.path.exists(run_dir), "the run's folder stayed")
        self.assertNotIn(ns, namespaces())

    def test_signal_lets_the_command_clean_up_then_everything_goes(self):
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=sig.name):
                proc, (run_dir, ns) = self.start(
                    'touch "$FL_RUN_DIR/sim.sock"; n=0; '
                    'trap \'n=$((n+1)); echo "cleaning $n"; sleep 0.5; exit %d\' INT TERM' % status,
                    "sleep 1000 & wait")
                proc.send_signal(sig)
                out = proc.stdout.read()
                self.assertEqual(proc.wait(timeout=120), status)
                # Exactly one signal reached the command, and its clean-up ran.
                self.assertEqual(out, "cleaning 1\n")
                self.assert_gone(run_dir, ns)

    def test_command_that_ignores_signals_is_killed_after_the_grace(self):
        # Without the kill after the grace, the command would sleep far
        # longer than the wait below allows.
        proc, (run_dir, ns) = self.start("trap '' INT TERM", "sleep 1000", "--grace", "1")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=120), 128 + signal.SIGKILL)
        self.assert_gone(run_dir, ns)

    def test_processes_the_command_leaves_running_are_stopped(self):
        proc, (run_dir, ns) = self.start("true", "sleep 300 & echo $!; exit 3")
        leftover = int(proc.stdout.readline())
        self.assertEqual(proc.wait(timeout=120), 3)
        deadline = time.monotonic() + 30
        while alive(leftover) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(alive(leftover), "a background process of the command outlived the run")
        self.assert_gone(run_dir, ns)


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
class RunSignalWhileStartingTest(unittest.TestCase):
    """The command of `run` can be up (and seen to be up) before starting it
    has returned in `run`; a Ctrl-C then must still reach the command once,
    not end `run` and leave the command running on its own."""

    def test_signal_before_the_start_returned_reaches_the_command(self):
        saved = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        self.addCleanup(lambda: [signal.signal(sig, h) for sig, h in saved.items()])
        installed = testnet._handlers_installed[0]
        self.addCleanup(lambda: testnet._handlers_installed.__setitem__(0, installed))
        testnet._handlers_installed[0] = False
        testnet._install_handlers()

        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work, True)
        ready = os.path.join(work, "ready")
        real_popen = subprocess.Popen

        def popen_then_ctrl_c(*args, **kwargs):
            child = real_popen(*args, **kwargs)
            deadline = time.monotonic() + 30
            while not os.path.exists(ready) and time.monotonic() < deadline:
                time.sleep(0.01)
            os.kill(os.getpid(), signal.SIGINT)
            return child

        cmd = ["bash", "-c", f"trap 'echo cleaned >>{work}/log; exit 7' INT; touch {ready}; sleep 100 & wait"]
        with mock.patch.object(testnet.subprocess, "Popen", popen_then_ctrl_c):
            status = testnet._run_command(cmd, dict(os.environ), grace=60)
        self.assertEqual(status, 7)
        with open(os.path.join(work, "log")) as f:
            self.assertEqual(f.read(), "cleaned\n")


class RootCheckTest(unittest.TestCase):
    """The scripts started by another user: with sudo at hand they run again
    through it, with the same arguments; without it they stop with one line
    that says how to run them."""

    def setUp(self):
        self.bin = tempfile.mkdtemp(prefix="ferrolink-bin-")
        self.addCleanup(shutil.rmtree, self.bin, True)
        os.chmod(self.bin, 0o755)
        for tool in ("bash", "readlink", "id", "basename", "dirname"):
            os.symlink(shutil.which(tool), os.path.join(self.bin, tool))
        # The checkout may sit where other users cannot enter (a clone in
        # /root), so the scripts run from a copy that "nobody" can read.
        self.root = tempfile.mkdtemp(prefix="ferrolink-tree-")
        self.addCleanup(shutil.rmtree, self.root, True)
        os.chmod(self.root, 0o755)
        shutil.copytree(os.path.join(ROOT, "scripts"), os.path.join(self.root, "scripts"))

    def run_as_nobody(self, script: str, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
             "env", "-i", f"PATH={self.bin}", "bash", script, *args],
            cwd=self.root, capture_output=True, text=True, timeout=120)

    def test_without_sudo_one_clear_line(self):
        for script in ("scripts/run.sh", "scripts/test.sh", "scripts/demo-network.sh"):
            with self.subTest(script=script):
                r = self.run_as_nobody(script)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, "")
                lines = r.stderr.splitlines()
                self.assertEqual(len(lines), 1, r.stderr)
                self.assertIn("needs root", lines[0])
                self.assertIn(f"run it as root: bash {script}", lines[0])
                self.assertNotIn("sudo", lines[0])

    def test_with_sudo_runs_again_through_it_with_the_same_arguments(self):
        fake = os.path.join(self.bin, "sudo")
        with open(fake, "w") as f:
            f.write('#!/bin/sh\nfor a in "$@"; do echo "arg:$a"; done\n')
        os.chmod(fake, 0o755)
        r = self.run_as_nobody("scripts/run.sh", "--one", "two words")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(),
                         ["arg:--", "arg:bash", f"arg:{self.root}/scripts/run.sh", "arg:--one",
                          "arg:two words"])
        self.assertIn("running it again through sudo", r.stderr)


@unittest.skipUnless(os.environ.get("FERRO_BUILD"), "FERRO_BUILD names no build folder")
class InstallTreeTest(unittest.TestCase):
    def test_install_writes_a_unit_for_its_folder(self):
        with tempfile.TemporaryDirectory(prefix="ferrolink-install-") as root:
            prefix = os.path.join(root, "opt", "ferrolink")
            subprocess.run(["cmake", "--install", os.environ["FERRO_BUILD"], "--prefix", prefix],
                           check=True, capture_output=True, timeout=120)
            self.assertTrue(os.access(os.path.join(prefix, "Ferrolink"), os.X_OK))
            with open(os.path.join(prefix, "systemd", "ferrolink.service")) as f:
                unit = f.read()
            self.assertIn(f"\nWorkingDirectory={prefix}\n", unit)
            self.assertIn(f"\nExecStart={prefix}/Ferrolink\n", unit)
            self.assertNotIn("@", unit)
            if shutil.which("systemd-analyze"):
                r = subprocess.run(["systemd-analyze", "verify",
                                    os.path.join(prefix, "systemd", "ferrolink.service")],
                                   capture_output=True, text=True, timeout=120)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr.strip(), "")


if __name__ == "__main__":
    import wire

    wire.run_tests()
