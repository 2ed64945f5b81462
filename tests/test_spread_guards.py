"""The steps of a spread job one at a time, on files in tmp_path: the folder's claim, the
order renditions are queued in, the checks of the job's end, a rendition task delivered
again, a message for a folder its job does not hold, and the job's progress. A real Redis
holds the task states the claim and the rendition task read; no worker runs."""

import dataclasses
import pathlib
import re
import shutil
from collections.abc import Callable, Iterator

import m3u8
import pytest
from celery import Celery
from celery.exceptions import Ignore
from cluster import celery_app, redis_server
from helpers import end_of, needs_unsanitized_module
from media import make_source

from kestrava_jobs import PackageBusy, PackageError, PackageResult, RenditionResult, package_video
from kestrava_jobs.cluster import rendition_record, spread, spread_job, spread_pictures, spread_tasks
from kestrava_jobs.cluster.app import make_app
from kestrava_jobs.cluster.confine import confine
from kestrava_jobs.cluster.reports import progress_backend
from kestrava_jobs.cluster.spread_job import SpreadJob
from kestrava_jobs.hls.check import decrypted
from kestrava_jobs.storage.folder import JobFolder
from kestrava_jobs.job.request import JobOptions, check_request, plan_job
from kestrava_jobs.storage.keys import key_file, key_name, read_key_info
from kestrava_jobs.storage.names import PICTURES_STEP

pytestmark = [
    pytest.mark.skipif(shutil.which("redis-server") is None, reason="needs Debian's redis-server"),
    needs_unsanitized_module,
]


@pytest.fixture(scope="module")
def app(tmp_path_factory) -> Iterator[Celery]:
    """An app whose result store is a Redis of this module's own."""
    with redis_server(tmp_path_factory.mktemp("redis")) as redis, celery_app(redis.url) as on_redis:
        yield on_redis


@pytest.fixture(scope="module")
def packaged(tmp_path_factory) -> PackageResult:
    """480p and 360p of one second, a segment each, made together under one key."""
    folder = tmp_path_factory.mktemp("packaged")
    source = make_source(folder / "spread_854x480.mp4", seconds=1, size="854x480")
    return package_video(source, folder / "package", resolution=["480p", "360p"])


@pytest.fixture
def ended(packaged, tmp_path) -> Callable[..., SpreadJob]:
    return end_of(packaged, key_info_of(packaged), tmp_path)


def key_info_of(packaged: PackageResult) -> pathlib.Path:
    return pathlib.Path(packaged.key_file).with_suffix(".keyinfo")


def both(packaged: PackageResult) -> dict[str, str]:
    return {name: packaged.out_dir for name in packaged.complete}


def job_in(folder: pathlib.Path, names: list[str], publish_early: bool = False, job_id: str = "job") -> SpreadJob:
    return SpreadJob(job_id=job_id, source=str(folder / "upload.mp4"), folder=JobFolder(folder / "out"),
                     names=names, rates=[400_000] * len(names), key_name=key_name(str(folder / "out")), key_uri="enc.key",
                     timeout=None, deadline_at=None, publish="renditions" if publish_early else "end", total=3.0)


def first_entry(playlist: pathlib.Path) -> str:
    """The playlist's first segment as it lists it: its EXTINF line and its file."""
    return re.search(r"#EXTINF:[^\n]*\n[^\n]+\n", playlist.read_text()).group(0)


def in_the_clear(job: SpreadJob, name: str) -> str:
    """A decrypted copy of the rendition's first segment beside it, and its playlist entry."""
    playlist = m3u8.load(str(job.folder.path / f"{name}.m3u8"))
    with job.key_info() as key_info:
        segment, key = playlist.segments[0], read_key_info(key_info)
    iv = (segment.key.iv or f"{playlist.media_sequence or 0:032x}").removeprefix("0x")
    clear = decrypted(segment.uri, (job.folder.path / segment.uri).read_bytes(), key.key, iv)
    (job.folder.path / f"{name}_clear.ts").write_bytes(clear)
    return first_entry(job.folder.path / f"{name}.m3u8").replace(segment.uri, f"{name}_clear.ts")


