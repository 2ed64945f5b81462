"""One job spread over workers that share nothing but Redis and the buckets: each has its
own scratch and key folders; the source, the package and the key store are buckets of a
real S3 server (SeaweedFS)."""

import contextlib
import json
import pathlib
import shutil
import types

import pytest
from cluster import celery_app, celery_workers, redis_server
from helpers import needs_unsanitized_module
from media import make_source

from kestrava_jobs import PackageError

pytestmark = [
    pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server"),
    needs_unsanitized_module,
    pytest.mark.xdist_group("s3"),
]


@pytest.fixture(scope="module")
def apart(s3, tmp_path_factory):
    """Two workers, each with folders of its own; an uploads bucket, a media bucket and a
    key store."""
    root = tmp_path_factory.mktemp("apart")
    uploads, media, keys = s3.new_bucket(), s3.new_bucket(), s3.new_bucket()
    source = make_source(root / "upload.mp4", seconds=3, size="1280x720")
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=uploads, Key="in/upload.mp4", Body=source.read_bytes())
    source.unlink()
    with redis_server(root) as redis:
        env = {**s3.environment(), "KESTRAVA_BROKER_URL": redis.url, "KESTRAVA_SOURCE_ROOTS": f"s3://{uploads}/in",
               "KESTRAVA_OUTPUT_ROOT": f"s3://{media}/packages", "KESTRAVA_KEY_STORE": f"s3://{keys}/store"}
        (root / "workers").mkdir()
        with celery_workers(["a", "b"], env, root / "workers", own_scratch=True) as workers, \
                celery_app(redis.url) as app:
            yield types.SimpleNamespace(app=app, root=root, uploads=uploads, media=media, keys=keys,
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
