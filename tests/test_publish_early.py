"""Early publishing: the master lists each rendition once it is finished and checked,
while the others are still being made; without it, the master appears once, at the end."""

import hashlib
import json
import os
import pathlib
import shutil
import threading

import pytest

from cluster import celery_app, redis_server
from helpers import finished, job_children, needs_unsanitized_module, priority_of
from kestrava_jobs import package_video
from media import stream_inf

pytestmark = needs_unsanitized_module


def listed(master: pathlib.Path) -> list[tuple[str, str]] | None:
    """(uri, attributes) of each variant the master lists now; None before it exists."""
    try:
        return [(uri, attributes) for attributes, uri in stream_inf(master.read_text().splitlines())]
    except FileNotFoundError:
        return None


def files_digest(out: pathlib.Path, name: str) -> str:
    """The rendition's playlist and segments, byte for byte."""
    digest = hashlib.sha256()
    for path in sorted(out.glob(f"{name}[._]*")):
        digest.update(path.name.encode() + path.read_bytes())
    return digest.hexdigest()


def priorities(out: pathlib.Path) -> dict[tuple[str, ...], tuple[int, int | None]]:
    """The renditions of each child working in `out`, its nice value and its session's
    (None where the kernel does not group sessions)."""
    found = {}
    for pid in job_children(out):
        try:
            call = json.loads(pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[3])
            found[tuple(call["resolution"])] = priority_of(pid)
        except (OSError, IndexError, ValueError):
            pass
    return found


class MasterReader(threading.Thread):
    """Reads the master over and over while the job runs, as players would, and keeps
    every distinct listing seen with whether each listed playlist was finished; and the
    job's children with their priorities."""

    def __init__(self, out: pathlib.Path) -> None:
        super().__init__(daemon=True)
        self.out, self.seen, self.children, self.done = out, [], {}, threading.Event()

    def run(self) -> None:
        looks = 0
        while not self.done.wait(0.005):
            self.look()
            looks += 1
            if looks % 10 == 0:  # the latest seen: a child sets its own priority once started
                self.children.update(priorities(self.out))
        self.look()  # a loaded machine may not have let it look since the last master

    def look(self) -> None:
        found = listed(self.out / "master.m3u8")
        if found and (not self.seen or self.seen[-1][0] != found):
            self.seen.append((found, [finished(self.out / uri) for uri, _ in found]))


def test_the_master_lists_each_rendition_once_it_is_checked(tmp_path, source_at):
    # Two segments: the larger rendition's playlist lists the first one long before its end.
    source = source_at("early_854x480_9s.mp4", seconds=9, size="854x480")
    out = tmp_path / "out"
    moments = []

    def record(name: str) -> None:
        """What a player would find when the master starts listing `name`."""
        found = listed(out / "master.m3u8")
        moments.append((name, found, (out / "master.m3u8").stat().st_ino,
                        all(finished(out / uri) for uri, _ in found), finished(out / "480p.m3u8"),
                        files_digest(out, name)))

    reader = MasterReader(out)
    reader.start()
    try:
        result = package_video(source, out, resolution=["480p", "360p"], publish_early=True, on_rendition=record)
    finally:
        reader.done.set()
        reader.join()
    print([moment[:5] for moment in moments])
    assert result.complete == ["480p", "360p"]
    assert [(r.segments, round(r.duration)) for r in result.renditions.values()] == [(2, 9), (2, 9)], "as measured"
    # The smallest comes first, alone, finished, while 480p is still being made; what was
    # listed then is what the check passed.
    assert [moment[0] for moment in moments] == ["360p", "480p"], "each rendition joins once"
    first, then = moments
    assert [uri for uri, _ in first[1]] == ["360p.m3u8"]
    assert first[3] and not first[4], "360p is listed finished, and before 480p is"
    assert first[5] == files_digest(out, "360p")
    assert [uri for uri, _ in then[1]] == ["480p.m3u8", "360p.m3u8"] and then[3]
    assert first[2] != then[2], "each master is a new file put in place whole, never rewritten in place"
    assert reader.children.keys() == {("360p",), ("480p",)}, "the smallest in a child of its own"
    (behind, behind_session), (first_child, first_session) = reader.children[("480p",)], reader.children[("360p",)]
    assert behind > first_child == os.getpriority(os.PRIO_PROCESS, 0)
    assert behind_session is None or behind_session > first_session, "behind in a session of its own too"
    # Whenever a player looked: measured attributes, the order asked for, each once, all finished.
    assert [uri for uri, _ in reader.seen[-1][0]] == ["480p.m3u8", "360p.m3u8"]
    for found, finished_then in reader.seen:
        assert [uri for uri, _ in found] in (["360p.m3u8"], ["480p.m3u8", "360p.m3u8"]) and all(finished_then), found
        assert all("AVERAGE-BANDWIDTH=" in attributes and "CODECS=" in attributes for _, attributes in found), found
    assert sorted(path.name for path in out.glob("*.m3u8")) == ["360p.m3u8", "480p.m3u8", "master.m3u8"]
    assert not [path.name for path in out.iterdir() if path.name.startswith(".")]