def shifted(job: SpreadJob, pictures: int) -> SpreadJob:
    """The job with its 360p's first segment listed that many pictures longer."""
    playlist = job.folder.path / "360p.m3u8"
    listed = m3u8.load(str(playlist)).segments[0].duration
    longer = f"#EXTINF:{listed + pictures / 30:.6f},"
    playlist.write_text(playlist.read_text().replace(f"#EXTINF:{listed:.6f},", longer, 1))
    return job


@pytest.mark.parametrize("state, taken", [(None, True), ("SUCCESS", True), ("PROGRESS", False)])
def test_a_claim_is_taken_over_only_from_a_job_that_has_ended(app, tmp_path, state, taken):
    """A job the result store does not know, or whose result it holds, left a stale claim."""
    folder, earlier = JobFolder(tmp_path / "out"), f"earlier-{tmp_path.name}"
    folder.state.lock.write_text(earlier)
    if state is not None:
        progress_backend(app).store_result(earlier, {}, state)
    is_live = lambda job_id: spread_tasks.is_live(app, job_id)  # noqa: E731
    if taken:
        folder.state.claim("next", is_live)
    else:
        with pytest.raises(PackageBusy, match="another job is packaging into this folder"):
            folder.state.claim("next", is_live)
    assert folder.state.holder() == ("next" if taken else earlier)


def test_renditions_are_queued_largest_first_and_the_smallest_ahead_when_published_early(tmp_path):
    names = ["480p", "1080p", "360p", "720p"]
    assert spread.queue_order(job_in(tmp_path, names)) == ["1080p", "720p", "480p", "360p"]
    assert spread.queue_order(job_in(tmp_path, names, publish_early=True)) == ["360p", "1080p", "720p", "480p"]


def test_the_end_takes_segments_one_picture_apart_and_fails_two(packaged, ended):
    assert spread.finish(shifted(ended(both(packaged), {}), pictures=1)).complete == ["480p", "360p"]
    with pytest.raises(PackageError, match="renditions 480p and 360p disagree: segment 0 lasts"):
        spread.finish(shifted(ended(both(packaged), {}), pictures=2))


@pytest.mark.parametrize("longer, counts", [("480p", "2 segments against 1"), ("360p", "1 segments against 2")])
def test_the_end_fails_when_either_rendition_lists_a_segment_more(packaged, ended, longer, counts):
    job = ended(both(packaged), {})
    playlist = job.folder.path / f"{longer}.m3u8"
    playlist.write_text(playlist.read_text().replace("#EXT-X-ENDLIST", first_entry(playlist) + "#EXT-X-ENDLIST"))
    with pytest.raises(PackageError, match=f"renditions 480p and 360p disagree: {counts}"):
        spread.finish(job)


def test_the_end_fails_a_rendition_with_no_key_line_and_clear_segments(packaged, ended):
    job = ended(both(packaged), {})
    playlist = job.folder.path / "360p.m3u8"
    clear = in_the_clear(job, "360p")
    playlist.write_text(re.sub(r"#EXT-X-KEY:[^\n]*\n", "", playlist.read_text()).replace(first_entry(playlist), clear))
    with pytest.raises(PackageError, match=r"360p names the keys \[\], not the job's enc.key"):
        spread.finish(job)


@pytest.mark.parametrize("before, after", [("#EXT-X-KEY", "{clear}#EXT-X-KEY"),
                                           ("#EXT-X-ENDLIST", "#EXT-X-KEY:METHOD=NONE\n{clear}#EXT-X-ENDLIST")])
def test_the_end_fails_a_rendition_with_a_clear_segment_among_encrypted_ones(packaged, ended, before, after):
    """As many segments in both, each as long as the other's: only the key tells them apart."""
    job = ended(both(packaged), {})
    larger, smaller = (job.folder.path / f"{name}.m3u8" for name in job.names)
    larger.write_text(larger.read_text().replace("#EXT-X-ENDLIST", first_entry(larger) + "#EXT-X-ENDLIST"))
    smaller.write_text(smaller.read_text().replace(before, after.format(clear=in_the_clear(job, "360p")), 1))
    with pytest.raises(PackageError, match="360p lists 360p_clear.ts under no key"):
        spread.finish(job)


