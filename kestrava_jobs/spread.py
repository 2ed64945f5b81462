"""One job spread over a cluster, each rendition made by a task of its own.

The job claims its folder and makes its key once. Each rendition is made and checked in
a private staging folder beside the package, then moved in: segments first, its
playlist last. A last step trusts no message: it checks the whole package from storage
(every rendition complete, one key, the renditions aligned) and writes the master and
the record. Every message is checked as if anyone could have sent it."""

import contextlib
import dataclasses
import os
import pathlib
import shutil
import stat
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import m3u8

from . import ladder, rendition_record
from .deadline import Deadline
from .job_files import lock_folder, open_own, read_own, remove_own
from .job_folder import JobFolder, held_by, holder, name_holder, read_record
from .job_folder import write_record as write_job_record
from .early_master import Playable
from .job_run import check_renditions, job_key, outcome, run_children
from .keys import read_key_info
from .package import leave_as_found, prepare_out_dir, refuse_unless_new_or_empty
from .package_check import check_rendition, playlist_seconds, write_master
from .request import JobPlan, JobRequest
from .result import PackageBusy, PackageError, PackageResult, RenditionResult
from .validate import check_bitrates, check_key_uri, check_names, check_out_dir, check_text, check_timeout

# Renditions made apart agree on every segment within one picture of the 1/30 s grid.
PICTURE = 1 / 30
MESSAGE_FIELDS = {"job_id", "source", "out_dir", "names", "rates", "key_info", "key_uri", "timeout",
                  "deadline_at", "publish_early", "total"}
IsLive = Callable[[str], bool]


@dataclass(frozen=True)
class SpreadJob:
    job_id: str
    source: str
    folder: JobFolder
    names: list[str]
    rates: list[int]
    key_info: pathlib.Path  # the job's key info file in the key folder; never the key
    key_uri: str
    timeout: float | None
    deadline_at: float | None  # wall-clock time by which the whole job ends
    publish_early: bool
    total: float | None  # the source's length, seconds

    def message(self) -> dict:
        return {"job_id": self.job_id, "source": self.source, "out_dir": str(self.folder.path),
                "names": self.names, "rates": self.rates, "key_info": str(self.key_info), "key_uri": self.key_uri,
                "timeout": self.timeout, "deadline_at": self.deadline_at, "publish_early": self.publish_early,
                "total": self.total}

    def deadline(self) -> Deadline:
        return Deadline.until(self.deadline_at, self.timeout)

    def request(self, folder: JobFolder, names: list[str], on_progress=None) -> JobRequest:
        """The request for the shared job steps (child, check) on one of its folders."""
        # No caller's key info: the job's own is removed with a package that was not made.
        return JobRequest(source=self.source, folder=folder, names=names, rates=None, key_info=None,
                          key_uri=self.key_uri, key_dir=self.key_info.parent, deadline=self.deadline(),
                          job_id=self.job_id, on_progress=on_progress)


def job_from_message(data: object, confine: Callable) -> SpreadJob:
    """A spread job's message, checked: its paths confined, its figures valid, and its
    folder claimed by this very job. ValueError or TypeError otherwise."""
    if not isinstance(data, dict) or set(data) != MESSAGE_FIELDS:
        raise ValueError(f"not a spread job's message: fields {sorted(data) if isinstance(data, dict) else data!r}")
    source, out_dir, options = confine(data["source"], data["out_dir"], {"key_info": data["key_info"]})
    names = check_names(data["names"]) or []
    rates = check_bitrates(data["rates"], names) or []
    if len(rates) != len(names) or not isinstance(data["publish_early"], bool):
        raise ValueError("a spread job's message needs a bit rate for each rendition and a publish_early flag")
    job = SpreadJob(job_id=check_text(str(data["job_id"]), "the job id"), source=source,
                    folder=check_out_dir(out_dir), names=names, rates=rates,
                    key_info=pathlib.Path(options["key_info"]), key_uri=check_key_uri(data["key_uri"]),
                    timeout=check_timeout(data["timeout"]), deadline_at=_number(data["deadline_at"]),
                    publish_early=data["publish_early"], total=_number(data["total"]))
    if holder(job.folder) != job.job_id:
        raise ValueError(f"{job.folder.path}: not a folder job {job.job_id} holds")
    return job


def _number(value: object) -> float | None:
    if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
        raise TypeError(f"a spread job's message holds a number or null, not {value!r}")
    return None if value is None else float(value)


# The folder's claim: the lock file names the job that holds the folder until it ends.

def claim(folder: JobFolder, job_id: str, is_live: IsLive) -> None:
    """PackageBusy when a job on this machine runs in the folder, or a spread job still
    holds it; a claim whose job has ended (or is unknown) is stale and taken over."""
    folder.path.parent.mkdir(parents=True, exist_ok=True)
    lock = lock_folder(folder.lock)
    if lock is None:
        raise PackageBusy(f"{folder.path}: another job is packaging into this folder")
    try:
        holding = held_by(lock)
        if holding and holding != job_id and is_live(holding):
            raise PackageBusy(f"{folder.path}: another job is packaging into this folder", holding)
        name_holder(lock, job_id)
    finally:
        os.close(lock)


