"""Small promises of the jobs that a slip in one line breaks quietly: each rendition
checked once when published early, the lock naming only its last holder, the check's
tolerance, rates without names, a message's yes or no, and error lines that keep paths."""

import collections
import os
import re
import shutil
import subprocess
import sys
import time
from collections.abc import Callable, Iterator

import pytest
from cluster import celery_app, redis_server
from helpers import needs_unsanitized_module
from media import make_source

from kestrava_jobs import package_video
from kestrava_jobs.celery_app import make_app
from kestrava_jobs.cluster.confine import confine
from kestrava_jobs.common.deadline import Deadline
from kestrava_jobs.common.ffmpeg_words import cause
from kestrava_jobs.hls import check
from kestrava_jobs.hls.check import RenditionIncomplete, check_rendition
from kestrava_jobs.job import playable
from kestrava_jobs.ladder import pair
from kestrava_jobs.storage.folder import LocalFiles
from kestrava_jobs.storage.folder_state import held_by, name_holder
from kestrava_jobs.storage.keys import ready_key_dir

pytestmark = needs_unsanitized_module


def counting(check: Callable, counts: collections.Counter) -> Callable:
    def counted(files: object, name: str, *rest: object) -> object:
        counts[name] += 1
        return check(files, name, *rest)
    return counted


def test_publishing_early_checks_each_rendition_once(tmp_path, monkeypatch, media_dir):
    # 1080p takes several polls longer than 360p, which is finished all that time.
    source = make_source(media_dir / "guards_1920x1080_1s.mp4", seconds=1, size="1920x1080", audio=None)
    counts: collections.Counter = collections.Counter()
    monkeypatch.setattr(playable, "check_rendition", counting(playable.check_rendition, counts))
    monkeypatch.setattr(check, "check_rendition", counting(check.check_rendition, counts))
    result = package_video(source, tmp_path / "out", resolution=["1080p", "360p"], publish_early=True)
    assert result.complete == ["1080p", "360p"]
    assert counts == {"1080p": 1, "360p": 1}


def test_a_new_holder_leaves_nothing_of_the_old_one(tmp_path):
    path = tmp_path / "out.lock"
    found = []
    for job_id in ("a-redelivered-task-id-0123456789abcdef", "short", ""):
        lock = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)  # as each job opens it
        try:
            name_holder(lock, job_id)
            found.append(held_by(lock))
        finally:
            os.close(lock)
        assert path.read_bytes() == job_id.encode()
    assert found == ["a-redelivered-task-id-0123456789abcdef", "short", ""]


def test_a_segment_a_third_of_a_second_off_its_listing_fails(tmp_path, packaged):
    out = shutil.copytree(packaged[0], tmp_path / "out")
    playlist = out / "360p.m3u8"
    playlist.write_text(re.sub(r"#EXTINF:([0-9.]+)", lambda m: f"#EXTINF:{float(m[1]) + 0.3:.6f}",
                               playlist.read_text()))
    with pytest.raises(RenditionIncomplete, match=r"360p_000\.ts holds 2\.\d+ s where its playlist lists 2\.3\d+ s"):
        check_rendition(LocalFiles(out), "360p", packaged[1], Deadline(None))


def test_rates_without_names_leave_the_rest_their_own_defaults():
    # By position over the whole ladder: 1080p's rate goes with 1080p, which a 720p source drops.
    assert pair(None, [5_000_000, 2_000_000, 900_000], (1280, 720)) == \
        (["720p", "480p", "360p"], [2_000_000, 900_000, 400_000])


@pytest.fixture
def app(tmp_path, monkeypatch) -> Iterator[object]:
    """An app on a Redis of this test's own, with the folders a message may use under tmp_path."""
    monkeypatch.setenv("KESTRAVA_SOURCE_ROOTS", str(tmp_path / "uploads"))
    monkeypatch.setenv("KESTRAVA_OUTPUT_ROOT", str(tmp_path / "packages"))
    (tmp_path / "redis").mkdir()
    with redis_server(tmp_path / "redis") as redis, celery_app(redis.url) as submitting:
        yield submitting


@pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server")
def test_a_spread_message_saying_false_as_text_is_refused_before_any_file(tmp_path, media_dir, key_dir,
                                                                          app):
    uploads, packages = tmp_path / "uploads", tmp_path / "packages"
    uploads.mkdir()
    packages.mkdir()
    source = shutil.copyfile(make_source(media_dir / "guards_160x120_1s.mp4", seconds=1, size="160x120"),
                             uploads / "upload.mp4")
    keys_before = sorted(key_dir.iterdir())
    applied = app.tasks["kestrava_jobs.package_spread"].apply(
        args=[str(source), str(packages / "out")], kwargs={"resolution": ["360p"], "publish_early": "false"})
    with pytest.raises(TypeError, match="publish_early must be True or False, not str"):
        applied.get()
    assert list(packages.iterdir()) == [] and sorted(key_dir.iterdir()) == keys_before


@pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server")
def test_a_result_kept_past_its_apps_end_lets_go_without_reaching_for_its_redis(tmp_path, monkeypatch):
    ignored = []
    monkeypatch.setattr(sys, "unraisablehook", ignored.append)
    with redis_server(tmp_path) as redis, celery_app(redis.url) as app:
        kept = app.send_task("kestrava_jobs.package_video", args=["/nowhere", "/nowhere"])  # no worker takes it
    started = time.monotonic()
    del kept
    assert (ignored, time.monotonic() - started < 1) == ([], True)


@pytest.mark.parametrize("name", ["missing.mp4", "line\nbreak.mp4"])
def test_an_error_line_keeps_the_path_as_given(tmp_path, name):
    source = tmp_path / "two  spaces" / name
    run = subprocess.run([sys.executable, "-m", "kestrava_jobs", str(source), str(tmp_path / "out")],
                         capture_output=True, text=True, timeout=60)
    shown = str(source).replace("\n", " ")  # the line stays one line; the rest is as given
    assert run.returncode != 0 and re.fullmatch(f"{re.escape(shown)}: [^\n]+\n", run.stderr), run.stderr


def test_settings_are_read_when_used(tmp_path, monkeypatch):
    for name in ("a", "b"):
        monkeypatch.setenv("KESTRAVA_KEY_DIR", str(tmp_path / name))
        assert ready_key_dir(None) == tmp_path / name
    monkeypatch.setenv("KESTRAVA_BROKER_URL", "redis://127.0.0.1:9/3")
    monkeypatch.setenv("KESTRAVA_VISIBILITY_TIMEOUT", "60")
    app = make_app()
    try:
        assert (app.conf.broker_url, app.conf.broker_transport_options) == ("redis://127.0.0.1:9/3",
                                                                            {"visibility_timeout": 60})
    finally:
        app.close()
    # A worker's setting that a job on one machine never reads cannot stop it.
    monkeypatch.setenv("KESTRAVA_VISIBILITY_TIMEOUT", "12h")
    assert ready_key_dir(None) == tmp_path / "b"


def test_ffmpeg_words_name_components_without_their_addresses():
    line = "[vost#0:0/libx264 @ 0x55d1c0] [enc:libx264 @ 0x55d2a0] Error while opening encoder"
    assert cause(f"frame I:1 Avg QP:20\n{line}\n") == "[vost#0:0/libx264] [enc:libx264] Error while opening encoder"


@pytest.mark.parametrize("location", ["gs://bucket/v", "HTTP://host/v", "ftp://host/v"])
def test_a_location_in_a_store_no_package_is_written_to_is_refused_before_any_file(tmp_path, media_dir, monkeypatch,
                                                                                 location):
    source = make_source(media_dir / "guards_1s.mp4", seconds=1)
    scheme = location.split(":")[0].lower()
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=f"^{location}: packages cannot be written to {scheme}:// locations"):
        package_video(source, location)
    run = subprocess.run([sys.executable, "-m", "kestrava_jobs", str(source), location], capture_output=True, text=True)
    assert (run.returncode, run.stderr.count("\n"), f"{scheme}://" in run.stderr) == (2, 1, True), run.stderr
    monkeypatch.setenv("KESTRAVA_SOURCE_ROOTS", str(media_dir))
    with pytest.raises(ValueError, match=f"{scheme}:// locations"):
        confine(str(source), location, {})
    assert list(tmp_path.iterdir()) == [], "nothing named s3: is made"
