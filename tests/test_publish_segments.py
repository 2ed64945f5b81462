"""The smallest rendition published as it grows: every version of its playlist lists
only checked segments in the package, keeps one target duration, starts players at 0:00
and ends as the package of a job without the option does."""

import pathlib
import subprocess
import sys
import threading

import m3u8
import pytest

from helpers import needs_unsanitized_module
from kestrava_jobs import PackageCancelled, package_video
from media import stream_inf, write_key_info

pytestmark = needs_unsanitized_module

# Run apart from the job, so that it acts within a millisecond of a segment's first bytes
# reaching the disk, long before the muxer closes it: it flips the first 16 bytes in place
# and names the segment.
SPOILER = """
import pathlib, sys, time
growing = pathlib.Path(sys.argv[1])
segment = growing / "360p_001.ts"
while not (segment.exists() and segment.stat().st_size > 4096):
    time.sleep(0.0005)
with open(segment, "r+b") as file:
    first = file.read(16)
    file.seek(0)
    file.write(bytes(byte ^ 0xFF for byte in first))
print(segment.name, flush=True)
"""


class Versions(threading.Thread):
    """Every distinct text of the growing playlist and of the master while the job runs,
    each playlist with the segments it listed that were not in the package as it was read."""

    def __init__(self, out: pathlib.Path) -> None:
        super().__init__(daemon=True)
        self.out, self.done = out, threading.Event()
        self.playlists: list[tuple[m3u8.M3U8, list[str]]] = []
        self.masters: list[tuple[list[str], int]] = []  # with the growing playlist's segments then
        self.texts: dict[str, str] = {}

    def run(self) -> None:
        while not self.done.wait(0.002):
            self.look()
        self.look()

    def changed(self, name: str) -> str | None:
        """The file's text when it changed since the last look ("" once it is gone)."""
        try:
            text = (self.out / name).read_text()
        except FileNotFoundError:
            text = "" if name in self.texts else None
        if text is None or text == self.texts.get(name):
            return None
        self.texts[name] = text
        return text

    def look(self) -> None:
        if text := self.changed("360p.m3u8"):
            playlist = m3u8.loads(text)
            self.playlists.append((playlist, [s.uri for s in playlist.segments if not (self.out / s.uri).exists()]))
        if (text := self.changed("master.m3u8")) is not None:
            growing = len(self.playlists[-1][0].segments) if self.playlists else 0
            self.masters.append(([uri for _, uri in stream_inf(text.splitlines())], growing))


def watched(out: pathlib.Path, **options) -> tuple[object, Versions]:
    versions = Versions(out)
    versions.start()
    try:
        return package_video(out.parent / "source.mp4", out, resolution=["480p", "360p"], **options), versions
    finally:
        versions.done.set()
        versions.join()


@pytest.fixture
def at_25_fps(tmp_path, source_at) -> pathlib.Path:
    """15 s at 25 pictures a second: a key frame every 2.4 s, so segments of up to 7.2 s."""
    source = source_at("growing_854x480_25fps.mp4", seconds=15, size="854x480", rate=25, picture="testsrc")
    (tmp_path / "source.mp4").symlink_to(source)
    return source


def test_the_smallest_grows_segment_by_segment_and_ends_as_a_job_without_it(tmp_path, at_25_fps):
    with pytest.raises(ValueError, match="publish must be one of end, renditions, segments, not 'early'"):
        package_video(at_25_fps, tmp_path / "refused", publish="early")
    with pytest.raises(ValueError, match="say opposite things"):
        package_video(at_25_fps, tmp_path / "refused", publish="end", publish_early=True)
    assert not (tmp_path / "refused").exists()
    key_info, _, _ = write_key_info(tmp_path)
    events = []
    grown, versions = watched(tmp_path / "grown", key_info=key_info, publish="segments",
                              on_rendition=lambda name: events.append(name),
                              on_published=lambda name, seconds: events.append((name, seconds)))
    whole = package_video(at_25_fps, tmp_path / "whole", key_info=key_info, resolution=["360p"], publish="renditions")
    assert (grown.complete, whole.complete) == (["480p", "360p"], ["360p"])

    final = m3u8.loads((tmp_path / "grown" / "360p.m3u8").read_text())
    made = m3u8.loads((tmp_path / "whole" / "360p.m3u8").read_text())
    assert [(s.uri, s.duration) for s in final.segments] == [(s.uri, s.duration) for s in made.segments]
    # Cut at the first key frame past 6 s and past 12 s, and the end of the source.
    assert [s.duration for s in final.segments] == pytest.approx([7.2, 4.8, 3.03], abs=0.01), "on the clock"
    for segment in made.segments:
        assert (tmp_path / "grown" / segment.uri).read_bytes() == (tmp_path / "whole" / segment.uri).read_bytes()
    assert final.is_endlist and not (tmp_path / "grown" / ".growing").exists()

    listed = [[s.uri for s in playlist.segments] for playlist, _ in versions.playlists]
    assert len(listed) >= 2 and listed[0] == ["360p_000.ts"], "from its first segment on, then the end"
    for playlist, missing in versions.playlists:
        assert not missing, f"listed before it was in the package: {missing}"
        assert playlist.target_duration == 8 >= max(round(s.duration) for s in playlist.segments)
        assert playlist.start.time_offset == 0 and playlist.playlist_type is None
        assert playlist.is_endlist == (playlist is versions.playlists[-1][0])
    assert all(listed[n] == listed[-1][:len(listed[n])] for n in range(len(listed))), "each a prefix of the last"
    # Playable from its first segment, long before it ends; then 480p joins.
    assert versions.masters[0] == (["360p.m3u8"], 1) and versions.masters[-1][0] == ["480p.m3u8", "360p.m3u8"]
    assert events[0] == "360p" and "480p" in events
    published = [seconds for event in events if isinstance(event, tuple) for seconds in event[1:]]
    assert published == sorted(published) and published[-1] == pytest.approx(15.03, abs=0.01)
    assert published[0] < 15, "said while it grew"


def test_a_segment_spoilt_before_its_check_is_never_listed_and_the_rendition_stops(tmp_path, at_25_fps):
    out = tmp_path / "grown"
    spoiler = subprocess.Popen([sys.executable, "-c", SPOILER, str(out / ".growing")], stdout=subprocess.PIPE,
                               text=True)
    try:
        result, versions = watched(out, publish="segments")
        spoilt = spoiler.stdout.readline().strip()
    finally:
        spoiler.kill()
        spoiler.wait()
        spoiler.stdout.close()
    assert spoilt == "360p_001.ts"
    assert (result.complete, result.failed) == (["480p"], ["360p"])
    assert "360p_001.ts is not whole MPEG-TS" in result.reasons["360p"]
    assert all([s.uri for s in playlist.segments] == ["360p_000.ts"] for playlist, _ in versions.playlists)
    assert versions.playlists[-1][0].is_endlist, "a player that started sees the stream end"
    assert [master for master, _ in versions.masters] == [["360p.m3u8"], [], ["480p.m3u8"]], \
        "no master while nothing else is ready"


def test_a_job_cancelled_once_it_is_playable_leaves_no_trace_of_its_growing_rendition(tmp_path, at_25_fps):
    cancel = threading.Event()
    with pytest.raises(PackageCancelled):
        package_video(at_25_fps, tmp_path / "grown", resolution=["480p", "360p"], publish="segments", cancel=cancel,
                      on_rendition=lambda name: cancel.set())
    assert not (tmp_path / "grown").exists()
