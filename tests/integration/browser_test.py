"""The browser console in a real browser (headless Chromium): the page and
its script library are served, the script runs, and its SOAP call from the
browser reaches the service and is understood. Skipped without Chromium."""

import os
import shutil
import subprocess
import tempfile
import unittest

import wire

CHROMIUM = shutil.which("chromium")


@unittest.skipIf(CHROMIUM is None, "chromium is not installed")
class BrowserConsoleTest(unittest.TestCase):
    def render(self, url: str) -> str:
        profile = tempfile.mkdtemp(prefix="ferrolink-chromium-")
        try:
            return subprocess.run(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", f"--user-data-dir={profile}", "--virtual-time-budget=10000",
                 "--dump-dom", url],
                capture_output=True, text=True, timeout=120).stdout
        finally:
            shutil.rmtree(profile, ignore_errors=True)

    def test_console_loads_and_asks_the_service(self):
        with wire.Server() as server:
            for path in ("/index.html", "/tools/js_client/index.html"):
                with self.subTest(path=path):
                    dom = self.render(f"http://127.0.0.1:{wire.SERVICE_PORT}{path}")
                    self.assertIn("SOAP test console", dom)
                    # The script ran (jquery.js was served and loaded) and its
                    # GetReqXmlList call came back: the list no longer says
                    # "loading".
                    samples = dom.split('<ul id="samples">', 1)[1].split("</ul>", 1)[0]
                    self.assertNotIn("loading", samples)
                    self.assertIn("sample requests", samples)
            log = server.log()
            self.assertIn("get file msgbuf GET /jquery.js HTTP/1.1.", log)
            self.assertIn("get file msgbuf GET /tools/js_client/jquery.js HTTP/1.1.", log)


if __name__ == "__main__":
    wire.run_tests()
