"""A headless browser driven over --remote-debugging-pipe: the DevTools
protocol as NUL-separated JSON on file descriptors 3 (commands in) and 4
(replies and events out). No package beyond Python and the browser."""

import base64
import fcntl
import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time

BROWSERS = ("chromium-headless-shell", "chromium", "google-chrome")


class BrowserError(Exception):
    pass


def find_browser():
    for name in [os.environ.get("QUORNAX_BROWSER")] + list(BROWSERS):
        if name and shutil.which(name):
            return shutil.which(name)
    raise BrowserError("no headless browser found (tried %s)" % ", ".join(BROWSERS))


class Browser:
    def __init__(self, executable=None, extra_flags=()):
        self.profile = tempfile.mkdtemp(prefix="quornax-browser-")
        flags = ["--headless", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--remote-debugging-pipe",
                 "--user-data-dir=" + self.profile]
        if os.geteuid() == 0:
            flags.append("--no-sandbox")  # the sandbox refuses to run as root
        commands_read, self._commands = os.pipe()
        self._replies, replies_write = os.pipe()

        def wire_pipes():
            # Moved out of the way first: a pipe may itself sit on 3 or 4.
            into = fcntl.fcntl(commands_read, fcntl.F_DUPFD, 10)
            out = fcntl.fcntl(replies_write, fcntl.F_DUPFD, 10)
            os.dup2(into, 3)
            os.dup2(out, 4)

        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [executable or find_browser()] + flags + list(extra_flags) + ["about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
            preexec_fn=wire_pipes, close_fds=False)
        os.close(commands_read)
        os.close(replies_write)
        self._next_id = 0
        self._waiting = {}
        self._lock = threading.Lock()
        self._sessions = {}  # session id: its queue of events
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self._replies, 1 << 16)
            if not chunk:
                break
            pending += chunk
            *messages, pending = pending.split(b"\0")
            for raw in messages:
                message = json.loads(raw)
                if "id" in message:
                    with self._lock:
                        slot = self._waiting.pop(message["id"], None)
                    if slot is not None:
                        slot.put(message)
                else:
                    with self._lock:
                        events = self._sessions.get(message.get("sessionId"))
                    if events is not None:
                        events.put(message)
        with self._lock:
            for slot in self._waiting.values():
                slot.put({"error": {"message": "browser closed its pipe"}})
            self._waiting.clear()
            for events in self._sessions.values():
                events.put(None)

    def send(self, method, params=None, session=None, timeout=60):
        with self._lock:
            self._next_id += 1
            ident = self._next_id
            slot = queue.Queue()
            self._waiting[ident] = slot
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        try:
            reply = slot.get(timeout=timeout)
        except queue.Empty:
            raise BrowserError("%s: no reply in %d s" % (method, timeout))
        if "error" in reply:
            raise BrowserError("%s: %s" % (method, reply["error"].get("message")))
        return reply.get("result", {})

    def browser_log(self):
        self.log.seek(0)
        return self.log.read().decode("utf-8", "replace")

    def close(self):
        """Closes the browser first; only then are its pipes drained."""
        try:
            self.send("Browser.close", timeout=10)
        except (BrowserError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._commands)
        self._reader.join(timeout=10)
        os.close(self._replies)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class Page:
    """One tab, attached with its own session."""

    def __init__(self, browser, width=1000, height=900, scale=1, mobile=False):
        self.browser = browser
        target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.send("Target.attachToTarget",
                                    {"targetId": target, "flatten": True})["sessionId"]
        self.crashed = False
        self.errors = []  # exceptions the page's scripts left uncaught
        self.events = queue.Queue()
        with browser._lock:
            browser._sessions[self.session] = self.events
        for domain in ("Page", "Runtime", "Inspector"):
            self.send(domain + ".enable")
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": scale,
                   "mobile": mobile})
        if mobile:
            # A phone has a touch screen and no mouse to hover or drop with.
            self.send("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 5})
            self.send("Emulation.setEmulatedMedia", {"features": [
                {"name": "hover", "value": "none"}, {"name": "pointer", "value": "coarse"}]})

    def send(self, method, params=None, timeout=60):
        return self.browser.send(method, params, self.session, timeout)

    def navigate(self, url):
        self.send("Page.navigate", {"url": url})

    def evaluate(self, expression, timeout=60):
        reply = self.send("Runtime.evaluate",
                          {"expression": expression, "returnByValue": True,
                           "awaitPromise": True}, timeout)
        if "exceptionDetails" in reply:
            details = reply["exceptionDetails"]
            raise BrowserError("page: %s" % details.get("exception", {}).get(
                "description", details.get("text")))
        return reply["result"].get("value")

    def wait_for(self, expression, timeout=60):
        """Polls until expression is truthy; a crash of the page's renderer
        ends the wait at once."""
        deadline = time.monotonic() + timeout
        while True:
            self._check_crash()
            try:
                value = self.evaluate(expression, timeout=timeout)
            except BrowserError:
                self._check_crash()
                raise
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError("timed out waiting for " + expression)
            time.sleep(0.02)

    def poll(self):
        """Takes in the events that came for this page."""
        while True:
            try:
                event = self.events.get_nowait()
            except queue.Empty:
                return
            if event is None:
                self.crashed = True
            elif event.get("method") == "Inspector.targetCrashed":
                self.crashed = True
            elif event.get("method") == "Runtime.exceptionThrown":
                details = event["params"]["exceptionDetails"]
                self.errors.append(details.get("exception", {}).get(
                    "description", details.get("text")))

    def _check_crash(self):
        self.poll()
        if self.crashed:
            raise BrowserError("the page's renderer crashed")

    def set_files(self, selector, paths):
        root = self.send("DOM.getDocument")["root"]["nodeId"]
        node = self.send("DOM.querySelector", {"nodeId": root, "selector": selector})["nodeId"]
        self.send("DOM.setFileInputFiles", {"nodeId": node, "files": list(paths)})

    def screenshot(self, path, whole=True):
        """The whole page, or what the screen shows (whole=False)."""
        data = self.send("Page.captureScreenshot",
                         {"format": "png", "captureBeyondViewport": whole})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))
