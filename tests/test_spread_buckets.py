"""One job spread over workers that share nothing but Redis and the buckets: each has its
own scratch and key folders; the source, the package and the key store are buckets of a
real S3 server (SeaweedFS)."""

import contextlib
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import time
import types

import m3u8
import pytest
from cluster import celery_app, celery_workers, redis_server
from helpers import job_children_under, needs_unsanitized_module
from media import make_source, wait_for

from kestrava_jobs import PackageBusy, PackageError
from kestrava_jobs.storage.key_store import store_in_bucket
from kestrava_jobs.storage.redis_staging import RedisStaging

pytestmark = [
    pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server"),
    needs_unsanitized_module,
]


@pytest.fixture(scope="module")
def apart(s3, tmp_path_factory, media_dir):
    """Two workers, each with folders of its own, whose locks and claims lapse within a
    few seconds of their holder's end; an uploads bucket, a media bucket and a key store."""
    root = tmp_path_factory.mktemp("apart")
    uploads, media, keys = s3.new_bucket(), s3.new_bucket(), s3.new_bucket()
    with contextlib.closing(s3.client()) as client:
        sources = (("upload", 3, "1280x720", "testsrc2"), ("longer", 6, "1280x720", "testsrc2"),
                   ("grows", 13, "854x480", "testsrc"))
        for name, seconds, size, picture in sources:
            source = make_source(media_dir / f"apart_{seconds}s_{size}.mp4", seconds=seconds, size=size,
                                 picture=picture)
            client.put_object(Bucket=uploads, Key=f"in/{name}.mp4", Body=source.read_bytes())
    with redis_server(root) as redis:
        env = {**s3.environment(), "KESTRAVA_BROKER_URL": redis.url, "KESTRAVA_SOURCE_ROOTS": f"s3://{uploads}/in",
               "KESTRAVA_OUTPUT_ROOT": f"s3://{media}/packages", "KESTRAVA_KEY_STORE": f"s3://{keys}/store",
               "KESTRAVA_CLAIM_LEASE": "4"}
        (root / "workers").mkdir()
        with celery_workers(["a", "b"], env, root / "workers", own_scratch=True) as workers, \
                celery_app(redis.url) as app:
            yield types.SimpleNamespace(app=app, root=root, uploads=uploads, media=media, keys=keys, redis=redis,
                                        homes={name: worker.log.parent for name, worker in workers.items()})


def files_under(root: pathlib.Path) -> set[str]:
    """Every file under the test's root but the workers' logs and the servers' own."""
    return {str(path.relative_to(root)) for path in root.rglob("*") if path.is_file()
            and path.name not in ("worker.log", "dump.rdb")}


def everything_but_the_store(s3, apart) -> dict[str, bytes]:
    return {f"{bucket}/{key}": data for bucket in (apart.uploads, apart.media)
            for key, data in s3.objects(bucket).items()}


def test_a_job_over_workers_that_share_no_folder_leaves_its_key_only_in_the_store(s3, apart):
    before = files_under(apart.root)
    result = apart.app.send_task(
        "kestrava_jobs.package_spread", args=[f"s3://{apart.uploads}/in/upload.mp4", f"s3://{apart.media}/packages/a"],
        kwargs={"resolution": ["720p", "360p"], "publish_early": True}).get(timeout=120)
    assert result["complete"] == ["720p", "360p"] and result["failed"] == []
    assert result["master"] == f"s3://{apart.media}/packages/a/master.m3u8"
    assert {made["worker"].split("@")[0] for made in result["renditions"].values()} <= {"a", "b"}, \
        "each rendition as its task recorded it"
    stored = s3.objects(apart.keys)
    assert list(stored) == [f"store/{pathlib.PurePath(result['key_file']).name}"]
    key = bytes.fromhex(json.loads(next(iter(stored.values())))["key"])
    objects = everything_but_the_store(s3, apart)
    assert not any(key in data or key.hex().encode() in data for data in objects.values())
    packaged = sorted(name.removeprefix(f"{apart.media}/packages/a/") for name in objects
                      if name.startswith(f"{apart.media}/packages/a/"))
    assert packaged == ["360p.m3u8", "360p_000.ts", "720p.m3u8", "720p_000.ts", "master.m3u8", "poster.jpg",
                        "storyboard.vtt", "storyboard_0.jpg"]
    assert files_under(apart.root) == before, "nothing of the job outside the buckets, no copy left in scratch"


