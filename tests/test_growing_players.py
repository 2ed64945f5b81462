"""A growing package played by real players while it grows, from 0:00 to the end past the
moment EXT-X-ENDLIST is added: hls.js in Chromium with its default configuration, opened
once five segments are listed, showing the captions the first master lists on time, and
GStreamer's HLS demuxer, opened with the first master.
GStreamer (1.22) does not read EXT-X-START: it starts a live playlist four segments
before its end, so it starts at 0:00 only when a viewer opens the package early."""

import functools
import http.server
import pathlib
import re
import shutil
import subprocess
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from importlib import resources

import m3u8
import pysubs2
import pytest

from browser import opened
from helpers import needs_unsanitized_module
from kestrava_jobs import package_video
from media import wait_for, write_key_info

pytestmark = [pytest.mark.skipif(shutil.which("chromium") is None or shutil.which("gst-launch-1.0") is None,
                                 reason="needs Debian's chromium and GStreamer"), needs_unsanitized_module]
SECONDS = 54
PLAYBACK_RATE = 4  # well behind the 360p encoding, which runs about ten times as fast as real time
# A cue in each segment, one across a cut, and the last one near the end.
CUES = [(1.0, 2.5, "First"), (7.2, 8.0, "Second"), (11.5, 12.6, "Across the cut"), (20.0, 21.0, "Fourth"),
        (33.3, 34.4, "Fifth"), (50.1, 53.5, "Last")]
PAGE = f"""<!doctype html><video id="video" muted></video><script src="/hls.min.js"></script><script>
const video = document.getElementById("video");
window.seen = {{live: [], errors: [], started: null, waiting: 0, ended: null}};
const hls = new Hls();
hls.on(Hls.Events.LEVEL_LOADED, (event, data) => seen.live.push(data.details.live));
hls.on(Hls.Events.ERROR, (event, data) => seen.errors.push([data.details, data.fatal]));
video.addEventListener("playing", () => {{
  if (seen.started === null) {{ seen.started = video.currentTime; hls.subtitleTrack = 0; }}
}});
video.addEventListener("waiting", () => {{ if (seen.started !== null) seen.waiting++; }});
video.addEventListener("ended", () => {{
  seen.ended = video.currentTime;
  const shown = [...video.textTracks].filter(track => track.mode === "showing");
  seen.cues = shown.flatMap(track => [...track.cues].map(cue => [cue.startTime, cue.endTime, cue.text]));
}});
hls.on(Hls.Events.MANIFEST_PARSED, () => {{
  video.playbackRate = {PLAYBACK_RATE};
  video.play();
}});
hls.loadSource("/master.m3u8");
hls.attachMedia(video);
</script>"""


class PackageHandler(http.server.BaseHTTPRequestHandler):
    """The package folder as a plain server hands it out (404 for what is not there), the
    key at the URI its playlists name, and the page; every answer logged."""

    def __init__(self, *args, folder: pathlib.Path, key: bytes, answers: list, **kwargs) -> None:
        self.folder, self.key, self.answers = folder, key, answers
        super().__init__(*args, **kwargs)

    def do_GET(self) -> None:  # noqa: N802 - the standard library's name
        name = self.path.split("?")[0].lstrip("/")
        assets = resources.files("kestrava_jobs.command") / "preview_assets"
        found = {"": PAGE.encode(), "favicon.ico": b"", "enc.key": self.key,
                 "hls.min.js": (assets / "hls.min.js").read_bytes()}.get(name)
        path = self.folder / name
        if found is None and "/" not in name and path.is_file():
            found = path.read_bytes()
        self.answers.append((name, 200 if found is not None else 404))
        if found is None:
            return self.send_error(404)
        self.send_response(200)
        self.send_header("Content-Length", str(len(found)))
        self.send_header("Cache-Control", "no-cache")
        self.end_headers()
        self.wfile.write(found)

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002
        pass


@contextmanager
def serving(folder: pathlib.Path, key: bytes) -> Iterator[tuple[str, list]]:
    answers: list[tuple[str, int]] = []
    handler = functools.partial(PackageHandler, folder=folder, key=key, answers=answers)
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler) as server:
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            yield f"http://127.0.0.1:{server.server_address[1]}/", answers
        finally:
            server.shutdown()
            thread.join()


def listed(playlist: pathlib.Path) -> int:
    try:
        return len(m3u8.loads(playlist.read_text()).segments)
    except FileNotFoundError:
        return 0


def test_hls_js_and_gstreamer_play_a_growing_package_from_its_start_to_its_end(tmp_path, media_dir, source_at,
                                                                              debugging_port):
    source = source_at(f"growing_1280x720_{SECONDS}s.mp4", seconds=SECONDS, size="1280x720", picture="testsrc")
    key_info, key, _ = write_key_info(tmp_path)
    captions = pysubs2.SSAFile()
    captions.events = [pysubs2.SSAEvent(start=round(start * 1000), end=round(end * 1000), text=text)
                       for start, end, text in CUES]
    captions.save(str(tmp_path / "talk.srt"))
    out = tmp_path / "grown"
    job = threading.Thread(target=package_video, args=(source, out),
                           kwargs={"resolution": ["360p"], "publish": "segments", "key_info": key_info,
                                   "captions": {"en": tmp_path / "talk.srt"}})
    with serving(out, key) as (url, answers):
        job.start()
        try:
            first_master = wait_for(lambda: (out / "master.m3u8").exists() and (out / "master.m3u8").read_text(), 30,
                                    "the first master")
            gstreamer = subprocess.Popen(
                ["gst-launch-1.0", "-v", "playbin", f"uri={url}master.m3u8",
                 "video-sink=fakesink sync=false silent=false", "audio-sink=fakesink sync=false"],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            # A player that started at the live edge, three target durations back, would start at 12 s.
            wait_for(lambda: listed(out / "360p.m3u8") >= 5, 30, "five segments")
            with opened(debugging_port, url) as page:
                seen = wait_for(lambda: (seen := page.evaluate("window.seen")) and seen["ended"] is not None and seen,
                                SECONDS / PLAYBACK_RATE + 30, "hls.js to play to the end")
            shown, _ = gstreamer.communicate(timeout=60)
        finally:
            job.join()
    assert seen["started"] < 0.5 and seen["ended"] == pytest.approx(SECONDS, abs=0.5), seen
    assert seen["live"][0] and not seen["live"][-1], "opened while it grew, played past its end"
    assert 'TYPE=SUBTITLES' in first_master and 'URI="subs_en.m3u8"' in first_master
    assert [text for *_, text in sorted(seen["cues"])] == [text for *_, text in CUES]
    assert [t for cue in sorted(seen["cues"]) for t in cue[:2]] == \
        pytest.approx([t for cue in CUES for t in cue[:2]], abs=0.1), "each cue at its time"
    # A gap of a frame at the start is skipped at once; a stall, or worse, is a failure.
    assert seen["waiting"] == 0 and not [error for error in seen["errors"] if error != ["bufferSeekOverHole", False]], \
        seen
    assert [answer for answer in answers if answer[1] != 200] == [], answers
    video = [float(h) * 3600 + float(m) * 60 + float(s)
             for h, m, s in re.findall(r"fakesink0.*pts: (\d+):(\d+):([\d.]+)", shown)]
    assert gstreamer.returncode == 0 and video[0] < 0.5 and video[-1] == pytest.approx(SECONDS, abs=0.5), shown[-2000:]
