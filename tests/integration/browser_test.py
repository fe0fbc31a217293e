"""The browser console in a real browser (headless Chromium): the page and
its script library are served, the script lists the sample requests, loads
one and sends it, and the service's answer is shown. Skipped without
Chromium."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import wire

CHROMIUM = shutil.which("chromium")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def server_with_samples() -> wire.Server:
    """A server whose working folder holds the installed sample requests
    (they are looked up under the working folder, as the loader sets it)."""
    server = wire.Server()
    shutil.copytree(os.path.join(wire.dist_dir(), "auto"), os.path.join(server.cwd, "auto"))
    return server


class DevTools:
    """Chromium driven over its DevTools pipe (JSON messages ended by a zero
    byte on file descriptors 3 and 4), with one page attached."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="ferrolink-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        # The shell puts the pipe ends on descriptors 3 and 4 for the browser.
        self.proc = subprocess.Popen(
            ["/bin/sh", "-c", f'exec "$@" 3<&{to_browser_r} 4>&{from_browser_w}', "sh", CHROMIUM,
             *CHROMIUM_FLAGS, f"--user-data-dir={self.profile}", "--remote-debugging-pipe",
             "about:blank"], pass_fds=(to_browser_r, from_browser_w),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # Its temporary files go into the profile, which is removed after.
            env=dict(os.environ, TMPDIR=self.profile))
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def send(self, method: str, session: str | None = None, **params) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self._buffer:
                chunk = os.read(self._from_browser, 65536)
                if not chunk:
                    raise RuntimeError("the browser closed its DevTools pipe")
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def evaluate(self, expression: str):
        result = self.send("Runtime.evaluate", self.session, expression=expression,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait(self, expression: str, timeout: float = 30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.1)
        raise AssertionError(f"never true in the page: {expression}")

    def open(self, url: str) -> None:
        self.send("Page.navigate", self.session, url=url)

    def close(self):
        try:
            self.send("Browser.close")
            self.proc.wait(timeout=20)
        except (OSError, RuntimeError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)


@unittest.skipIf(CHROMIUM is None, "chromium is not installed")
class BrowserConsoleTest(unittest.TestCase):
    def render(self, url: str) -> str:
        profile = tempfile.mkdtemp(prefix="ferrolink-chromium-")
        try:
            return subprocess.run(
                [CHROMIUM, *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                 "--virtual-time-budget=10000", "--dump-dom", url],
                capture_output=True, text=True, timeout=120).stdout
        finally:
            shutil.rmtree(profile, ignore_errors=True)

    def test_console_loads_and_lists_the_samples(self):
        with server_with_samples() as server:
            for path in ("/index.html", "/tools/js_client/index.html"):
                with self.subTest(path=path):
                    dom = self.render(f"http://127.0.0.1:{wire.SERVICE_PORT}{path}")
                    self.assertIn("SOAP test console", dom)
                    # The script ran (jquery.js was served and loaded) and its
                    # GetReqXmlList call came back with the sample names.
                    samples = dom.split('<ul id="samples">', 1)[1].split("</ul>", 1)[0]
                    self.assertIn('data-name="Device.GetReqXmlList.req.xml"', samples)
                    self.assertIn('data-name="Device.SaveFile.req.xml"', samples)
            log = server.log()
            self.assertIn("get file msgbuf GET /jquery.js HTTP/1.1.", log)
            self.assertIn("get file msgbuf GET /tools/js_client/jquery.js HTTP/1.1.", log)

    def test_console_loads_a_sample_and_sends_it(self):
        with server_with_samples():
            browser = DevTools()
            try:
                browser.open(f"http://127.0.0.1:{wire.SERVICE_PORT}/tools/js_client/index.html")
                # The console lives in the page's Developer tab.
                browser.wait("typeof $ === 'function' && $('[data-tab=developer]').length === 1")
                browser.evaluate("$('[data-tab=developer]').first().click(), true")
                name = "Device.GetReqXmlList.req.xml"
                item = f"$('#samples li[data-name=\"{name}\"]')"
                browser.wait(f"typeof $ === 'function' && {item}.length === 1")
                browser.evaluate(f"{item}.click(), true")
                request = browser.wait("$('#request').val()")
                # The sample as the server holds it, line ends and all.
                with open(os.path.join(wire.dist_dir(), "auto", name), "rb") as f:
                    self.assertEqual(request, f.read().decode().replace("\r\n", "\n"))
                browser.evaluate("$('#send').click(), true")
                status = browser.wait("/^HTTP|Fault/.test($('#status').text()) && $('#status').text()")
                self.assertTrue(status.startswith("HTTP 200"), status)
                response = browser.evaluate("$('#response').text()")
                # Indented for reading, one element a line.
                self.assertIn("\n    <ns:ReqXmlList>\n      <nErrorCode>0</nErrorCode>\n", response)
                self.assertIn("\n      <ReqXml>Device.SaveFile.req.xml</ReqXml>\n", response)
            finally:
                browser.close()


if __name__ == "__main__":
    wire.run_tests()
