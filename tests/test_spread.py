"""One job spread over two real Celery workers (a@, b@, one process each) on a real Redis:
each rendition a task of its own, the package checked and finished from storage."""

import json
import os
import pathlib
import shutil
import signal
import types
from collections.abc import Callable

import pytest

from cluster import celery_app, celery_workers, consume, redis_server
from helpers import end_of, job_children_under, needs_unsanitized_module
from media import make_source, segment_durations, wait_for

from kestrava_jobs import PackageBusy, PackageError, PackageTimeout, package_video
from kestrava_jobs.cluster import rendition_record
from kestrava_jobs.cluster.reports import progress_backend
from kestrava_jobs.cluster.spread import finish
from kestrava_jobs.cluster.spread_job import SpreadJob
from kestrava_jobs.cluster.spread_tasks import RENDITION_TASK, report
from kestrava_jobs.hls import check
from kestrava_jobs.job.progress import progress_record
from kestrava_jobs.storage.folder import JobFolder
from kestrava_jobs.storage.keys import key_name
from kestrava_jobs.storage.names import MASTER_STEP, PICTURES_STEP, staging_lock, staging_record
from kestrava_jobs.storage.own_files import lock_folder, read_own
from kestrava_jobs.storage.staging import FolderStaging

PICTURES = ("poster.jpg", "storyboard_0.jpg", "storyboard.vtt")
# A queue of the test's own, that only worker a serves.
START = "spread-start"

pytestmark = [
    pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server"),
    needs_unsanitized_module,
]


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """Redis, and two named workers with working folders of their own; sources, packages
    and keys on storage both see."""
    root = tmp_path_factory.mktemp("shared")
    with redis_server(root) as redis:
        env = {"KESTRAVA_BROKER_URL": redis.url, "KESTRAVA_SOURCE_ROOTS": str(root),
               "KESTRAVA_OUTPUT_ROOT": str(root), "KESTRAVA_KEY_DIR": str(root / "keys")}
        with celery_workers(["a", "b"], env, tmp_path_factory.mktemp("workers")) as workers, \
                celery_app(redis.url) as app:
            yield types.SimpleNamespace(app=app, root=root, redis=redis,
                                        logs={name: worker.log for name, worker in workers.items()},
                                        nodes={name: worker.node for name, worker in workers.items()})


@pytest.fixture(scope="module")
def source(cluster) -> pathlib.Path:
    """720p and 360p from it: the larger takes about twice as long as the smaller."""
    return make_source(cluster.root / "spread_1280x720.mp4", seconds=3, size="1280x720")


@pytest.fixture(scope="module")
def longer(cluster) -> pathlib.Path:
    """A 720p that no machine makes before a test can see it at work (or reach its time-out)."""
    return make_source(cluster.root / "spread_10s.mp4", seconds=10, size="1280x720")


def submit(cluster, source, out, **options):
    return cluster.app.send_task("kestrava_jobs.package_spread", args=[str(source), str(out)],
                                 kwargs={"resolution": ["720p", "360p"], **options})


@pytest.fixture(scope="module")
def alone(cluster, source, tmp_path_factory):
    """The same renditions of the same source, made by package_video on one machine."""
    return package_video(source, tmp_path_factory.mktemp("alone") / "package", resolution=["720p", "360p"])


def made_in(staging: pathlib.Path) -> list[str]:
    """The steps of a job with three renditions that have recorded what they made in its
    staging area, in the order they are queued with early publishing."""
    found = []
    for step in (PICTURES_STEP, "360p", "720p", "480p"):
        try:
            if json.loads(read_own(staging / staging_record(step)) or "{}"):
                found.append(step)
        except ValueError:  # being written
            pass
    return found