@pytest.mark.parametrize("state, result, ignored", [(None, None, False),
                                                    ("RETRY", RuntimeError("made again"), False),
                                                    ("SUCCESS", {"name": "360p"}, True)])
def test_a_finished_rendition_delivered_again_is_ignored_only_once_its_result_is_stored(
        app, tmp_path, state, result, ignored):
    """Its worker died after the rendition was in the package: the chord counts it only when
    a copy of the task returns."""
    job, task = job_in(tmp_path, ["360p"]), app.tasks[spread_tasks.RENDITION_TASK]
    for made in (job.folder.path, job.folder.state.staging):
        made.mkdir()
    (job.folder.path / "360p.m3u8").write_text("#EXTM3U\n")
    rendition_record.write_made(job.staging, RenditionResult(
        name="360p", duration=1.0, segments=1, bytes=50_000, bitrate=400_000, peak_bitrate=400_000, width=640,
        height=360, codecs="avc1.64001e", frame_rate=30.0), [])
    if state is not None:
        progress_backend(app).store_result(f"rendition-{tmp_path.name}", result, state)
    task.push_request(id=f"rendition-{tmp_path.name}", hostname="a@host", retries=0)
    try:
        if ignored:
            with pytest.raises(Ignore):
                spread_tasks.one_rendition(task, job, "360p")
        else:
            assert spread_tasks.one_rendition(task, job, "360p") == {"name": "360p"}
    finally:
        task.pop_request()


def test_a_message_for_a_folder_another_job_holds_is_refused(tmp_path, monkeypatch):
    for variable in ("KESTRAVA_SOURCE_ROOTS", "KESTRAVA_OUTPUT_ROOT", "KESTRAVA_KEY_DIR"):
        monkeypatch.setenv(variable, str(tmp_path))
    job = job_in(tmp_path, ["360p"], job_id="forged")
    job.folder.state.lock.write_text("other-job")
    with pytest.raises(ValueError, match="not a package job forged holds"):
        spread_job.job_from_message(job.message(), confine)
    job.folder.state.lock.write_text("forged")
    assert spread_job.job_from_message(job.message(), confine) == job
    with pytest.raises(ValueError, match=r"flags \(poster, storyboard\) true or false"):
        spread_job.job_from_message({**job.message(), "poster": "false"}, confine)
    with pytest.raises(ValueError, match="publish must be one of end, renditions, segments, not 'early'"):
        spread_job.job_from_message({**job.message(), "publish": "early"}, confine)


@pytest.mark.parametrize("rates", [[400_000], None])
def test_a_message_without_a_bit_rate_for_each_rendition_is_refused_before_any_file(tmp_path, monkeypatch, rates):
    for variable in ("KESTRAVA_SOURCE_ROOTS", "KESTRAVA_OUTPUT_ROOT", "KESTRAVA_KEY_DIR"):
        monkeypatch.setenv(variable, str(tmp_path))
    job = job_in(tmp_path, ["480p", "360p"])
    job.folder.state.lock.write_text(job.job_id)
    task = make_app("redis://127.0.0.1:9/0").tasks[spread_tasks.RENDITION_TASK]
    with pytest.raises(ValueError, match="a spread job's message needs a bit rate for each rendition"):
        task({**job.message(), "rates": rates}, "360p")
    assert [path.name for path in tmp_path.iterdir()] == ["out.lock"]


def test_spread_progress_follows_the_slowest_rendition(tmp_path):
    job = job_in(tmp_path, ["720p", "360p"])
    job.folder.state.staging.mkdir(parents=True)
    for name, seconds in (("720p", 3), ("360p", 1)):  # as each rendition's task records what it has made
        job.staging.write(f"{name}.seconds", str(float(seconds)).encode())
    assert spread.progress(job) == (1.0, [])