def test_a_job_that_runs_out_of_time_leaves_the_buckets_and_the_store_as_found(s3, apart):
    before, objects_before, keys_before = files_under(apart.root), everything_but_the_store(s3, apart), \
        s3.objects(apart.keys)
    with pytest.raises(PackageError):
        apart.app.send_task("kestrava_jobs.package_spread",
                            args=[f"s3://{apart.uploads}/in/upload.mp4", f"s3://{apart.media}/packages/late"],
                            kwargs={"resolution": ["720p", "360p"], "timeout": 1.5}).get(timeout=120)
    left = {name: data for name, data in everything_but_the_store(s3, apart).items() if name not in objects_before}
    assert set(left) <= {f"{apart.media}/packages/late.log"}, "at most the log stays, beside the package"
    assert s3.objects(apart.keys) == keys_before, "the job's key is removed from the store"
    assert files_under(apart.root) == before


def test_a_duplicate_is_ignored_and_a_killed_rendition_is_made_again_once(s3, apart):
    """One rendition and no pictures: one worker makes it, the other is free for a copy of
    its task; then the first worker's process is killed mid-rendition."""
    pending = apart.app.send_task(
        "kestrava_jobs.package_spread", args=[f"s3://{apart.uploads}/in/longer.mp4", f"s3://{apart.media}/packages/k"],
        kwargs={"resolution": ["720p"], "poster": False, "storyboard": False})
    scratch = [home / "scratch" for home in apart.homes.values()]
    child, pool_process = wait_for(lambda: [found for folder in scratch for found in job_children_under(folder)], 30,
                                   "a rendition")[0]
    active = wait_for(lambda: [task for tasks in (apart.app.control.inspect(timeout=1).active() or {}).values()
                               for task in tasks if task["name"] == "kestrava_jobs.package_rendition"], 10, "the task")
    copy = apart.app.send_task("kestrava_jobs.package_rendition", args=active[0]["args"], task_id=active[0]["id"])
    wait_for(lambda: any(f"package_rendition[{copy.id}] ignored".encode() in (home / "worker.log").read_bytes()
                         for home in apart.homes.values()), 30, "the copy to end")
    assert (child, pool_process) in [found for folder in scratch for found in job_children_under(folder)]
    os.kill(pool_process, signal.SIGKILL)
    result = pending.get(timeout=90)
    assert (result["complete"], result["failed"]) == (["720p"], [])
    listed = {f"720p_{n:03d}.ts" for n in range(result["renditions"]["720p"]["segments"])}
    assert sorted(key.removeprefix("packages/k/") for key in s3.objects(apart.media)
                  if key.startswith("packages/k/")) == sorted({"master.m3u8", "720p.m3u8", *listed})


def test_a_key_store_where_packages_are_served_from_is_refused(monkeypatch):
    monkeypatch.setenv("KESTRAVA_OUTPUT_ROOT", "s3://media/packages")
    for store, under in (("s3://media/packages/keys", "s3://media/packages"),
                         ("s3://media/packages/a/k", "s3://media/packages/a")):
        monkeypatch.setenv("KESTRAVA_KEY_STORE", store)
        with pytest.raises(ValueError, match=f"KESTRAVA_KEY_STORE={store} lies under {under}"):
            store_in_bucket("s3://media/packages/a" if under.endswith("/a") else "s3://other/v")
    monkeypatch.setenv("KESTRAVA_KEY_STORE", "s3://media/keys")
    assert str(store_in_bucket("s3://media/packages/a")) == "s3://media/keys"


