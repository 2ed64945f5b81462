"""One job spread over a cluster, each rendition made by a task of its own.

The job claims its package and makes its key once. Each rendition is made and checked
in a private staging folder beside the package, then put in: segments first, its
playlist last. A last step trusts no message: it checks the whole package from storage
(every rendition complete, one key, the renditions aligned) and writes the master and
the record. Every message is checked as if anyone could have sent it."""

import contextlib
import dataclasses
import json
import os
import pathlib
import time
from collections.abc import Callable, Iterator

import m3u8

from .. import ladder
from ..common.deadline import Deadline
from ..common.result import LeftOutAudio, PackageError, PackageResult, PicturesResult, RenditionResult
from ..hls.check import RenditionIncomplete, check_all, check_rendition
from ..job.children import ModuleRun, run_module
from ..job.growing import PLAYABLE_SEGMENTS, Growing, target_duration
from ..job.lifecycle import fetched_source, open_package, undone_on_failure
from ..job.outcome import Made, log_tail, master_unwritten, none_complete, package_result
from ..job.progress import PlaylistProgress
from ..job.publish import publish_master
from ..job.request import JobPlan, JobRequest, frame_rate
from ..source.probe import probe_source
from ..storage import keys
from ..storage import names as file_names
from ..storage.folder import LocalFiles
from ..storage.key_store import key_location, put_key, remove_key
from ..storage.keys import ready_key_dir
from ..storage.locations import package_at
from ..storage.seam import IsLive, Package, Staging, finished_before
from ..storage.time_bound import within
from . import rendition_record, spread_pictures
from .spread_captions import StagedCaptions, stage_captions
from .spread_job import MESSAGE_FIELDS, Confine, SpreadJob, staging_of
from .spread_pictures import StagedPictures

# Renditions made apart agree on every segment within one picture of the module's grid.
PICTURE = 1 / ladder.PICTURE_RATE
# Starting: claim, an earlier result, the package, the staging area and the key.

def start(request: JobRequest, plan: JobPlan, is_live: IsLive, source_name: str | None = None) \
        -> SpreadJob | PackageResult:
    """The job ready for its rendition tasks, or the result of this very job when it
    finished before. `request` reads a local copy of a source named `source_name`."""
    folder, job_id = request.package, request.job_id or ""
    folder.state.claim(job_id, is_live)
    try:
        # A copy of this very job may be at work under the same claim: nothing is taken over.
        opened = open_package(folder, folder.state, job_id, request.key_dir)
        if isinstance(opened, PackageResult):
            return opened
        with undone_on_failure(folder, request.key_dir, opened):
            stage(staging_of(folder, job_id), request, plan)
            key = keys.job_key(request.key_dir, folder.location, request.key_info, request.key_uri)
            put_key(key, request.key_dir, folder.location)
    except BaseException:
        folder.state.release(job_id)
        raise
    deadline_at = None if request.deadline.seconds is None else time.time() + request.deadline.left()
    return SpreadJob(job_id=job_id, source=source_name or request.source, folder=folder, names=plan.names,
                     rates=plan.rates, key_name=keys.key_name(folder.location), key_uri=key.uri,
                     timeout=request.deadline.seconds, deadline_at=deadline_at, publish=request.publish,
                     total=plan.duration, poster=request.poster, storyboard=request.storyboard)


def queue_order(job: SpreadJob) -> list[str]:
    """The order the renditions are queued in: the largest first, so that the longest is
    not left to start last; with early publishing the smallest ahead of them all, so that
    the first worker free has something playable soon."""
    largest_first = sorted(job.names, key=ladder.size, reverse=True)
    if not job.publish_early:
        return largest_first
    return [largest_first[-1], *largest_first[:-1]]


def stage(staging: Staging, request: JobRequest, plan: JobPlan) -> None:
    """What every step reads of the submit step's findings: the captions parsed once, and
    the audio streams no rendition carries. What a dead attempt staged is dropped."""
    staging.begin()
    stage_captions(staging, request.source, plan.captions, request.deadline)
    staging.write(file_names.AUDIO_LEFT_OUT,
                  json.dumps([dataclasses.asdict(stream) for stream in plan.audio_left_out]).encode())


# One rendition: made in staging, checked there, then put into the package.

