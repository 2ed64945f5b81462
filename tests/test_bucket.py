"""Packages and sources in a bucket of a real S3 server (SeaweedFS): what goes where and
how it is served, the key kept out, one job per package, a failure that leaves the bucket
as found, and the faults of a network in between (through a proxy before the server)."""

import contextlib
import functools
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import m3u8
import pytest
from boto3.s3.transfer import TransferConfig
from browser import opened
from helpers import needs_unsanitized_module
from media import make_source, wait_for

from kestrava_jobs import PackageBusy, PackageError, PackageTimeout, RenditionResult, package_video
from kestrava_jobs.cluster import rendition_record
from kestrava_jobs.cluster.confine import confine
from kestrava_jobs.storage import bucket as storage_bucket
from kestrava_jobs.common.deadline import Deadline
from kestrava_jobs.storage.bucket_source import write_bounded
from kestrava_jobs.storage.keys import key_name
from kestrava_jobs.storage.locations import package_at
from kestrava_jobs.storage.staging import FolderStaging

pytestmark = needs_unsanitized_module
SERVED = {".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t", ".vtt": "text/vtt", ".jpg": "image/jpeg"}
FOREVER = "public, max-age=31536000, immutable"


@pytest.fixture(scope="session")
def upload(media_dir) -> pathlib.Path:
    return make_source(media_dir / "bucket_3s.mp4", seconds=3, size="640x360")


@pytest.fixture
def aws(s3, monkeypatch, tmp_path) -> dict[str, str]:
    """The standard AWS variables naming the test server, and a scratch folder of the
    case's own, for this process and its children."""
    (tmp_path / "scratch").mkdir()
    variables = {**s3.environment(), "KESTRAVA_SCRATCH": str(tmp_path / "scratch")}
    for name, value in variables.items():
        monkeypatch.setenv(name, value)
    return variables


def served(s3, bucket: str, prefix: str) -> dict[str, tuple[str, str]]:
    """Each object under the prefix: what it is served as and how long it may be cached."""
    with contextlib.closing(s3.client()) as client:
        heads = {item["Key"]: client.head_object(Bucket=bucket, Key=item["Key"])
                 for item in client.list_objects_v2(Bucket=bucket, Prefix=prefix + "/").get("Contents", [])}
    return {key.removeprefix(prefix + "/"): (head["ContentType"], head.get("CacheControl", ""))
            for key, head in heads.items()}


def key_bytes(result_key_file: str) -> bytes:
    return pathlib.Path(result_key_file).read_bytes()


def test_a_package_in_a_bucket_holds_what_its_folder_twin_holds_served_as_players_need(
        s3, bucket, aws, upload, tmp_path):
    """The command into a bucket, its source in the bucket too: every object of the folder
    twin, each served as what it is; the key in no object; results by s3:// location."""
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="uploads/talk.mp4", Body=upload.read_bytes())
    run = subprocess.run([sys.executable, "-m", "kestrava_jobs", f"s3://{bucket}/uploads/talk.mp4",
                          f"s3://{bucket}/v/talk", "--resolution", "480p,360p", "--publish-early", "--json"],
                         capture_output=True, text=True, env={**os.environ, **aws}, timeout=120)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    twin = package_video(upload, tmp_path / "twin", resolution=["480p", "360p"])
    objects = served(s3, bucket, "v/talk")
    assert sorted(objects) == sorted(path.name for path in pathlib.Path(twin.out_dir).iterdir())
    for name, (kind, cache) in objects.items():
        assert kind == SERVED[pathlib.PurePath(name).suffix], name
        assert cache == ("public, max-age=60" if name == "master.m3u8" else FOREVER), name
    assert (result["master"], result["source"], result["log"]) == (
        f"s3://{bucket}/v/talk/master.m3u8", f"s3://{bucket}/uploads/talk.mp4", f"s3://{bucket}/v/talk.log")
    assert result["pictures"]["poster"] == f"s3://{bucket}/v/talk/poster.jpg"
    everything = s3.objects(bucket)
    assert not any(key_bytes(result["key_file"]) in data for data in everything.values())
    package = package_at(f"s3://{bucket}/v/talk")
    same = [re.sub(r",IV=0x[0-9a-f]+", "", text) for text in (  # each job's IV is its own
        package.read("480p.m3u8").decode(), (pathlib.Path(twin.out_dir) / "480p.m3u8").read_text())]
    assert same[0] == same[1]
    assert list((tmp_path / "scratch").iterdir()) == [], "the job's scratch folder and source copy are gone"