def test_a_busy_package_and_a_forged_message_are_refused_and_write_nothing(s3, apart):
    out = f"s3://{apart.media}/packages/busy"
    first = apart.app.send_task("kestrava_jobs.package_spread", args=[f"s3://{apart.uploads}/in/longer.mp4", out],
                                kwargs={"resolution": ["720p"], "poster": False, "storyboard": False})
    wait_for(lambda: "packages/busy.lock" in s3.objects(apart.media), 30, "the first job's claim")
    with pytest.raises(PackageBusy):
        apart.app.send_task("kestrava_jobs.package_spread", args=[f"s3://{apart.uploads}/in/upload.mp4", out],
                            kwargs={"resolution": ["360p"]}).get(timeout=30)
    forged = {"job_id": "forged", "source": f"s3://{apart.uploads}/in/upload.mp4",
              "out_dir": f"s3://{apart.media}/packages/forged", "names": ["360p"], "rates": [400000],
              "key_name": "0" * 32, "key_uri": "enc.key", "timeout": None, "deadline_at": None,
              "publish": "end", "total": None, "poster": False, "storyboard": False}
    with pytest.raises(ValueError, match="not a package job forged holds"):
        apart.app.send_task("kestrava_jobs.package_rendition", args=[forged, "360p"]).get(timeout=30)
    with pytest.raises(ValueError, match="a key is named by 32 hexadecimal digits"):
        apart.app.send_task("kestrava_jobs.package_rendition", args=[{**forged, "key_name": "../../keys/x"},
                                                                     "360p"]).get(timeout=30)
    assert first.get(timeout=90)["complete"] == ["720p"]
    assert not any(key.startswith("packages/forged") for key in s3.objects(apart.media))


def test_a_step_lock_whose_process_died_on_this_machine_is_taken_at_once(apart, monkeypatch):
    """Its lease would hold it for half a minute more."""
    monkeypatch.setenv("KESTRAVA_BROKER_URL", apart.redis.url)
    monkeypatch.setenv("KESTRAVA_CLAIM_LEASE", "30")
    monkeypatch.setenv("KESTRAVA_SCRATCH", str(apart.root))
    gone = subprocess.Popen(["true"])
    gone.wait()
    staging = RedisStaging("lock-job")
    staging.client.set(staging.prefix + "360p.lock", f"{socket.gethostname()} {gone.pid} token", px=30_000)
    started = time.monotonic()
    with staging.holding("360p") as held:
        assert held and time.monotonic() - started < 2
    staging.end()


def test_the_smallest_renditions_task_publishes_it_as_it_grows_and_the_first_master_comes_from_it(s3, apart):
    """Every version the job put of the growing playlist and of the master, kept by the
    bucket's versioning."""
    with contextlib.closing(s3.client()) as client:
        client.put_bucket_versioning(Bucket=apart.media, VersioningConfiguration={"Status": "Enabled"})
        try:
            result = apart.app.send_task(
                "kestrava_jobs.package_spread", args=[f"s3://{apart.uploads}/in/grows.mp4",
                                                      f"s3://{apart.media}/packages/g"],
                kwargs={"resolution": ["480p", "360p"], "publish": "segments", "poster": False,
                        "storyboard": False}).get(timeout=120)
            versions = {name: [client.get_object(Bucket=apart.media, Key=f"packages/g/{name}",
                                                 VersionId=version["VersionId"])["Body"].read().decode()
                               for version in reversed(client.list_object_versions(  # listed newest first
                                   Bucket=apart.media, Prefix=f"packages/g/{name}")["Versions"])]
                        for name in ("360p.m3u8", "master.m3u8")}
        finally:
            client.put_bucket_versioning(Bucket=apart.media, VersioningConfiguration={"Status": "Suspended"})
    assert (result["complete"], result["failed"]) == (["480p", "360p"], [])
    growing = [m3u8.loads(text) for text in versions["360p.m3u8"]]
    listed = [[segment.uri for segment in playlist.segments] for playlist in growing]
    assert listed[0] == ["360p_000.ts"] and listed[-1] == ["360p_000.ts", "360p_001.ts", "360p_002.ts"]
    assert all(one == listed[-1][:len(one)] for one in listed) and len({p.target_duration for p in growing}) == 1
    assert [playlist.is_endlist for playlist in growing] == [False] * (len(growing) - 1) + [True]
    masters = [[playlist.uri for playlist in m3u8.loads(text).playlists] for text in versions["master.m3u8"]]
    assert masters[0] == ["360p.m3u8"] and masters[-1] == ["480p.m3u8", "360p.m3u8"]
    # At its first segment, at its end, as 480p joins, and the final one: the first while it grew.
    assert len(masters) >= 4, masters