def test_the_pictures_step_is_queued_only_when_wanted_and_ahead_only_when_published_early(tmp_path):
    app = make_app("redis://127.0.0.1:9/0")  # signatures only: nothing is sent

    def queued(**fields) -> list[str]:
        job = dataclasses.replace(job_in(tmp_path, ["720p", "360p"]), **fields)
        return ["pictures" if step.task == spread_tasks.PICTURES_TASK else step.args[1]
                for step in spread_tasks.queued(app, job, job.message())]

    assert queued(poster=True) == ["720p", "360p", "pictures"]
    assert queued(storyboard=True, publish="renditions") == ["pictures", "360p", "720p"]
    assert queued() == ["720p", "360p"]


def test_a_pictures_step_delivered_again_keeps_what_it_made(tmp_path, monkeypatch):
    for variable in ("KESTRAVA_SOURCE_ROOTS", "KESTRAVA_OUTPUT_ROOT", "KESTRAVA_KEY_DIR"):
        monkeypatch.setenv(variable, str(tmp_path))
    make_source(tmp_path / "upload.mp4", seconds=1, size="160x120", audio=None)
    job = dataclasses.replace(job_in(tmp_path, ["360p"]), poster=True, storyboard=True)
    job.folder.path.mkdir()
    job.folder.state.staging.mkdir(mode=0o700)
    job.folder.state.lock.write_text(job.job_id)
    task = make_app("redis://127.0.0.1:9/0").tasks[spread_tasks.PICTURES_TASK]
    with job.staging.holding(PICTURES_STEP) as held, pytest.raises(Ignore):
        assert held
        task(job.message())
    assert not list(job.folder.path.iterdir()), "a copy at work: this one made nothing"
    told = []
    first = spread.make_job_pictures(job, told.append)
    made = {name: (job.folder.path / name).stat().st_ino for name in ("poster.jpg", "storyboard.vtt")}
    again = spread.make_job_pictures(job, told.append)
    assert (again, told) == (first, ["poster.jpg", "storyboard.vtt"]) and first.tiles == 1
    assert {name: (job.folder.path / name).stat().st_ino for name in made} == made, "nothing made again"


def test_a_pictures_step_that_cannot_read_its_source_records_why(tmp_path):
    (tmp_path / "upload.mp4").write_text("not a video")
    job = dataclasses.replace(job_in(tmp_path, ["360p"]), poster=True, storyboard=True)
    job.folder.path.mkdir()
    job.folder.state.staging.mkdir(mode=0o700)
    made = spread.make_job_pictures(job, lambda name: None)
    assert made.skipped.startswith("no pictures: ") and "not a video or audio file FFmpeg can read" in made.skipped
    assert spread_pictures.recorded(job.staging) == made and not list(job.folder.path.iterdir())


def test_published_early_the_pictures_step_names_its_poster_in_the_master_at_once(packaged, ended):
    job = dataclasses.replace(ended(both(packaged), {}, recorded=["480p", "360p"]), source=packaged.source,
                              poster=True, storyboard=False, publish="renditions")
    spread.make_job_pictures(job, lambda name: None)
    master = m3u8.loads(job.folder.read("master.m3u8").decode())
    assert [entry.uri for entry in master.session_data] == ["poster.jpg"]
    assert [variant.uri for variant in master.playlists] == ["480p.m3u8", "360p.m3u8"]


def test_a_spread_job_that_cannot_start_leaves_no_folder_and_no_key(tmp_path, key_dir):
    """A staging area planted beside the package (a link to elsewhere) is refused, and what
    the submit step had made by then (the package folder, a fresh key) goes with it."""
    make_source(tmp_path / "upload.mp4", seconds=1, size="160x120", audio=None)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (tmp_path / "out.staging").symlink_to(elsewhere)
    request = check_request(tmp_path / "upload.mp4", tmp_path / "out", JobOptions(resolution=["360p"]), job_id="job")
    with pytest.raises(PermissionError, match="not a staging folder this job made"):
        spread.start(request, plan_job(request), lambda job_id: False)
    assert not (tmp_path / "out").exists() and not key_file(request.key_dir, request.package.location).exists()
    assert request.state.holder() == "" and list(elsewhere.iterdir()) == []