def test_spread_package_is_made_by_both_workers_and_matches_package_video(cluster, source, alone):
    """Which worker makes what is left to no scheduler: the test hands the steps out. The
    job starts from a queue of its own while no worker takes the job's steps; then, while
    the test holds the master's lock, each worker takes one step, as queued, and cannot end
    it; only the worker that made the pictures takes the rest."""
    out = cluster.root / "spread"
    staging = JobFolder(out).state.staging
    seen, reported, masters = [], [], []

    def watch() -> None:
        if (out / "master.m3u8").is_file():
            masters.append((out / "master.m3u8").read_text())
            listed = [line for line in masters[-1].splitlines() if line.endswith(".m3u8")]
            seen.append((listed, sorted(p.name for p in out.glob("*.m3u8"))))
        state = cluster.app.backend.get_task_meta(pending.id)  # status and meta read together
        if state["status"] == "PROGRESS":
            reported.append(state["result"])

    def until(condition, what: str):
        return wait_for(lambda: watch() or condition(), 120, what)

    both, queue = list(cluster.nodes.values()), cluster.app.conf.task_default_queue  # the job's queue
    consume(cluster.app, queue, both, on=False)
    try:
        # No worker waits on the job's queue from before: none takes a step until told to.
        wait_for(lambda: cluster.redis.waiting() == 0, 30, "the workers to stop waiting for tasks")
        consume(cluster.app, START, [cluster.nodes["a"]])
        # Three renditions on two workers: queued as asked, 480p would be the first one playable.
        pending = cluster.app.send_task("kestrava_jobs.package_spread", args=[str(source), str(out)], queue=START,
                                        kwargs={"resolution": ["720p", "480p", "360p"], "publish_early": True})
        until(staging.is_dir, "the job's staging area")
        lock = lock_folder(staging / staging_lock(MASTER_STEP))
        try:
            consume(cluster.app, queue, both)
            # Each worker holds one step, and takes no other: the step waits for the lock to publish.
            until(lambda: len(made_in(staging)) >= 2, "two steps made")
            assert made_in(staging) == [PICTURES_STEP, "360p"]  # as queued
            first = rendition_record.made(FolderStaging(staging), "360p").worker
            consume(cluster.app, queue, both, on=False)
        finally:
            os.close(lock)
        until(lambda: masters, "the first master")
        consume(cluster.app, queue, [node for node in both if node != first])
        until(pending.ready, "the job's end")
    finally:
        consume(cluster.app, queue, both)
        consume(cluster.app, START, [cluster.nodes["a"]], on=False)
    result = pending.get(timeout=10)
    # Progress over both renditions, under the submitted id, only forward.
    assert [meta["done"] for meta in reported] == sorted(meta["done"] for meta in reported)
    assert reported[-1]["total"] == pytest.approx(3, abs=0.1) and reported[-1]["done"] > 0
    assert [meta["playable"] for meta in reported if meta["playable"]][0] == ["360p"]
    assert (result["complete"], result["failed"]) == (["720p", "480p", "360p"], [])
    assert {rendition["worker"].split("@")[0] for rendition in result["renditions"].values()} == {"a", "b"}
    # Published early: the master listed one rendition, complete, while the other was still being made.
    assert (["360p.m3u8"], ["360p.m3u8", "master.m3u8"]) in seen
    # The pictures' step, queued ahead of the renditions, put the poster in before the first master.
    assert '#EXT-X-SESSION-DATA:DATA-ID="com.kestrava.poster",URI="poster.jpg"' in masters[0]
    assert "poster.jpg" in next(meta["pictures"] for meta in reported if meta["playable"])
    assert ["poster.jpg", "storyboard.vtt"] in [meta["pictures"] for meta in reported]
    assert (result["pictures"]["poster"], result["pictures"]["tiles"]) == (str(out / "poster.jpg"), 3)
    for name in PICTURES:  # the same pictures as one machine makes
        assert (out / name).read_bytes() == (pathlib.Path(alone.out_dir) / name).read_bytes()
    assert pending.info is not None and sorted(p.name for p in cluster.root.glob("spread.*")) == [
        "spread.done.json", "spread.lock", "spread.log"]

    # The whole job delivered again after it finished: its recorded result, nothing made again.
    again = cluster.app.send_task("kestrava_jobs.package_spread", args=[str(source), str(out)],
                                  kwargs={"resolution": ["720p", "480p", "360p"], "publish_early": True},
                                  task_id=pending.id)
    wait_for(lambda: sum(f"package_spread[{again.id}] succeeded".encode() in log.read_bytes()
                         for log in cluster.logs.values()), 20, "the job delivered again")
    assert sum(log.read_bytes().count(b"package_rendition[") for log in cluster.logs.values()) == 6
    assert sum(log.read_bytes().count(b"package_pictures[") for log in cluster.logs.values()) == 2  # got, done
    for name in alone.complete:
        assert segment_durations(out / f"{name}.m3u8") == segment_durations(pathlib.Path(alone.out_dir) / f"{name}.m3u8")