def finished_rendition(job: SpreadJob, name: str) -> RenditionResult | None:
    """The rendition's figures when it is in the package already."""
    made = rendition_record.made(job.staging, name)
    return made if made is not None and job.folder.has(file_names.playlist(name)) else None


def listed_rendition(job: SpreadJob, name: str) -> RenditionResult | None:
    """What a master says of the rendition: finished, or growing with a segment in."""
    found = rendition_record.made(job.staging, name) or rendition_record.growing(job.staging, name)
    return found if found is not None and job.folder.has(file_names.playlist(name)) else None


def make_rendition(job: SpreadJob, name: str, worker: str, on_progress: Callable[[], None]) -> RenditionResult:
    """Encodes and checks the rendition in a fresh work folder, then puts it in.
    RenditionIncomplete (or the job's PackageTimeout) when it did not come out whole."""
    work = job.staging.work_folder(name)
    deadline = job.deadline()
    with within(deadline):
        return made_and_put(job, name, work, worker, deadline, on_progress)


def made_and_put(job: SpreadJob, name: str, work: pathlib.Path, worker: str, deadline: Deadline,
                 on_progress: Callable[[], None]) -> RenditionResult:
    with job.key_info() as key_info, fetched_source(job.source, deadline) as source:
        key = keys.read_key_info(key_info)
        growing = growing_rendition(job, name, work, source, key, deadline)
        encode(job, name, work, source, key_info, deadline, on_progress,
               (lambda: grow(job, growing, key)) if growing is not None else None)
    if growing is not None:
        made = dataclasses.replace(grown(job, growing, key), worker=worker)
    else:
        made = dataclasses.replace(check_rendition(LocalFiles(work), name, key, deadline), worker=worker)
        job.folder.put_rendition(work, name)
    job.staging.drop_work_folder(name)  # the module's one-rendition master goes with it
    rendition_record.write_made(job.staging, made, rendition_record.digests(job.folder, name))
    if job.publish_early:
        publish(job, key)
    return made


def growing_rendition(job: SpreadJob, name: str, work: pathlib.Path, source: str, key: keys.KeyInfo,
                      deadline: Deadline) -> Growing | None:
    """The rendition published as it grows, when this is the one."""
    if name != job.growing:
        return None
    target = target_duration(frame_rate(probe_source(source, deadline).video))
    return Growing(job.folder, name, work, key, deadline, target)


def grow(job: SpreadJob, growing: Growing, key: keys.KeyInfo) -> None:
    """Its new segments in, and its captions cut on them; the master, with it, as soon
    as it is playable."""
    had = len(growing.sizes)
    growing.poll()
    if len(growing.sizes) == had or not growing.growing:
        return
    rendition_record.write_growing(job.staging, growing.figures())
    staged_captions(job, key).grow(job.folder, growing.name, growing.durations, growing.target)
    if had < PLAYABLE_SEGMENTS <= len(growing.sizes):
        publish(job, key)


def grown(job: SpreadJob, growing: Growing, key: keys.KeyInfo) -> RenditionResult:
    """Its figures once it has ended; RenditionIncomplete, with the master rewritten
    without it, when it stopped short."""
    growing.end()
    if growing.failure is None:
        return growing.figures()
    job.staging.remove(file_names.staging_record(growing.name))
    publish(job, key)
    raise RenditionIncomplete(growing.failure)


def encode(job: SpreadJob, name: str, work: pathlib.Path, source: str, key_info: pathlib.Path, deadline: Deadline,
           on_progress: Callable[[], None], grows: Callable[[], None] | None = None) -> None:
    """The module's call for one rendition in `work`, its log in the staging area (a
    retry's log is its own); `grows` between looks, when it is published as it grows."""
    def made_so_far(done: float, _total: float | None) -> None:
        job.staging.write(file_names.staging_seconds(name), str(done).encode())
        on_progress()
    progress = PlaylistProgress([work / file_names.playlist(name)], job.total, made_so_far)
    with job.staging.writing_log(name) as log_fd:
        run = ModuleRun(source=source, work=work, names=[name], rates=[job.rates[job.names.index(name)]],
                        key_info=key_info, log_fd=log_fd, deadline=deadline)
        run_module(run, poll=lambda: (progress.poll(), grows and grows()))