def test_a_cancelled_job_takes_out_all_it_put_and_nothing_beside_it(s3, bucket, aws, upload, key_dir):
    """Cancelled once its first master is out: the master, renditions and pictures go,
    the neighbours whose names begin as the package's stay, and so does the job's log."""
    with contextlib.closing(s3.client()) as client:
        for neighbour in ("v/talk2/360p.m3u8", "v/talk-old.ts", "v/talkative/master.m3u8"):
            client.put_object(Bucket=bucket, Key=neighbour, Body=b"someone else's")
    cancel, early = threading.Event(), []

    def first_master(name: str) -> None:
        early.append(served(s3, bucket, "v/talk")["master.m3u8"])
        cancel.set()
    with pytest.raises(PackageError, match="cancelled"):
        package_video(upload, f"s3://{bucket}/v/talk", resolution=["480p", "360p"], publish_early=True,
                      cancel=cancel, on_rendition=first_master)
    assert early == [(SERVED[".m3u8"], "no-cache")], "a master that may still change is not cached"
    left = s3.objects(bucket)
    assert sorted(left) == ["v/talk-old.ts", "v/talk.lock", "v/talk.log", "v/talk2/360p.m3u8",
                            "v/talkative/master.m3u8"]
    assert json.loads(left["v/talk.lock"])["ended"] is True
    assert list(key_dir.glob(f"{key_name(f's3://{bucket}/v/talk')}*")) == [], "the fresh key is removed"


def test_a_dead_attempt_is_taken_over_its_objects_and_uploads_cleaned_and_a_live_job_refused(
        s3, bucket, aws, upload, monkeypatch):
    """An attempt whose process is gone from this machine is dead at once; one on another
    machine once its lease runs out unrenewed; another job's live claim is refused."""
    gone = subprocess.Popen(["true"])
    gone.wait()
    claim = {"job_id": "job-7", "host": socket.gethostname(), "pid": gone.pid, "renewed": time.time(),
             "leased": True, "ended": False}
    monkeypatch.setenv("KESTRAVA_CLAIM_LEASE", "30")
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="v/talk.lock", Body=json.dumps(claim).encode())
        client.put_object(Bucket=bucket, Key="v/talk/1080p_000.ts", Body=b"half an attempt")
        client.create_multipart_upload(Bucket=bucket, Key="v/talk/1080p_001.ts")
        started = time.monotonic()
        result = package_video(upload, f"s3://{bucket}/v/talk", resolution=["360p"], job_id="job-7",
                               poster=False, storyboard=False)
        assert result.complete == ["360p"] and time.monotonic() - started < 15, "not waited out"
        assert sorted(s3.objects(bucket)) == ["v/talk.done.json", "v/talk.lock", "v/talk.log", "v/talk/360p.m3u8",
                                              "v/talk/360p_000.ts", "v/talk/master.m3u8"]
        assert client.list_multipart_uploads(Bucket=bucket).get("Uploads", []) == []
        client.put_object(Bucket=bucket, Key="v/other.lock", Body=json.dumps(
            {**claim, "job_id": "job-8", "host": "elsewhere"}).encode())
        with pytest.raises(PackageBusy) as busy:
            package_video(upload, f"s3://{bucket}/v/other", resolution=["360p"], job_id="job-9")
        assert busy.value.job_id == "job-8" and not any(key.startswith("v/other/") for key in s3.objects(bucket))
        monkeypatch.setenv("KESTRAVA_CLAIM_LEASE", "2")
        client.put_object(Bucket=bucket, Key="v/other.lock", Body=json.dumps(
            {**claim, "job_id": "job-8", "host": "elsewhere", "renewed": time.time()}).encode())
    started = time.monotonic()
    result = package_video(upload, f"s3://{bucket}/v/other", resolution=["360p"], job_id="job-8", poster=False,
                           storyboard=False)
    assert result.complete == ["360p"] and time.monotonic() - started > 2, "its lease waited out, then taken"