def test_a_duplicate_is_ignored_and_a_killed_rendition_is_made_again_once(cluster, longer):
    """One rendition and no pictures: one worker makes it, the other is free for a copy of its task."""
    out = cluster.root / "faults"
    pending = submit(cluster, longer, out, resolution=["720p"], poster=False, storyboard=False)
    child, pool_process = wait_for(lambda: job_children_under(cluster.root / "faults.staging"), 30, "a rendition")[0]
    active = wait_for(lambda: [task for tasks in (cluster.app.control.inspect(timeout=1).active() or {}).values()
                               for task in tasks if task["name"] == "kestrava_jobs.package_rendition"], 10, "the task")
    copy = cluster.app.send_task("kestrava_jobs.package_rendition", args=active[0]["args"], task_id=active[0]["id"])
    wait_for(lambda: any(f"package_rendition[{copy.id}] ignored".encode() in log.read_bytes()
                         for log in cluster.logs.values()), 20, "the copy to end")
    assert job_children_under(cluster.root / "faults.staging") == [(child, pool_process)]
    os.kill(pool_process, signal.SIGKILL)
    result = pending.get(timeout=60)
    assert (result["complete"], result["failed"]) == (["720p"], [])
    listed = {f"720p_{n:03d}.ts" for n in range(result["renditions"]["720p"]["segments"])}
    assert sorted(p.name for p in out.iterdir()) == sorted({"master.m3u8", "720p.m3u8", *listed})
    assert not (cluster.root / "faults.staging").exists()


def test_a_second_job_is_busy_and_the_time_out_leaves_the_folder_as_found(cluster, source, longer):

    out = cluster.root / "late"
    first = submit(cluster, longer, out, resolution=["720p"], timeout=1.5, poster=False, storyboard=False)
    # One rendition and no pictures: the other worker is free to take the second job at once.
    wait_for(lambda: (cluster.root / "late.staging").is_dir(), 10, "the first job to start")
    with pytest.raises(PackageBusy):
        submit(cluster, source, out).get(timeout=10)
    with pytest.raises(PackageBusy, match="spread over the workers"):
        package_video(source, out, resolution=["360p"])
    with pytest.raises(PackageTimeout, match="time-out of 1.5 s"):
        first.get(timeout=30)
    assert list(out.iterdir()) == [] and not (cluster.root / "late.staging").exists()
    assert not list((cluster.root / "keys").glob(key_name(out) + ".*"))



@pytest.fixture
def ended(alone, tmp_path) -> Callable[..., SpreadJob]:
    """The last step on the 720p and 360p of `alone`, under its key."""
    return end_of(alone, pathlib.Path(alone.key_file).with_suffix(".keyinfo"), tmp_path)


def test_the_end_keeps_what_is_complete_beside_a_rendition_failed_for_good(alone, ended):

    result = finish(ended({"720p": alone.out_dir}, {"360p": "its playlist is unfinished"}))
    assert (result.complete, result.failed, result.reasons) == (["720p"], ["360p"],
                                                                {"360p": "its playlist is unfinished"})


def test_the_end_checks_again_only_a_rendition_that_changed_after_its_check(alone, ended, monkeypatch):

    changed = ended({"720p": alone.out_dir, "360p": alone.out_dir}, {}, recorded=["720p", "360p"])
    with (changed.folder.path / "720p_000.ts").open("r+b") as segment:
        segment.truncate(segment.seek(0, os.SEEK_END) - 16)
    checked_again, check_rendition = [], check.check_rendition
    monkeypatch.setattr(check, "check_rendition",
                        lambda files, name, *rest: checked_again.append(name) or check_rendition(files, name, *rest))
    result = finish(changed)
    assert (result.complete, checked_again, result.renditions["360p"]) == (["360p"], ["720p"], alone.renditions["360p"])
    assert result.reasons["720p"].startswith("720p_000.ts does not decrypt under the job's key")


def test_the_end_fails_renditions_of_differing_lengths_and_leaves_the_folder_as_found(cluster, alone, ended,
                                                                                         tmp_path):
    """A 360p made from a shorter source beside the 720p, under the same key."""

    shorter = package_video(make_source(cluster.root / "spread_2s.mp4", seconds=2, size="640x360"),
                            tmp_path / "shorter", resolution=["360p"],
                            key_info=pathlib.Path(alone.key_file).with_suffix(".keyinfo"))
    disagreeing = ended({"720p": alone.out_dir, "360p": shorter.out_dir}, {})
    with pytest.raises(PackageError, match="renditions 720p and 360p disagree: segment 0 lasts 3.000 s against 2.000 s"):
        finish(disagreeing)
    assert list(disagreeing.folder.path.iterdir()) == [] and not disagreeing.folder.state.staging.exists()


def test_the_end_fails_a_rendition_one_segment_longer(alone, ended):

    # Complete, but one segment longer: 360p lists its segment twice.
    longer = ended({"720p": alone.out_dir, "360p": alone.out_dir}, {})
    playlist = longer.folder.path / "360p.m3u8"
    playlist.write_text(playlist.read_text().replace("#EXT-X-ENDLIST", "#EXTINF:3.000000,\n360p_000.ts\n#EXT-X-ENDLIST"))
    with pytest.raises(PackageError, match="renditions 720p and 360p disagree: 1 segments against 2"):
        finish(longer)


