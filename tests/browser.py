"""Debian's headless Chromium, driven through the DevTools protocol, and the preview
command it plays a package from."""

import contextlib
import json
import pathlib
import subprocess
import sys
import urllib.request
from collections.abc import Iterator

import websocket

from media import free_port, wait_for


class Page:
    """One Chromium tab, spoken to over the DevTools protocol."""

    def __init__(self, debugging_port: int, url: str) -> None:
        targets = wait_for(lambda: _json(f"http://127.0.0.1:{debugging_port}/json"), 20, "Chromium's targets")
        page = next(target for target in targets if target["type"] == "page")
        self.socket = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=20)
        self.calls = 0
        self.send("Page.navigate", url=url)

    def send(self, method: str, **params) -> dict:
        self.calls += 1
        self.socket.send(json.dumps({"id": self.calls, "method": method, "params": params}))
        while True:
            reply = json.loads(self.socket.recv())
            if reply.get("id") == self.calls:
                return reply.get("result", {})

    def evaluate(self, expression: str):
        found = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        return found.get("result", {}).get("value")


def _json(url: str):
    try:
        with urllib.request.urlopen(url, timeout=1) as reply:
            return json.load(reply)
    except OSError:
        return None


@contextlib.contextmanager
def chromium(profile: pathlib.Path) -> Iterator[int]:
    """A headless Chromium that plays unmuted media by itself, for the block; its DevTools port."""
    port = free_port()
    browser = subprocess.Popen(["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--mute-audio",
                                "--autoplay-policy=no-user-gesture-required", f"--user-data-dir={profile}",
                                f"--remote-debugging-port={port}", "about:blank"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield port
    finally:
        browser.terminate()
        browser.wait(timeout=10)


@contextlib.contextmanager
def previewing(package: pathlib.Path) -> Iterator[str]:
    """`kestrava-package preview` on the package, for the block; the page's URL."""
    server = subprocess.Popen([sys.executable, "-m", "kestrava_jobs", "preview", str(package)],
                              stdout=subprocess.PIPE, text=True)
    try:
        yield server.stdout.readline().split(" at ")[1].split()[0]
    finally:
        server.terminate()
        server.wait(timeout=10)
        server.stdout.close()


@contextlib.contextmanager
def opened(debugging_port: int, url: str) -> Iterator[Page]:
    """The browser's tab at `url`, its DevTools connection closed after the block."""
    page = Page(debugging_port, url)
    try:
        yield page
    finally:
        page.socket.close()
