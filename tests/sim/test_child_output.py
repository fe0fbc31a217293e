"""Reading a helper process's output around its "ready" line, as the
namespace tests do with their probes (no namespaces needed here)."""

import os
import subprocess
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))

from testnet import output_after_first_line  # noqa: E402

# Prints its ready line and its results in one go, as a probe does whose
# replies come at once.
CHILD = 'print("READY"); print("reply 1"); print("reply 2", flush=True)'


class OutputAfterFirstLineTest(unittest.TestCase):
    def start(self, code, **kw):
        kw.setdefault("bufsize", 0)
        return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                **kw)

    def test_lines_printed_with_the_ready_line_are_kept(self):
        # The reader gets the CPU only after the child printed everything
        # and exited: the busy machine at its worst.
        p = self.start(CHILD)
        p.wait(30)
        calls = []
        first, rest = output_after_first_line(p, 30, lambda: calls.append(1))
        self.assertEqual((first, rest.splitlines(), calls),
                         ("READY", ["reply 1", "reply 2"], [1]))

    def test_refuses_a_buffered_pipe_and_gives_up_after_the_timeout(self):
        p = self.start(CHILD, bufsize=-1)
        try:
            with self.assertRaises(ValueError):
                output_after_first_line(p, 30)
        finally:
            p.communicate(timeout=30)
        p = self.start('import time; print("READY", flush=True); time.sleep(30)')
        try:
            with self.assertRaises(subprocess.TimeoutExpired):
                output_after_first_line(p, 0.2)
            self.assertTrue(p.stdout.closed)
        finally:
            p.kill()
            p.wait()


if __name__ == "__main__":
    unittest.main()