def test_the_end_fails_a_rendition_under_another_key(alone, ended):

    other_key = ended({"720p": alone.out_dir, "360p": alone.out_dir}, {})
    playlist = other_key.folder.path / "360p.m3u8"
    playlist.write_text(playlist.read_text().replace('URI="enc.key"', 'URI="other.key"'))
    with pytest.raises(PackageError, match=r"360p names the keys \['other.key'\], not the job's enc.key"):
        finish(other_key)


def test_progress_never_goes_back_nor_over_a_final_state(cluster, tmp_path):
    """A report made while a rendition moves into the package finds it nowhere: it reads 0 s."""

    folder = JobFolder(tmp_path / "out")
    folder.state.staging.mkdir(parents=True)
    job = SpreadJob(job_id="progress-job", source="upload.mp4", folder=folder, names=["360p"], rates=[400_000],
                    key_name="0" * 32, key_uri="enc.key", timeout=None, deadline_at=None,
                    publish="renditions", total=3.0)
    before = progress_record(2.0, 3.0, ["360p"])
    progress_backend(cluster.app).store_result(job.job_id, before, "PROGRESS")
    report(cluster.app, job)
    assert (cluster.app.AsyncResult(job.job_id).state, cluster.app.AsyncResult(job.job_id).info) == ("PROGRESS", before)
    progress_backend(cluster.app).mark_as_failure(job.job_id, ValueError("refused"))  # Celery itself keeps a SUCCESS
    report(cluster.app, job)
    assert cluster.app.AsyncResult(job.job_id).state == "FAILURE"


@pytest.mark.parametrize("task, args, words", [
    ("kestrava_jobs.package_spread", ["/etc/hostname", "{root}/out"], "not under KESTRAVA_SOURCE_ROOTS"),
    ("kestrava_jobs.package_spread", ["{root}/spread_1280x720.mp4", "{root}/out"], "may not give"),
    # A rendition of a job that holds no folder: anyone who reaches the broker could send it.
    ("kestrava_jobs.package_rendition", [{"job_id": "forged", "source": "{root}/spread_1280x720.mp4",
                                          "out_dir": "{root}/out", "names": ["360p"], "rates": [400000],
                                          "key_name": "0" * 32, "key_uri": "enc.key",
                                          "timeout": None, "deadline_at": None, "publish": "end",
                                          "total": None, "poster": True, "storyboard": True}, "360p"], "not a package job forged holds"),
])
def test_bad_messages_are_refused_and_write_nothing(cluster, source, task, args, words):
    filled = json.loads(json.dumps(args).replace("{root}", str(cluster.root)))
    options = {"key_dir": "/tmp"} if "may not" in words else {}
    with pytest.raises((ValueError, TypeError), match=words):
        cluster.app.send_task(task, args=filled, kwargs=options).get(timeout=10)
    assert not list(cluster.root.glob("out*"))


def test_a_rendition_that_fails_three_times_is_a_failure_of_its_own(cluster, source, monkeypatch, caplog):
    """A directory planted where the rendition's log goes: each attempt is refused, and the
    third ends the task with the reason instead of failing the job's other renditions."""

    for variable in ("KESTRAVA_SOURCE_ROOTS", "KESTRAVA_OUTPUT_ROOT"):
        monkeypatch.setenv(variable, str(cluster.root))
    monkeypatch.setenv("KESTRAVA_KEY_DIR", str(cluster.root / "keys"))
    folder = JobFolder(cluster.root / "planted")
    for made in (folder.path, folder.state.staging / "360p.log"):
        made.mkdir(parents=True)
    folder.state.lock.write_text("job")
    key_info = cluster.root / "keys" / f"{key_name(folder.location)}.keyinfo"
    key_info.parent.mkdir(exist_ok=True)
    (cluster.root / "keys" / "planted.key").write_bytes(bytes(16))
    key_info.write_text(f"enc.key\n{cluster.root / 'keys' / 'planted.key'}\n")
    job = SpreadJob(job_id="job", source=str(source), folder=folder, names=["720p", "360p"],
                    rates=[2_500_000, 400_000], key_name=key_name(folder.location), key_uri="enc.key", timeout=None,
                    deadline_at=None, publish="end", total=3.0)
    outcome = cluster.app.tasks[RENDITION_TASK].apply(args=[job.message(), "360p"]).get()
    assert outcome == {"name": "360p", "failed": f"{folder.state.staging / '360p.log'}: not a file this job made; "
                                                 "refusing to use it"}
    assert [r.getMessage() for r in caplog.records].count(
        f"360p of job job: {outcome['failed']}; making it again") == 2
    assert json.loads((folder.state.staging / "360p.json").read_text()) == {"failed": outcome["failed"]}