def test_without_it_the_master_appears_once_at_the_end(tmp_path, source_at):
    source = source_at("early_854x480.mp4", seconds=1, size="854x480")
    out = tmp_path / "out"
    calls = []
    package_video(source, out, resolution=["480p", "360p"],
                  on_rendition=lambda name: calls.append((name, [uri for uri, _ in listed(out / "master.m3u8")])))
    assert calls == [("480p", ["480p.m3u8", "360p.m3u8"]), ("360p", ["480p.m3u8", "360p.m3u8"])]
    # A message's "false" is a string, and would be true: refused before any file.
    for flag in ("publish_early", "poster", "storyboard"):
        with pytest.raises(TypeError, match=f"{flag} must be True or False"):
            package_video(source, tmp_path / "refused", **{flag: "false"})
    assert not (tmp_path / "refused").exists()


def test_the_first_master_names_a_poster_that_comes_after_the_smallest_rendition(tmp_path, source_at, monkeypatch):
    source = source_at("early_854x480.mp4", seconds=1, size="854x480")
    slow = tmp_path / "bin" / "ffmpeg"  # the poster's call waits 2 s, long after 360p is made
    slow.parent.mkdir()
    slow.write_text(f'#!/bin/sh\ncase " $* " in *" -frames:v 1 "*" mjpeg "*) sleep 2;; esac\n'
                    f'exec {shutil.which("ffmpeg")} "$@"\n')
    slow.chmod(0o755)
    monkeypatch.setenv("PATH", f"{slow.parent}{os.pathsep}{os.environ['PATH']}")
    out, masters = tmp_path / "out", []
    package_video(source, out, resolution=["360p"], publish_early=True, storyboard=False,
                  on_rendition=lambda name: masters.append((out / "master.m3u8").read_text()))
    assert (out / "360p.m3u8").stat().st_mtime < (out / "poster.jpg").stat().st_mtime, "the poster came after"
    assert 'URI="poster.jpg"' in masters[0]


@pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server")
def test_the_celery_task_reports_what_the_master_lists(tmp_path, source_at, monkeypatch):
    """The task run in this process, its progress stored in a real Redis: the last report
    names every rendition the master lists."""
    source = source_at("early_854x480.mp4", seconds=1, size="854x480")
    monkeypatch.setenv("KESTRAVA_SOURCE_ROOTS", str(source.parent))
    monkeypatch.setenv("KESTRAVA_OUTPUT_ROOT", str(tmp_path))
    (tmp_path / "redis").mkdir()
    with redis_server(tmp_path / "redis") as redis, celery_app(redis.url) as app:
        applied = app.tasks["kestrava_jobs.package_video"].apply(
            args=[str(source), str(tmp_path / "out")], kwargs={"resolution": ["480p", "360p"], "publish_early": True})
        meta = app.backend.get_task_meta(applied.id)
    assert applied.get()["complete"] == ["480p", "360p"]
    assert meta["status"] == "PROGRESS" and sorted(meta["result"]["playable"]) == ["360p", "480p"]
    assert meta["result"]["pictures"] == ["poster.jpg", "storyboard.vtt"]