def release(folder: JobFolder, job_id: str) -> None:
    lock = lock_folder(folder.lock)
    if lock is None:
        return
    try:
        if held_by(lock) == job_id:
            os.ftruncate(lock, 0)
    finally:
        os.close(lock)


# Starting: claim, an earlier result, the folder, the staging area and the key.

def start(request: JobRequest, plan: JobPlan, publish_early: bool, is_live: IsLive) -> SpreadJob | PackageResult:
    """The job ready for its rendition tasks, or the result of this very job when it
    finished before."""
    folder, job_id = request.folder, request.job_id or ""
    claim(folder, job_id, is_live)
    try:
        recorded = read_record(folder)
        if recorded is not None and recorded[0] == job_id and folder.master.is_file():
            return recorded[1]
        refuse_unless_new_or_empty(folder)
        prepare_out_dir(folder)
        fresh_staging(folder)
        key = job_key(request)
    except BaseException:
        release(folder, job_id)
        raise
    deadline_at = None if request.deadline.seconds is None else time.time() + request.deadline.left()
    return SpreadJob(job_id=job_id, source=request.source, folder=folder, names=plan.names, rates=plan.rates,
                     key_info=key.path, key_uri=key.uri, timeout=request.deadline.seconds, deadline_at=deadline_at,
                     publish_early=publish_early, total=plan.duration)


def queue_order(job: SpreadJob) -> list[str]:
    """The order the renditions are queued in: the largest first, so that the longest is
    not left to start last; with early publishing the smallest ahead of them all, so that
    the first worker free has something playable soon."""
    largest_first = sorted(job.names, key=ladder.size, reverse=True)
    if not job.publish_early:
        return largest_first
    return [largest_first[-1], *largest_first[:-1]]


def fresh_staging(folder: JobFolder) -> None:
    """An empty staging area; one left by a dead attempt is emptied, a foreign one refused."""
    if os.path.lexists(folder.staging):
        shutil.rmtree(staging(folder))
    folder.staging.mkdir(mode=0o700)


def staging(folder: JobFolder) -> pathlib.Path:
    """The staging area, refused unless it is a folder of this user's own."""
    found = os.lstat(folder.staging)
    if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.geteuid():
        raise PermissionError(f"{folder.staging}: not a staging folder this job made; refusing to use it")
    return folder.staging


# One rendition: made in staging, checked there, then moved into the package.

def rendition_lock(job: SpreadJob, name: str) -> int | None:
    """The rendition's own lock, held while a task makes it; None when a copy of the
    task holds it already."""
    return lock_folder(staging(job.folder) / f"{name}.lock")


def finished_rendition(job: SpreadJob, name: str) -> RenditionResult | None:
    """The rendition's figures when it is in the package already."""
    made = rendition_record.made(staging(job.folder), name)
    return made if made is not None and (job.folder.path / f"{name}.m3u8").is_file() else None


def make_rendition(job: SpreadJob, name: str, worker: str, on_progress) -> RenditionResult:
    """Encodes and checks the rendition in a fresh work folder, then moves it in.
    RenditionIncomplete (or the job's PackageTimeout) when it did not come out whole."""
    work = staging(job.folder) / name
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(mode=0o700)
    request = job.request(JobFolder(work), [name], on_progress)
    key = read_key_info(job.key_info)
    log_fd = open_own(staging(job.folder) / f"{name}.log")
    try:
        os.ftruncate(log_fd, 0)
        run_children(request, JobPlan([name], [job.rates[job.names.index(name)]], job.total), key, log_fd,
                     Playable(request, [name], key))
    finally:
        os.close(log_fd)
    made = dataclasses.replace(check_rendition(work, name, key, request.deadline), worker=worker)
    checked = rendition_record.digests(work, name)
    move_in(work, job.folder, name)
    rendition_record.write_made(staging(job.folder), made, checked)
    if job.publish_early:
        publish(job)
    return made


def record_failure(job: SpreadJob, name: str, reason: str) -> None:
    shutil.rmtree(staging(job.folder) / name, ignore_errors=True)
    rendition_record.write_failed(staging(job.folder), name, reason)


def move_in(work: pathlib.Path, folder: JobFolder, name: str) -> None:
    """Segments first and the playlist last, so that a listed segment is always there;
    the module's one-rendition master stays behind and goes with the work folder."""
    playlist = work / f"{name}.m3u8"
    for segment in m3u8.loads(playlist.read_text()).segments:
        file = pathlib.PurePath(segment.uri).name
        os.rename(work / file, folder.path / file)
    os.rename(playlist, folder.path / playlist.name)
    shutil.rmtree(work)


def publish(job: SpreadJob) -> list[str]:
    """Rewrites the master with the renditions in the package so far, in the order
    asked for; one writer at a time. The names it lists."""
    lock = waiting_lock(staging(job.folder) / "master.lock")
    try:
        made = [found for name in job.names if (found := finished_rendition(job, name)) is not None]
        if made:
            write_master(job.folder.master, made)
        return [rendition.name for rendition in made]
    finally:
        os.close(lock)


