"""The Celery task on a real Redis and a real prefork worker, both started here."""

import os
import pathlib
import shutil
import signal
import tempfile
import time

import pytest

from cluster import celery_app, celery_workers, redis_server
from helpers import job_children, needs_unsanitized_module, running
from media import ffprobe, make_source, wait_for

VISIBILITY_SECONDS = 6

pytestmark = [
    pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server"),
    needs_unsanitized_module,
]


@pytest.fixture(scope="module")
def redis(tmp_path_factory):
    """A real Redis on a free port, with every write on disk, and a way to restart it
    on the same port as a broker's machine does."""
    with redis_server(tmp_path_factory.mktemp("redis"), durable=True) as server:
        yield server


@pytest.fixture(scope="module")
def app(redis, tmp_path_factory):
    """A worker of two prefork processes, and the app the tests submit with. Redis hands
    an unacknowledged job out again after a few seconds, so that redeliveries happen."""
    root = str(tmp_path_factory.getbasetemp())
    env = {"KESTRAVA_BROKER_URL": redis.url, "KESTRAVA_SOURCE_ROOTS": root, "KESTRAVA_OUTPUT_ROOT": root,
           "KESTRAVA_VISIBILITY_TIMEOUT": str(VISIBILITY_SECONDS)}
    with celery_workers(["w"], env, tmp_path_factory.mktemp("worker"), concurrency=2) as logs, \
            celery_app(redis.url) as submitting:
        submitting.worker, submitting.worker_log = logs["w"].process, logs["w"].log
        yield submitting


@pytest.fixture(scope="module")
def hd_4s_source(media_dir) -> pathlib.Path:
    """Long enough at 1080p that the job is far from done when its worker is killed."""
    return make_source(media_dir / "celery_1280x720.mp4", seconds=4, size="1280x720")


@pytest.fixture(scope="module")
def long_source(media_dir) -> pathlib.Path:
    """Three segments at 360p: the job goes on for seconds after its first one is on disk."""
    return make_source(media_dir / "celery_18s_640x360.mp4", seconds=18, size="640x360", rate=15)


def test_task_returns_the_checked_result(app, tmp_path, hd_4s_source):
    result = app.send_task("kestrava_jobs.package_video", args=[str(hd_4s_source), str(tmp_path / "out")],
                           kwargs={"resolution": ["360p"]}).get(timeout=120)
    assert (result["complete"], result["failed"]) == (["360p"], [])
    assert result["renditions"]["360p"]["segments"] == 1


def test_killed_worker_process_leaves_no_orphan_and_the_job_is_redone(app, tmp_path, hd_4s_source):
    out = tmp_path / "out"
    pending = app.send_task("kestrava_jobs.package_video", args=[str(hd_4s_source), str(out)],
                            kwargs={"resolution": ["1080p", "720p"]})
    # Mid-job: the child works in the folder and the muxer has opened its files.
    child = wait_for(lambda: job_children(out) if any(out.glob("*.ts")) else None, 60, "the job's child")[0]
    pool_process = int(pathlib.Path(f"/proc/{child}/stat").read_text().rsplit(")", 1)[1].split()[1])
    os.kill(pool_process, signal.SIGKILL)
    wait_for(lambda: not running(child), 1, "the orphaned child to die")

    result = pending.get(timeout=180)
    assert (result["complete"], result["failed"]) == (["1080p", "720p"], [])
    # The retry started from an empty folder: nothing is left of the first attempt.
    listed = {line for name in ("1080p", "720p") for line in (out / f"{name}.m3u8").read_text().splitlines()
              if line.endswith(".ts")}
    assert {p.name for p in out.glob("*.ts")} == listed


def packaging_runs(worker_log: pathlib.Path, out: pathlib.Path) -> int:
    return worker_log.read_text().count(f"into {out}:")


