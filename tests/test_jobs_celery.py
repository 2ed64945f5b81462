"""The Celery task on a real Redis and a real prefork worker, both started here."""

import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys

import pytest

from test_jobs import job_children, running
from media import free_port, make_source, server_process, wait_for

pytestmark = [
    pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server"),
    pytest.mark.skipif(os.environ.get("KESTRAVA_SANITIZED") == "1",
                       reason="the job's child loads the module without the sanitizer runtime"),
]


@pytest.fixture(scope="module")
def broker_url(tmp_path_factory):
    port = free_port()
    folder = tmp_path_factory.mktemp("redis")

    def answers():
        with socket.create_connection(("127.0.0.1", port), timeout=0.2) as connection:
            connection.sendall(b"PING\r\n")
            return connection.recv(16).startswith(b"+PONG")

    with server_process(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                         "--appendonly", "no", "--dir", str(folder)], lambda: _quietly(answers), "redis-server"):
        yield f"redis://127.0.0.1:{port}/0"


def _quietly(probe):
    try:
        return probe()
    except OSError:
        return False


@pytest.fixture(scope="module")
def app(broker_url, tmp_path_factory):
    """A worker of one prefork process, and the app the tests submit with."""
    env = {**os.environ, "KESTRAVA_BROKER_URL": broker_url}
    log = tmp_path_factory.mktemp("worker") / "worker.log"
    with log.open("wb") as output:
        worker = subprocess.Popen([sys.executable, "-m", "celery", "-A", "kestrava_jobs.celery_app:app", "worker",
                                   "--pool", "prefork", "--concurrency", "1", "--without-gossip",
                                   "--without-mingle", "--loglevel", "INFO"],
                                  env=env, stdout=output, stderr=subprocess.STDOUT)
    os.environ["KESTRAVA_BROKER_URL"] = broker_url
    sys.modules.pop("kestrava_jobs.celery_app", None)
    from kestrava_jobs.celery_app import app as celery_app
    try:
        wait_for(lambda: b"ready." in log.read_bytes(), 60, "the Celery worker")
        yield celery_app
    finally:
        worker.terminate()
        worker.wait(timeout=30)
        print(log.read_text()[-3000:])


@pytest.fixture(scope="module")
def hd_source(media_dir) -> pathlib.Path:
    """Long enough at 1080p that the job is far from done when its worker is killed."""
    return make_source(media_dir / "celery_1280x720.mp4", seconds=4, size="1280x720")


def test_task_returns_the_checked_result(app, tmp_path, hd_source):
    result = app.send_task("kestrava_jobs.package_video", args=[str(hd_source), str(tmp_path / "out")],
                           kwargs={"resolution": ["360p"]}).get(timeout=120)
    assert (result["complete"], result["failed"]) == (["360p"], [])
    assert result["renditions"]["360p"]["segments"] == 1


def test_killed_worker_process_leaves_no_orphan_and_the_job_is_redone(app, tmp_path, hd_source):
    out = tmp_path / "out"
    pending = app.send_task("kestrava_jobs.package_video", args=[str(hd_source), str(out)],
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
    assert not (tmp_path / "out.task").exists()