@contextlib.contextmanager
def reporting(job: SpreadJob) -> Iterator[None]:
    """One progress report of the job at a time, whichever worker makes it."""
    lock = waiting_lock(staging(job.folder) / "progress.lock")
    try:
        yield
    finally:
        os.close(lock)


def waiting_lock(path: pathlib.Path) -> int:
    while (lock := lock_folder(path)) is None:
        time.sleep(0.05)
    return lock


def progress(job: SpreadJob) -> tuple[float, list[str]]:
    """Seconds every rendition still being made has written (a finished one counts its
    length, a failed one not at all), and the renditions the master lists."""
    seconds = []
    for name in job.names:
        record = rendition_record.read(staging(job.folder), name)
        if rendition_record.MADE in record:
            seconds.append(record[rendition_record.MADE]["duration"])
        elif rendition_record.FAILED not in record:
            seconds.append(playlist_seconds(staging(job.folder) / name / f"{name}.m3u8"))
    listed = m3u8.loads(job.folder.master.read_text()).playlists if job.folder.master.is_file() else []
    return min(seconds, default=0.0), [pathlib.PurePath(variant.uri).stem for variant in listed]


# The end: everything checked from storage, then the master and the record.

def recorded_result(data: object, confine: Callable) -> PackageResult | None:
    """The result recorded beside the folder when this very job has finished."""
    if not isinstance(data, dict) or not MESSAGE_FIELDS <= set(data):
        return None
    _, out_dir, _ = confine(data["source"], data["out_dir"], {})
    folder = check_out_dir(out_dir)
    recorded = read_record(folder)
    if recorded is None or recorded[0] != data["job_id"] or not folder.master.is_file():
        return None
    return recorded[1]


def end_lock(job: SpreadJob) -> int | None:
    """The lock the job's end holds while it works; None when a copy of it holds it."""
    return lock_folder(staging(job.folder) / "end.lock")


def finish(job: SpreadJob) -> PackageResult:
    """The job's result, or PackageError (PackageTimeout) leaving the folder and the
    staging area as they were found and the key removed."""
    try:
        result = checked_package(job)
        write_record(job, result)
        return result
    except BaseException:
        leave_as_found(job.request(job.folder, job.names), created=False)
        raise
    finally:
        shutil.rmtree(job.folder.staging, ignore_errors=True)
        release(job.folder, job.job_id)


def checked_package(job: SpreadJob) -> PackageResult:
    deadline = job.deadline()
    if deadline.passed():
        raise deadline.expired()
    key = read_key_info(job.key_info)
    request = job.request(job.folder, job.names)
    unchanged = {name: made for name in job.names
                 if (made := rendition_record.unchanged(staging(job.folder), name, job.folder.path)) is not None}
    # Only what differs from the bytes its own check read is decrypted and demuxed again.
    checked_again, reasons = check_renditions(request, [name for name in job.names if name not in unchanged], key)
    checked = {name: dataclasses.replace(made, worker=worker_of(job, name)) for name in job.names
               if (made := unchanged.get(name) or checked_again.get(name)) is not None}
    reasons = {name: rendition_record.failure(staging(job.folder), name) or reason for name, reason in reasons.items()}
    result = outcome(request, job.names, key, checked, reasons)
    if not checked:
        why = "; ".join(f"{name}: {reason}" for name, reason in reasons.items())
        raise PackageError(f"no rendition of {job.source} came out complete: {why}", result)
    check_one_key(job, list(checked))
    check_aligned(job, list(checked))
    try:
        write_master(job.folder.master, list(checked.values()))
    except OSError as error:
        raise PackageError(f"{job.folder.master}: the master playlist could not be written: {error.strerror}",
                           result) from None
    return result


def worker_of(job: SpreadJob, name: str) -> str:
    made = finished_rendition(job, name)
    return made.worker if made is not None else ""


def check_one_key(job: SpreadJob, names: list[str]) -> None:
    for name in names:
        keys = {key.uri for key in m3u8.load(str(job.folder.path / f"{name}.m3u8")).keys if key is not None}
        if keys != {job.key_uri}:
            raise PackageError(f"{name} names the keys {sorted(keys)}, not the job's {job.key_uri}")


def check_aligned(job: SpreadJob, names: list[str]) -> None:
    """Every rendition cut at the same places: as many segments, each as long as the
    others' within one picture. Renditions made by differing libraries may not be."""
    lengths = {name: [segment.duration for segment in m3u8.load(str(job.folder.path / f"{name}.m3u8")).segments]
               for name in names}
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
    """The record beside the folder, and the renditions' logs gathered into the job's."""
    log_fd = open_own(job.folder.log)
    try:
        os.ftruncate(log_fd, 0)
        for name in job.names:
            log = staging(job.folder) / f"{name}.log"
            os.write(log_fd, read_own(log) or b"")
            remove_own(log)
    finally:
        os.close(log_fd)
    write_job_record(job.folder, job.job_id, result)

