"""The preview server and its page, played in Debian's headless Chromium, driven
through the DevTools protocol."""

import pathlib
import shutil
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from browser import Page
from helpers import needs_unsanitized_module, quiet
from kestrava_jobs import package_video
from media import free_port, make_source, wait_for

pytestmark = [pytest.mark.skipif(shutil.which("chromium") is None, reason="needs Debian's chromium"),
              needs_unsanitized_module, quiet]


def test_the_preview_plays_every_level(tmp_path, media_dir):
    source = make_source(media_dir / "preview_854x480.mp4", seconds=8, size="854x480", picture="testsrc")
    result = package_video(source, tmp_path / "package", resolution=["480p", "360p"])
    server = subprocess.Popen([sys.executable, "-m", "kestrava_jobs", "preview", str(tmp_path / "package")],
                              stdout=subprocess.PIPE, text=True)
    debugging_port = free_port()
    browser = None
    try:
        url = server.stdout.readline().split(" at ")[1].split()[0]
        # Only this machine reaches it; the key is never cached; nothing outside the folder is served.
        with pytest.raises(urllib.error.URLError):
            urllib.request.urlopen(url.replace("127.0.0.1", "127.0.0.2"), timeout=5)
        with urllib.request.urlopen(url + "enc.key", timeout=5) as reply:
            assert reply.read() == pathlib.Path(result.key_file).read_bytes()
            assert reply.headers["Cache-Control"] == "no-store"
        (tmp_path / "outside.ts").write_bytes(b"beside the package, not in it")
        with pytest.raises(urllib.error.HTTPError, match="404") as refused:
            urllib.request.urlopen(url + "%2E%2E/outside.ts", timeout=5).close()
        refused.value.close()
        browser = subprocess.Popen(["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--mute-audio",
                                    "--autoplay-policy=no-user-gesture-required", f"--user-data-dir={tmp_path / 'chromium'}",
                                    f"--remote-debugging-port={debugging_port}", "about:blank"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        page = Page(debugging_port, url)
        levels = wait_for(lambda: page.evaluate("window.preview && preview.hls && preview.hls.levels.length &&"
                                                " preview.hls.levels.map(l => [l.width, l.height])"),
                          20, "the master's levels")
        # hls.js orders the levels by bit rate.
        assert sorted(levels) == sorted([rendition.width, rendition.height] for rendition in result.renditions.values())
        for index, (width, height) in enumerate(levels):
            page.evaluate(f"(() => {{ const picker = document.getElementById('level'); picker.value = '{index}';"
                          "picker.dispatchEvent(new Event('change')); video.loop = true;"
                          "if (video.ended) { video.currentTime = 0; video.play(); } })()")
            state = "({w: video.videoWidth, h: video.videoHeight, t: video.currentTime, playing: preview.playing,"\
                    " errors: preview.errors})"
            shown = wait_for(lambda: (s := page.evaluate(state)) and (s["errors"] or
                             ((s["w"], s["h"]) == (width, height) and (s["playing"] or {}).get("index") == index))
                             and s, 20, f"level {index} to play")
            assert shown["errors"] == []
            time.sleep(0.5)
            assert page.evaluate(state)["t"] != shown["t"], "the video must play on"
        assert page.evaluate("preview.errors") == []
        # A window too short for the picture at its width: the player keeps to 70% of its height.
        page.send("Emulation.setDeviceMetricsOverride", width=1280, height=500, deviceScaleFactor=1, mobile=False)
        assert page.evaluate("video.getBoundingClientRect().height") <= 0.7 * 500
    finally:
        for process in (browser, server):
            if process is not None:
                process.terminate()
                process.wait(timeout=10)