def test_credentials_and_buckets_that_do_not_serve_are_refused_in_one_line_before_any_encoding(
        s3, bucket, aws, upload, monkeypatch):
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "not-the-secret-0123456789")
    with pytest.raises(PermissionError) as denied:
        package_video(upload, f"s3://{bucket}/v/talk")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", aws["AWS_SECRET_ACCESS_KEY"])
    with pytest.raises(FileNotFoundError) as missing:
        package_video(upload, "s3://no-such-bucket-here/v/talk")
    assert str(missing.value) == "s3://no-such-bucket-here: no such bucket"
    assert str(denied.value).startswith(f"s3://{bucket}/v/talk: the object store refused access (")
    for error in (denied.value, missing.value):
        assert "\n" not in str(error) and "not-the-secret" not in str(error)
        assert aws["AWS_SECRET_ACCESS_KEY"] not in str(error) and aws["AWS_ACCESS_KEY_ID"] not in str(error)
    assert s3.objects(bucket) == {}


def test_a_server_that_ignores_conditional_writes_is_refused(s3, bucket, aws, upload, monkeypatch):
    with s3.proxy() as proxy:
        monkeypatch.setenv("AWS_ENDPOINT_URL", proxy.endpoint)
        proxy.drop_header("If-None-Match")
        with pytest.raises(OSError, match="ignores conditional writes \\(If-None-Match\\)"):
            package_video(upload, f"s3://{bucket}/v/talk", resolution=["360p"])
    assert s3.objects(bucket) == {}


def test_failed_requests_and_reset_connections_are_ridden_out(s3, bucket, aws, upload, monkeypatch):
    """503s from the start, and reset connections once the job is at work: the job completes."""
    with s3.proxy() as proxy:
        monkeypatch.setenv("AWS_ENDPOINT_URL", proxy.endpoint)
        proxy.fail_next(3)
        midway = functools.cache(lambda: proxy.reset_next(2))
        result = package_video(upload, f"s3://{bucket}/v/talk", resolution=["360p"], timeout=60,
                               on_progress=lambda done, total: midway())
        assert proxy.faults_left == 0, "every fault was met"
    assert result.complete == ["360p"]
    assert sorted(served(s3, bucket, "v/talk")) == ["360p.m3u8", "360p_000.ts", "master.m3u8", "poster.jpg",
                                                    "storyboard.vtt", "storyboard_0.jpg"]


def test_a_message_may_name_objects_only_under_the_buckets_the_deployment_names(monkeypatch):
    monkeypatch.setenv("KESTRAVA_SOURCE_ROOTS", "/srv/uploads:s3://uploads/incoming")
    monkeypatch.setenv("KESTRAVA_OUTPUT_ROOT", "s3://media/packages")
    assert confine("s3://uploads/incoming/a.mp4", "s3://media/packages/a/", {})[:2] == (
        "s3://uploads/incoming/a.mp4", "s3://media/packages/a")
    refused = {
        "s3://uploads/other/a.mp4": "not under an s3:// location in KESTRAVA_SOURCE_ROOTS",
        "s3://uploads-x/incoming/a.mp4": "not under an s3:// location in KESTRAVA_SOURCE_ROOTS",
        "s3://uploads/incoming/../secret.mp4": "not a plain key",
        "s3://uploads/incoming//a.mp4": "not a plain key",
        "s3://uploads/incoming/a\x1b[2J.mp4": "control character",
        "s3://uploads/incoming": "not under an s3:// location",
    }
    for source, reason in refused.items():
        with pytest.raises(ValueError, match=re.escape(reason)):
            confine(source, "s3://media/packages/a", {})
    for out_dir in ("s3://media/packages", "s3://media/elsewhere/a", "s3://other/packages/a", "/srv/uploads/a"):
        with pytest.raises(ValueError, match="out_dir is not"):
            confine("s3://uploads/incoming/a.mp4", out_dir, {})