def record_failure(job: SpreadJob, name: str, reason: str) -> None:
    job.staging.drop_work_folder(name)
    rendition_record.write_failed(job.staging, name, reason)


def publish(job: SpreadJob, key: keys.KeyInfo | None = None) -> list[str]:
    """Replaces the master with the renditions in the package so far, in the order asked
    for; one writer at a time. The names it lists. A master with none (a growing one
    that stopped short was all it listed) is removed."""
    if key is None:
        with job.key_info() as key_info:
            key = keys.read_key_info(key_info)
    with job.staging.holding(file_names.MASTER_STEP, wait=True):
        made = [found for name in job.names if (found := listed_rendition(job, name)) is not None]
        if made:
            publish_master(job.folder, made, staged_captions(job, key), StagedPictures(job.folder), final=False)
        elif job.folder.has(file_names.MASTER):
            job.folder.remove_master()
        return [rendition.name for rendition in made]


@contextlib.contextmanager
def reporting(job: SpreadJob) -> Iterator[None]:
    """One progress report of the job at a time, whichever worker makes it."""
    with job.staging.holding(file_names.PROGRESS_STEP, wait=True):
        yield


def progress(job: SpreadJob) -> tuple[float, list[str]]:
    """Seconds every rendition still being made has written (a finished one counts its
    length, a failed one not at all), and the renditions the master lists."""
    seconds = []
    for name in job.names:
        record = rendition_record.read(job.staging, name)
        if rendition_record.MADE in record:
            seconds.append(record[rendition_record.MADE]["duration"])
        elif rendition_record.FAILED not in record:
            seconds.append(float(job.staging.read(file_names.staging_seconds(name)) or 0.0))
    return min(seconds, default=0.0), listed(job.folder)


def published(job: SpreadJob) -> dict[str, float]:
    """Seconds in the package of the rendition published as it grows."""
    name = job.growing
    found = name and (rendition_record.growing(job.staging, name) or rendition_record.made(job.staging, name))
    return {found.name: found.duration} if found else {}


# The pictures: made by a step of their own, named by every master once in the package.

def make_job_pictures(job: SpreadJob, told: Callable[[str], None]) -> PicturesResult:
    """The poster and the storyboard in the package, recorded, and named by the master."""
    made = spread_pictures.recorded(job.staging) or spread_pictures.stage_pictures(job.staging, job, told)
    if job.publish_early:
        publish(job)
    return made


def listed(folder: Package) -> list[str]:
    """The renditions the package's master lists now."""
    if not folder.has(file_names.MASTER):
        return []
    return [file_names.rendition_of(variant.uri)
            for variant in m3u8.loads(folder.read(file_names.MASTER).decode()).playlists]


# The end: everything checked from storage, then the master and the record.

def recorded_result(data: object, confine: Confine) -> PackageResult | None:
    """The result recorded beside the folder when this very job has finished."""
    if not isinstance(data, dict) or not MESSAGE_FIELDS <= set(data):
        return None
    _, out_dir, _ = confine(data["source"], data["out_dir"], {})
    home = package_at(out_dir)
    return finished_before(home, home.state, data["job_id"])


def finish(job: SpreadJob) -> PackageResult:
    """The job's result, or PackageError (PackageTimeout) leaving the package and the
    staging area as they were found and the key removed."""
    try:
        with undone_on_failure(job.folder, ready_key_dir(None), created=False):
            try:
                with within(job.deadline()):
                    result = checked_package(job)
            except BaseException:
                remove_key(job.key_name, job.folder.location)
                raise
            write_record(job, result)
            return result
    finally:
        job.staging.end()
        job.folder.state.release(job.job_id)