def test_a_duplicate_delivery_while_the_job_runs_harms_nothing(app, tmp_path, hd_4s_source):
    out = tmp_path / "out"
    task = dict(args=[str(hd_4s_source), str(out)], kwargs={"resolution": ["1080p", "720p"]})
    first = app.send_task("kestrava_jobs.package_video", **task)
    wait_for(lambda: job_children(out), 60, "the first delivery's child")
    app.send_task("kestrava_jobs.package_video", task_id=first.id, **task)
    result = first.get(timeout=180)
    assert (result["complete"], first.state) == (["1080p", "720p"], "SUCCESS")
    time.sleep(2)  # the duplicate has been dropped, not stored
    assert app.AsyncResult(first.id).state == "SUCCESS"
    assert packaging_runs(app.worker_log, out) == 1


def test_a_broker_restart_while_progress_is_reported_completes_the_job_once(app, redis, tmp_path, long_source):
    out = tmp_path / "out"
    pending = app.send_task("kestrava_jobs.package_video", args=[str(long_source), str(out)],
                            kwargs={"resolution": ["360p"]})
    wait_for(lambda: (out / "360p.m3u8").exists(), 60, "the first segment")
    seconds = float(ffprobe("-show_entries", "format=duration", str(long_source))["format"]["duration"])
    assert pending.state == "PROGRESS"
    assert pending.info["total"] == seconds
    # Redis stays down while the job reports its progress and ends, and comes back after.
    redis.restart(pause=1.5, until=lambda: f"{out} is packaged" in app.worker_log.read_text())
    result = pending.get(timeout=120)
    assert (result["complete"], pending.state) == (["360p"], "SUCCESS")
    assert app.worker.poll() is None, "the worker must live through the broker's restart"
    # An acknowledgement that died with the broker's connection brings the job again: it
    # finds its package complete and is acknowledged without encoding again.
    wait_for(lambda: redis.count("HLEN", "unacked") == 0 and redis.count("LLEN", "celery") == 0,
             VISIBILITY_SECONDS * 6, "every message to be acknowledged")
    assert packaging_runs(app.worker_log, out) == 1
    assert app.AsyncResult(pending.id).state == "SUCCESS"
    assert app.worker_log.read_text().count(f"{pending.id}]: progress not reported") == 1


@pytest.fixture(scope="module")
def source_elsewhere(hd_4s_source):
    """A source outside every folder the deployment names."""
    with tempfile.TemporaryDirectory(prefix="kestrava-elsewhere-") as folder:
        yield shutil.copy(hd_4s_source, folder)


@pytest.mark.parametrize("args, kwargs, named", [
    (["/etc/hostname", "{out}"], {}, "/etc/hostname"),               # a source outside the roots
    (["{link}", "{out}"], {}, "{link}"),                              # a link under the roots to one outside
    (["{source}", "/tmp/kestrava-elsewhere/out"], {}, "/tmp/kestrava-elsewhere/out"),  # a folder outside
    (["{source}", "{root}"], {}, "{root}"),                           # the output root itself
    (["concat:{source}|{source}", "{out}"], {}, "URL sources"),      # an FFmpeg protocol
    (["http://127.0.0.1:9/x.mp4", "{out}"], {}, "URL sources"),      # URLs are not allowed here
    (["{source}", "{out}"], {"key_info": "/etc/hostname"}, "/etc/hostname"),  # a key info file outside
    (["{source}", "{out}"], {"key_dir": "/tmp"}, "key_dir"),         # the worker's own settings
])
def test_messages_are_held_to_the_deployments_folders(app, tmp_path, tmp_path_factory, hd_4s_source, source_elsewhere,
                                                      args, kwargs, named):
    root = tmp_path_factory.getbasetemp()
    uploads = tmp_path / "uploads"
    uploads.mkdir()
    (uploads / "link.mp4").symlink_to(source_elsewhere)
    fill = {"source": str(hd_4s_source), "out": str(tmp_path / "out"), "link": str(uploads / "link.mp4"),
            "root": str(root)}
    pending = app.send_task("kestrava_jobs.package_video", args=[a.format(**fill) for a in args],
                            kwargs={"resolution": ["360p"], **kwargs})
    with pytest.raises(Exception) as raised:
        pending.get(timeout=60)
    assert type(raised.value).__name__ == "ValueError"
    assert named.format(**fill) in str(raised.value)
    assert list(tmp_path.iterdir()) == [uploads]
    assert list(root.parent.glob(f"{root.name}.*")) == []
    assert not pathlib.Path("/tmp/kestrava-elsewhere").exists()
