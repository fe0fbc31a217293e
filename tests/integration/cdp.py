"""Headless Chromium driven over the DevTools protocol on a pipe.

    with Browser(prefix=["ip", "netns", "exec", ns]) as browser:
        page = browser.page()
        page.goto("http://127.0.0.1:64567/tools/js_client/index.html")
        page.wait_for("FV.devices.model.rows.length === 20")
        page.click("#discover")
        page.screenshot("/tmp/x.png")

Chromium is started with --remote-debugging-pipe: it reads JSON commands,
each ended by a NUL byte, from its file descriptor 3 and writes answers and
events the same way to descriptor 4. No port is opened, nothing else is
needed, and `prefix` may put the browser into a network namespace.
"""

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class BrowserError(RuntimeError):
    pass


class Browser:
    def __init__(self, prefix=None, width=1360, height=860):
        self.prefix = prefix or []
        self.width, self.height = width, height
        self.proc = None
        self._next_id = 0
        self._lock = threading.Lock()
        self._waiting = {}        # id -> [event, answer]
        self._events = []         # (serial, sessionId, method, params), bounded
        self._event_serial = 0
        # What a page's console would show as errors: failed requests,
        # uncaught exceptions, console.error; kept apart from the busy
        # event list so that none is pushed out by other events.
        self._problems = []       # (sessionId, text), bounded
        self._events_cond = threading.Condition()

    def start(self):
        if CHROMIUM is None:
            raise BrowserError("chromium is not installed")
        self.profile = tempfile.mkdtemp(prefix="ferrolink-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # bash hands our pipe ends to the browser as its descriptors 3
        # and 4, so no code runs between fork and exec.
        args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-extensions",
                "--disable-features=Translate,MediaRouter,OptimizationHints",
                "--disable-dev-shm-usage", "--hide-scrollbars", "--mute-audio",
                "--remote-debugging-pipe", f"--user-data-dir={self.profile}",
                f"--window-size={self.width},{self.height}", "about:blank"]
        # Above 9 first, so that moving them to 3 and 4 overwrites neither.
        high_r = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD_CLOEXEC, 10)
        high_w = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD_CLOEXEC, 10)
        os.close(to_browser_r)
        os.close(from_browser_w)
        shell = f'exec "$@" 3<&{high_r} 4>&{high_w} {high_r}<&- {high_w}>&-'
        self.proc = subprocess.Popen(self.prefix + ["/bin/bash", "-c", shell, "bash", *args],
                                     pass_fds=(high_r, high_w),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(high_r)
        os.close(high_w)
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()
        return self

    def _read_loop(self):
        buf = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 1 << 20)
            except OSError:
                chunk = b""
            if not chunk:
                with self._lock:
                    for slot in self._waiting.values():
                        slot[1] = {"error": {"message": "browser closed the pipe"}}
                        slot[0].set()
                return
            buf += chunk
            while b"\0" in buf:
                raw, _, buf = buf.partition(b"\0")
                msg = json.loads(raw)
                if "id" in msg:
                    with self._lock:
                        slot = self._waiting.pop(msg["id"], None)
                    if slot:
                        slot[1] = msg
                        slot[0].set()
                else:
                    problem = _problem_text(msg.get("method"), msg.get("params") or {})
                    if problem:
                        with self._lock:
                            self._problems.append((msg.get("sessionId"), problem))
                            del self._problems[:-1000]
                    with self._events_cond:
                        self._event_serial += 1
                        self._events.append((self._event_serial, msg.get("sessionId"), msg.get("method"),
                                             msg.get("params")))
                        del self._events[:-500]
                        self._events_cond.notify_all()

    def send(self, method, params=None, session=None, timeout=60.0):
        with self._lock:
            self._next_id += 1
            mid = self._next_id
            slot = [threading.Event(), None]
            self._waiting[mid] = slot
        msg = {"id": mid, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self._to_browser, json.dumps(msg).encode() + b"\0")
        if not slot[0].wait(timeout):
            raise BrowserError(f"{method}: no answer within {timeout} s")
        answer = slot[1]
        if "error" in answer:
            raise BrowserError(f"{method}: {answer['error'].get('message')}")
        return answer.get("result", {})

    def page(self):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, session)
        page.target = target
        page.send("Page.enable")
        page.send("Runtime.enable")
        page.send("Log.enable")
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False})
        return page

    def stop(self):
        if self.proc and self.proc.poll() is None:
            try:
                self.send("Browser.close", timeout=5)
            except (BrowserError, OSError):
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for fd in (getattr(self, "_to_browser", None), getattr(self, "_from_browser", None)):
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass
        shutil.rmtree(getattr(self, "profile", ""), ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _problem_text(method, params):
    """The console error an event stands for, or None."""
    if method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
        entry = params["entry"]
        return f"{entry.get('source')}: {entry.get('text')} {entry.get('url', '')}".strip()
    if method == "Runtime.exceptionThrown":
        detail = params.get("exceptionDetails", {})
        return "exception: " + (detail.get("exception", {}).get("description") or detail.get("text", ""))
    if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
        return "console.error: " + " ".join(str(a.get("value", a.get("description", "")))
                                              for a in params.get("args", []))
    return None


class Page:
    def __init__(self, browser, session):
        self.browser = browser
        self.session = session

    def problems(self, clear=False):
        """Console errors of this page since the last clear: failed requests
        (a refused connection, an HTTP error status), uncaught exceptions and
        console.error calls."""
        with self.browser._lock:
            mine = [text for sid, text in self.browser._problems if sid == self.session]
            if clear:
                self.browser._problems = [p for p in self.browser._problems if p[0] != self.session]
        return mine

    def wait_event(self, method, after, timeout=10.0):
        """Waits for an event `method` of this page numbered above `after`
        (see event_mark); returns its parameters."""
        deadline = time.monotonic() + timeout
        with self.browser._events_cond:
            while True:
                for serial, sid, name, params in self.browser._events:
                    if serial > after and sid == self.session and name == method:
                        return params
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BrowserError(f"no {method} within {timeout} s")
                self.browser._events_cond.wait(left)

    def event_mark(self):
        """The number of the latest event so far, for wait_event."""
        with self.browser._events_cond:
            return self.browser._event_serial

    def send(self, method, params=None, timeout=60.0):
        return self.browser.send(method, params, session=self.session, timeout=timeout)

    def close(self):
        """Closes the page (a tab of its own)."""
        self.browser.send("Target.closeTarget", {"targetId": self.target})

    def goto(self, url, timeout=30.0):
        self.send("Page.navigate", {"url": url})
        self.wait_for("document.readyState === 'complete' && !!window.FV", timeout=timeout)

    def eval(self, expression, timeout=60.0):
        """Value of a JavaScript expression (promises are awaited)."""
        res = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                              "awaitPromise": True}, timeout=timeout)
        if "exceptionDetails" in res:
            detail = res["exceptionDetails"]
            text = detail.get("exception", {}).get("description") or detail.get("text")
            raise BrowserError(f"script failed: {text}\n  in: {expression[:200]}")
        return res.get("result", {}).get("value")

    def wait_for(self, expression, timeout=20.0, interval=0.1):
        """Waits until the expression is truthy; returns its value."""
        deadline = time.monotonic() + timeout
        last_error = None
        while True:
            try:
                value = self.eval(expression)
                if value:
                    return value
            except BrowserError as e:
                last_error = e
            if time.monotonic() >= deadline:
                raise AssertionError(f"never true within {timeout} s: {expression}"
                                     + (f" (last error: {last_error})" if last_error else ""))
            time.sleep(interval)

    def click(self, selector):
        self.eval(f"(function(){{var e=document.querySelector({json.dumps(selector)});"
                  f"if(!e) throw new Error('no element ' + {json.dumps(selector)});"
                  f"e.scrollIntoView({{block:'nearest'}}); e.click(); return true;}})()")

    def fill(self, selector, value):
        """Types a value into a field as a user would (input and change events)."""
        self.eval(f"(function(){{var e=document.querySelector({json.dumps(selector)});"
                  f"if(!e) throw new Error('no element ' + {json.dumps(selector)});"
                  f"e.value={json.dumps(str(value))};"
                  f"e.dispatchEvent(new Event('input',{{bubbles:true}}));"
                  f"e.dispatchEvent(new Event('change',{{bubbles:true}})); return true;}})()")

    def text(self, selector):
        return self.eval(f"(function(){{var e=document.querySelector({json.dumps(selector)});"
                         f"return e ? e.innerText : null;}})()")

    def set_files(self, selector, paths):
        doc = self.send("DOM.getDocument", {"depth": 0})
        node = self.send("DOM.querySelector", {"nodeId": doc["root"]["nodeId"], "selector": selector})
        self.send("DOM.setFileInputFiles", {"nodeId": node["nodeId"], "files": list(paths)})

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return path