def test_a_source_in_a_bucket_larger_than_the_bound_is_refused_before_any_work(s3, bucket, aws, upload,
                                                                                monkeypatch, tmp_path):
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="uploads/talk.mp4", Body=upload.read_bytes())
    monkeypatch.setenv("KESTRAVA_MAX_SOURCE_BYTES", str(upload.stat().st_size - 1))
    with pytest.raises(ValueError, match=f"s3://{bucket}/uploads/talk.mp4: the source is "
                                         f"{upload.stat().st_size} bytes, more than KESTRAVA_MAX_SOURCE_BYTES"):
        package_video(f"s3://{bucket}/uploads/talk.mp4", f"s3://{bucket}/v/talk")
    assert sorted(s3.objects(bucket)) == ["uploads/talk.mp4"] and list((tmp_path / "scratch").iterdir()) == []


@pytest.mark.skipif(shutil.which("chromium") is None, reason="needs Debian's chromium")
def test_hls_js_plays_a_package_straight_from_the_bucket_with_the_key_from_the_page(
        s3, bucket, aws, upload, debugging_port):
    """The README's serving policy and CORS rule on the bucket: the playable files to anyone,
    from the page's origin; the job's own objects to no one."""
    result = package_video(upload, f"s3://{bucket}/v/talk", resolution=["480p", "360p"])
    with contextlib.closing(s3.client()) as client:
        client.put_bucket_policy(Bucket=bucket, Policy=json.dumps(serving_policy(bucket, "v")))
    public = f"{s3.endpoint}/{bucket}/v/talk"
    preview = subprocess.Popen([sys.executable, "-m", "kestrava_jobs", "preview", f"s3://{bucket}/v/talk",
                                "--base-url", public], stdout=subprocess.PIPE, text=True, env={**os.environ, **aws})
    try:
        url = preview.stdout.readline().split(" at ")[1].split()[0]
        with contextlib.closing(s3.client()) as client:
            client.put_bucket_cors(Bucket=bucket, CORSConfiguration={"CORSRules": [
                {"AllowedOrigins": [url.rstrip("/")], "AllowedMethods": ["GET", "HEAD"], "AllowedHeaders": ["*"]}]})
        with opened(debugging_port, url) as page:
            state = "({t: video.currentTime, errors: preview.errors, levels: preview.hls && " \
                    "preview.hls.levels.length, loaded: performance.getEntriesByType('resource').map(e => e.name)})"
            played = wait_for(lambda: (s := page.evaluate(state)) and (s["errors"] or s["t"] > 1) and s, 30,
                              "a second played")
    finally:
        preview.terminate()
        preview.wait(timeout=10)
        preview.stdout.close()
    assert played["errors"] == [] and played["levels"] == 2
    assert f"{public}/master.m3u8" in played["loaded"] and any(
        name.startswith(public) and name.endswith(".ts") for name in played["loaded"])
    assert f"{url.rstrip('/')}/__preview__/key" in played["loaded"], "the key from the page's server"
    assert not any(name.endswith("enc.key") for name in played["loaded"])
    for name, status in {"talk/master.m3u8": 200, "talk/360p_000.ts": 200, "talk.done.json": 403, "talk.log": 403,
                         "talk.lock": 403}.items():
        assert anonymous_status(f"{s3.endpoint}/{bucket}/v/{name}") == status, name
    assert result.complete == ["480p", "360p"]