def checked_package(job: SpreadJob) -> PackageResult:
    deadline = job.deadline()
    if deadline.passed():
        raise deadline.expired()
    with job.key_info() as key_info:
        key = keys.read_key_info(key_info)
    made = made_renditions(job, key, deadline)
    result = package_result(job.source, job.folder, job.folder.state, key, deadline, made, caller_key=False)
    result.key_file = key_location(job.key_name, job.folder.location) or result.key_file
    if not made.checked:
        raise none_complete(job.source, result)
    check_one_key(job, list(made.checked))
    check_aligned(job, list(made.checked))
    captions = staged_captions(job, key)
    result.captions = captions.for_master(job.folder, next(iter(made.checked)))
    result.audio_left_out = staged_audio_left_out(job)
    result.pictures = spread_pictures.recorded(job.staging) or PicturesResult(
        skipped="the pictures' step did not finish" if job.poster or job.storyboard else "")
    try:
        publish_master(job.folder, list(made.checked.values()), captions, StagedPictures(job.folder))
    except OSError as error:
        raise master_unwritten(job.folder, error, result) from None
    return result


def staged_audio_left_out(job: SpreadJob) -> list[LeftOutAudio]:
    """The source's audio streams no rendition carries, as the submit step found them."""
    staged = job.staging.read(file_names.AUDIO_LEFT_OUT) or b"[]"
    return [LeftOutAudio(**stream) for stream in json.loads(staged)]


def made_renditions(job: SpreadJob, key: keys.KeyInfo, deadline: Deadline) -> Made:
    """Every rendition as the package holds it. Only what differs from the bytes its own
    check read is decrypted and demuxed again."""
    unchanged = {name: made for name in job.names
                 if (made := rendition_record.unchanged(job.staging, name, job.folder)) is not None}
    checked_again, reasons = check_all(job.folder, [name for name in job.names if name not in unchanged], key,
                                       deadline, job.source, lambda: log_tail(job.folder.state, 0))
    checked = {name: dataclasses.replace(made, worker=worker_of(job, name)) for name in job.names
               if (made := unchanged.get(name) or checked_again.get(name)) is not None}
    reasons = {name: rendition_record.failure(job.staging, name) or reason for name, reason in reasons.items()}
    return Made(job.names, checked, reasons)


def staged_captions(job: SpreadJob, key: keys.KeyInfo) -> StagedCaptions:
    return StagedCaptions(job.staging, key, job.deadline(), job.total)


def worker_of(job: SpreadJob, name: str) -> str:
    made = finished_rendition(job, name)
    return made.worker if made is not None else ""


def media_playlist(job: SpreadJob, name: str) -> m3u8.M3U8:
    return m3u8.loads(job.folder.read(file_names.playlist(name)).decode())


def check_one_key(job: SpreadJob, names: list[str]) -> None:
    """Every segment of every rendition under the job's key. The renditions' own check
    reads a segment listed under no key (ahead of the key line, or after METHOD=NONE) as
    clear media and passes it; a player would get it in the clear."""
    for name in names:
        playlist = media_playlist(job, name)
        named = {key.uri for key in playlist.keys if key is not None}
        if not named:
            raise PackageError(f"{name} names the keys [], not the job's {job.key_uri}")
        clear = [segment.uri for segment in playlist.segments if segment.key is None or segment.key.method == "NONE"]
        if clear:
            raise PackageError(f"{name} lists {clear[0]} under no key: it would be served in the clear")
        named |= {segment.key.uri for segment in playlist.segments}
        if named != {job.key_uri}:
            raise PackageError(f"{name} names the keys {sorted(named, key=str)}, not the job's {job.key_uri}")


def check_aligned(job: SpreadJob, names: list[str]) -> None:
    """Every rendition cut at the same places: as many segments, each as long as the
    others' within one picture. Renditions made by differing libraries may not be."""
    lengths = {name: [segment.duration for segment in media_playlist(job, name).segments] for name in names}
    first = names[0]
    for name in names[1:]:
        if len(lengths[name]) != len(lengths[first]):
            raise PackageError(f"renditions {first} and {name} disagree: {len(lengths[first])} segments "
                               f"against {len(lengths[name])}")
        for number, (a, b) in enumerate(zip(lengths[first], lengths[name])):
            if abs(a - b) > PICTURE + 1e-6:
                raise PackageError(f"renditions {first} and {name} disagree: segment {number} lasts {a:.3f} s "
                                   f"against {b:.3f} s")


def write_record(job: SpreadJob, result: PackageResult) -> None:
    """The record beside the package, and the renditions' logs gathered into the job's."""
    with job.folder.state.writing_log() as log_fd:
        for name in job.names:
            os.write(log_fd, job.staging.take_log(name))
    job.folder.state.write_record(job.job_id, result)
