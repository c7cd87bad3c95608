"""Headless Chromium driven over its DevTools pipe (file descriptors 3 and 4 of
the browser: commands in, replies and events out, each a JSON text ended by a
NUL byte), so that the tests need no WebSocket client."""

import base64
import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time


def chromium_path():
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Chromium:
    def __init__(self, width=1100, height=820, timeout=60.0):
        executable = chromium_path()
        if executable is None:
            raise RuntimeError("chromium is not installed; scripts/ensure-chromium installs it")
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="hdf5_kel-chromium-")
        self.log = tempfile.TemporaryFile()  # noqa: SIM115 - closed with the browser
        to_browser, self.commands = os.pipe()
        self.replies, from_browser = os.pipe()

        def onto_3_and_4():
            # Moved out of the way first: either end may already sit on 3 or 4.
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser, from_browser)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        self.proc = subprocess.Popen(
            [
                executable,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--no-first-run",
                "--disable-extensions",
                "--disable-background-networking",
                "--no-proxy-server",
                "--disable-component-update",
                "--disable-sync",
                "--remote-debugging-pipe",
                f"--user-data-dir={self.profile}",
                f"--window-size={width},{height}",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=self.log,
            # Python opens its files not inheritable, so only 3 and 4 reach Chromium.
            close_fds=False,
            # Its own process group: its helper processes end with it.
            start_new_session=True,
            preexec_fn=onto_3_and_4,  # noqa: PLW1509 - only dup2 calls, safe after fork
        )
        os.close(to_browser)
        os.close(from_browser)
        self.next_id = 0
        self.pending = b""
        self.session = None
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)[
            "sessionId"
        ]
        self.send(
            "Emulation.setDeviceMetricsOverride",
            width=width,
            height=height,
            deviceScaleFactor=1,
            mobile=False,
        )

    def send(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session is not None:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self.read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def read_message(self, deadline):
        while b"\0" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.replies], [], [], left)[0]:
                raise TimeoutError("Chromium did not answer")
            chunk = os.read(self.replies, 1 << 20)
            if not chunk:
                self.log.seek(0)
                tail = self.log.read().decode(errors="replace")[-3000:]
                raise EOFError(f"Chromium closed its DevTools pipe; it said:\n{tail}")
            self.pending += chunk
        text, self.pending = self.pending.split(b"\0", 1)
        return json.loads(text)

    def open(self, url):
        """Load the page; returns once its scripts have run."""
        self.send("Page.navigate", url=url)
        loaded = f"location.href === {json.dumps(url)} && document.readyState === 'complete'"
        deadline = time.monotonic() + self.timeout
        while not self.evaluate(loaded):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{url} did not load")
            time.sleep(0.05)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page."""
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def screenshot(self):
        return base64.b64decode(self.send("Page.captureScreenshot", format="png")["data"])

    def close(self):
        # Asked to quit, Chromium ends its helper processes and stops writing
        # its profile; a terminated one may leave helpers writing to it.
        self.next_id += 1
        try:
            os.write(
                self.commands,
                json.dumps({"id": self.next_id, "method": "Browser.close"}).encode() + b"\0",
            )
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)  # any helper still there
        except ProcessLookupError:
            pass
        os.close(self.commands)
        os.close(self.replies)
        self.log.close()
        shutil.rmtree(self.profile)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()