def serving_policy(bucket: str, prefix: str) -> dict:
    """The README's bucket policy: anonymous GetObject on the playable suffixes under the prefix."""
    return {"Version": "2012-10-17", "Statement": [{
        "Sid": "PlayablePackages", "Effect": "Allow", "Principal": "*", "Action": "s3:GetObject",
        "Resource": [f"arn:aws:s3:::{bucket}/{prefix}/*.{suffix}" for suffix in ("m3u8", "ts", "vtt", "jpg")]}]}


def anonymous_status(url: str) -> int:
    try:
        with urllib.request.urlopen(url, timeout=5) as reply:
            return reply.status
    except urllib.error.HTTPError as refused:
        refused.close()
        return refused.code


def test_without_the_s3_extra_folders_work_and_a_bucket_is_refused_saying_what_to_install(tmp_path):
    check = ("import sys; sys.modules['boto3'] = sys.modules['botocore'] = None\n"  # as if never installed
             "from kestrava_jobs.storage.locations import package_at\n"
             f"package_at({str(tmp_path / 'package')!r}).prepare()\n"
             "package_at('s3://media/v/abc')")
    run = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True)
    assert "ValueError: s3://media/v/abc: packages in buckets need the s3 extra" in run.stderr
    assert (tmp_path / "package").is_dir()


def test_an_object_changed_after_its_upload_fails_the_job_which_leaves_the_bucket_as_found(
        s3, bucket, aws, upload):
    """The final master goes up only once every object is in the bucket as it was put."""
    def overwrite(name: str) -> None:
        with contextlib.closing(s3.client()) as client:
            client.put_object(Bucket=bucket, Key=f"v/talk/{name}_000.ts", Body=b"\0" * 188)
    with pytest.raises(PackageError, match=f"s3://{bucket}/v/talk/360p_000.ts: the bucket holds 188 bytes where "
                                           "the job put [0-9]+ bytes"):
        package_video(upload, f"s3://{bucket}/v/talk", resolution=["480p", "360p"], publish_early=True,
                      poster=False, storyboard=False, on_rendition=overwrite)
    assert sorted(s3.objects(bucket)) == ["v/talk.lock", "v/talk.log"]


def test_an_object_put_in_parts_is_confirmed_by_the_etag_the_server_gives_it(s3, bucket, aws, tmp_path,
                                                                              monkeypatch):
    part = 5 * 1024 * 1024
    monkeypatch.setattr(storage_bucket, "MULTIPART_BYTES", 2 * part)
    monkeypatch.setattr(storage_bucket, "PART_BYTES", part)
    monkeypatch.setattr(storage_bucket, "TRANSFER", TransferConfig(multipart_threshold=2 * part,
                                                                   multipart_chunksize=part))
    (tmp_path / "work").mkdir()
    (tmp_path / "work" / "1080p_000.ts").write_bytes(os.urandom(2 * part + 1000))
    (tmp_path / "work" / "1080p.m3u8").write_text("#EXTM3U\n#EXTINF:6.0,\n1080p_000.ts\n#EXT-X-ENDLIST\n")
    package = package_at(f"s3://{bucket}/v/big")
    package.put_rendition(tmp_path / "work", "1080p")
    with contextlib.closing(s3.client()) as client:
        etag = client.head_object(Bucket=bucket, Key="v/big/1080p_000.ts")["ETag"]
    assert etag.endswith('-3"')
    package.confirm()


