"""package_video: one kestrava job in a child process, watched, checked and finished."""

import contextlib
import logging
import os
import pathlib
import shutil
import threading
from collections.abc import Iterator, Sequence

from .job_files import lock_folder, open_own, refuse_foreign, remove_own
from .job_folder import JobFolder, held_by, holder, name_holder, read_record, write_record
from .job_run import run_job
from .keys import discard
from .request import JobPlan, JobRequest, ProgressCallback, RenditionCallback, check_request, plan_job
from .result import PackageBusy, PackageResult

log = logging.getLogger(__name__)


def package_video(source: str | os.PathLike, out_dir: str | os.PathLike, *,
                  resolution: Sequence[str] | None = None, bitrate: Sequence[int] | None = None,
                  key_info: str | os.PathLike | None = None, key_uri: str = "enc.key",
                  key_dir: str | os.PathLike | None = None, timeout: float | None = None,
                  on_progress: ProgressCallback | None = None, job_id: str | None = None,
                  cancel: threading.Event | None = None, publish_early: bool = False,
                  on_rendition: RenditionCallback | None = None) -> PackageResult:
    """Packages `source` as encrypted HLS into `out_dir`, which must be new or empty.

    The call runs in a child process, so the caller's threads keep running. Without
    `key_info` a fresh key is made. Keys live in `key_dir` (default: $KESTRAVA_KEY_DIR,
    else ~/.local/state/kestrava/keys), never in or beside the package. FFmpeg's log
    goes to <out_dir>.log. One job at a time holds a folder (<out_dir>.lock).

    Arguments are checked before any file is made (TypeError, ValueError,
    FileNotFoundError; UnreadableSource for a source FFmpeg cannot read or without
    video). Raises PackageBusy when another job holds the folder, PackageTimeout when
    `timeout` seconds pass (probe, encoding and checks together), PackageCancelled when
    `cancel` is set, and PackageError when no rendition comes out complete, naming what
    went wrong with each; in each of these cases the folder is left as it was found.

    `job_id` names the job for task runners: a second delivery of a job whose package is
    already complete returns the recorded result without encoding again.

    `on_rendition(name)` is called as the master starts listing each rendition: at the end,
    or with `publish_early` as soon as each one is finished and checked (the smallest made
    first), the master then replaced whole by a rename each time, listing only complete,
    checked renditions in the order asked for. Serve it with a short cache lifetime then.
    """
    request = check_request(source, out_dir, resolution=resolution, bitrate=bitrate, key_info=key_info,
                            key_uri=key_uri, key_dir=key_dir, timeout=timeout, job_id=job_id,
                            on_progress=on_progress, cancel=cancel, publish_early=publish_early,
                            on_rendition=on_rendition)
    if job_id is None:
        refuse_unless_new_or_empty(request.folder)
    plan = plan_job(request)
    with holding(request.folder, job_id) as previous_holder:
        earlier = earlier_result(request, previous_holder)
        return earlier if earlier is not None else run_and_record(request, plan)


@contextlib.contextmanager
def holding(folder: JobFolder, job_id: str | None) -> Iterator[str]:
    """The folder's lock for the length of the block, the job's id written in it; yields
    the id the lock's last holder wrote. PackageBusy when a live job holds it."""
    folder.path.parent.mkdir(parents=True, exist_ok=True)
    lock = lock_folder(folder.lock)
    if lock is None:
        raise PackageBusy(f"{folder.path}: another job is packaging into this folder", holder(folder) or None)
    try:
        previous_holder = held_by(lock)
        if os.path.lexists(folder.staging):
            # A job spread over the workers claims the folder from its start to its end.
            raise PackageBusy(f"{folder.path}: a job spread over the workers holds this folder",
                              previous_holder or None)
        # A duplicate delivery sees who holds the folder.
        name_holder(lock, job_id or "")
        yield previous_holder
    finally:
        os.close(lock)


def earlier_result(request: JobRequest, previous_holder: str) -> PackageResult | None:
    """The recorded result when this very job finished before; otherwise the folder made
    ready for it, taken over from an attempt of the same job that died mid-way."""
    folder, job_id = request.folder, request.job_id
    refuse_foreign(folder.record)
    recorded = read_record(folder) if job_id else None
    if recorded is not None and recorded[0] == job_id and folder.master.is_file():
        log.info("%s is complete already (job %s); not encoding it again", folder.path, job_id)
        return recorded[1]
    if job_id and previous_holder == job_id and folder.path.is_dir():
        log.info("%s: taking over from an attempt of job %s that died", folder.path, job_id)
        leave_as_found(request, created=False)
    refuse_unless_new_or_empty(folder)
    return None


def run_and_record(request: JobRequest, plan: JobPlan) -> PackageResult:
    """Runs the job in its folder and records its result beside it; a job that does not
    finish leaves the folder as it found it."""
    log_fd = open_own(request.folder.log)
    try:
        created = prepare_out_dir(request.folder)
        try:
            result = run_job(request, plan, log_fd)
            write_record(request.folder, request.job_id, result)
            return result
        except BaseException:
            leave_as_found(request, created)
            raise
    finally:
        os.close(log_fd)


def refuse_unless_new_or_empty(folder: JobFolder) -> None:
    out = folder.path
    if out.exists() and (not out.is_dir() or any(out.iterdir())):
        raise FileExistsError(f"{out}: the package folder must be new or empty")


def prepare_out_dir(folder: JobFolder) -> bool:
    """Makes the folder if it is new; True when it was."""
    remove_own(folder.record)
    created = not folder.path.exists()
    folder.path.mkdir(exist_ok=True)
    if not os.access(folder.path, os.W_OK | os.X_OK):
        raise PermissionError(f"{folder.path}: the package folder is not writable")
    return created


def leave_as_found(request: JobRequest, created: bool) -> None:
    """A job that did not finish leaves its folder new or empty again, so that a retry
    can use it; only the log stays, beside the folder."""
    out = request.folder.path
    if out.is_dir() and not out.is_symlink():
        for entry in os.scandir(out):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
            else:
                pathlib.Path(entry.path).unlink(missing_ok=True)
        if created:
            out.rmdir()
    discard(request.key_dir, out)