def test_a_segment_replaced_by_as_many_other_bytes_is_not_taken_as_the_one_checked(s3, bucket, aws, tmp_path):
    """A spread job's end trusts a rendition's record only while every object stands as
    its task put it; it reads their sizes and ETags from one listing, not their bytes."""
    work = tmp_path / "work"
    work.mkdir()
    (work / "360p_000.ts").write_bytes(b"\1" * 188)
    (work / "360p.m3u8").write_text("#EXTM3U\n#EXTINF:2.0,\n360p_000.ts\n#EXT-X-ENDLIST\n")
    package, staging = package_at(f"s3://{bucket}/v/talk"), FolderStaging(tmp_path / "staging")
    staging.begin()
    package.put_rendition(work, "360p")
    made = RenditionResult(name="360p", duration=2.0, segments=1, bytes=188, bitrate=1, peak_bitrate=1, width=640,
                           height=360, codecs="avc1", frame_rate=30.0)
    rendition_record.write_made(staging, made, rendition_record.digests(package, "360p"))
    assert rendition_record.unchanged(staging, "360p", package) == made
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="v/talk/360p_000.ts", Body=b"\2" * 188)
    assert rendition_record.unchanged(staging, "360p", package) is None


def test_retries_against_a_server_that_is_down_end_with_the_jobs_time_out(s3, bucket, aws, upload):
    """The server stops as the job starts and is back some 5 s later: a job of 3 s runs out
    of time retrying, and leaves the bucket as found once the server answers again."""
    outage = threading.Thread(target=lambda: (s3.stop(), time.sleep(1.5), s3.start()))

    def midway(done: float, total: float | None) -> None:
        if not outage.ident:
            outage.start()
    try:
        with pytest.raises(PackageTimeout, match="time-out of 3 s"):
            package_video(upload, f"s3://{bucket}/v/late", resolution=["360p"], poster=False, storyboard=False,
                          timeout=3, on_progress=midway)
    finally:
        outage.join()
    assert sorted(s3.objects(bucket)) == ["v/late.lock", "v/late.log"]


def test_a_source_longer_than_its_server_said_is_cut_off_at_the_bound(s3, bucket, aws, upload, tmp_path):
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="uploads/talk.mp4", Body=upload.read_bytes())
        body = client.get_object(Bucket=bucket, Key="uploads/talk.mp4")["Body"]
        with pytest.raises(ValueError, match="the source grew past KESTRAVA_MAX_SOURCE_BYTES"):
            write_bounded(body, tmp_path / "copy.mp4", 1000, Deadline(None))
    assert (tmp_path / "copy.mp4").stat().st_size <= 1000


def test_a_growing_rendition_is_revalidated_by_caches_until_it_ends_and_kept_for_good_after(s3, bucket, aws,
                                                                                          source_at):
    """Every version of the growing playlist and of the master the job put, kept by the
    bucket's versioning, with the headers each was put with."""
    with contextlib.closing(s3.client()) as client:
        client.put_bucket_versioning(Bucket=bucket, VersioningConfiguration={"Status": "Enabled"})
        source = source_at("bucket_13s_640x360.mp4", seconds=13, size="640x360", picture="testsrc")
        result = package_video(source, f"s3://{bucket}/v/grown", resolution=["360p"], publish="segments",
                               storyboard=False)
        # Listed newest first.
        versions = {name: [client.get_object(Bucket=bucket, Key=f"v/grown/{name}", VersionId=version["VersionId"])
                           for version in reversed(client.list_object_versions(
                               Bucket=bucket, Prefix=f"v/grown/{name}")["Versions"])]
                    for name in ("360p.m3u8", "master.m3u8")}
        growing = [(m3u8.loads(got["Body"].read().decode()), got["CacheControl"]) for got in versions["360p.m3u8"]]
        masters = [got["CacheControl"] for got in versions["master.m3u8"]]
    counts = [len(playlist.segments) for playlist, _ in growing]
    assert result.complete == ["360p"] and counts[0] == 1 and counts[-1] == 3 and counts == sorted(counts)
    assert [(playlist.is_endlist, cache) for playlist, cache in growing] == \
        [(False, "no-cache")] * (len(growing) - 1) + [(True, FOREVER)]
    assert masters == ["no-cache"] * (len(masters) - 1) + ["public, max-age=60"] and len(masters) >= 2
    assert all(cache == FOREVER for name, (_, cache) in served(s3, bucket, "v/grown").items() if name.endswith(".ts"))
