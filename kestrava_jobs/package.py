"""package_video: one kestrava job in a child process, watched, checked and finished."""

import concurrent.futures
import json
import logging
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Sequence

from . import ladder
from .deadline import Deadline
from .job_files import beside, lock_folder, open_own, read_own, refuse_foreign, remove_own, rewrite_own
from .keys import KeyInfo, caller_key_info, default_key_dir, discard, fresh_key_info, ready_key_dir
from .package_check import check_rendition, listed_names, playlist_seconds, write_master
from .result import PackageBusy, PackageCancelled, PackageError, PackageResult, PackageTimeout
from .source_info import probe_source
from .validate import (check_bitrates, check_key_info, check_key_uri, check_names, check_out_dir, check_source,
                       check_timeout)

log = logging.getLogger(__name__)

ProgressCallback = Callable[[float, float | None], None]
POLL_SECONDS = 0.25
LOG_TAIL_LINES = 20
# FFmpeg's lines that say why something failed, as opposed to its statistics.
CAUSE = re.compile(r"error|invalid|fail|cannot|could not|unable|no such|not found|denied", re.IGNORECASE)


def package_video(source: str | os.PathLike, out_dir: str | os.PathLike, *,
                  resolution: Sequence[str] | None = None, bitrate: Sequence[int] | None = None,
                  key_info: str | os.PathLike | None = None, key_uri: str = "enc.key",
                  key_dir: str | os.PathLike | None = None, timeout: float | None = None,
                  on_progress: ProgressCallback | None = None, job_id: str | None = None,
                  cancel: threading.Event | None = None) -> PackageResult:
    """Packages `source` as encrypted HLS into `out_dir`, which must be new or empty.

    The call runs in a child process, so the caller's threads keep running. Without
    `key_info` a fresh key is made. Keys live in `key_dir` (default: $KESTRAVA_KEY_DIR,
    else ~/.local/state/kestrava/keys), never in or beside the package. FFmpeg's log
    goes to <out_dir>.log. One job at a time holds a folder (<out_dir>.lock).

    Arguments are checked before any file is made (TypeError, ValueError,
    FileNotFoundError). Raises PackageBusy when another job holds the folder,
    PackageTimeout when `timeout` seconds pass (probe, encoding and checks together),
    PackageCancelled when `cancel` is set, and PackageError when no rendition comes out
    complete; in each of these cases the folder is left as it was found.

    `job_id` names the job for task runners: a second delivery of a job whose package is
    already complete returns the recorded result without encoding again.
    """
    started = time.monotonic()
    source_arg = check_source(source)
    out = check_out_dir(out_dir)
    names = check_names(resolution)
    rates = check_bitrates(bitrate, names or [rung.name for rung in ladder.LADDER])
    key_uri = check_key_uri(key_uri)
    given_key_info = check_key_info(key_info)
    deadline = Deadline(check_timeout(timeout))
    keys_at = ready_key_dir(pathlib.Path(key_dir) if key_dir is not None else default_key_dir())

    if job_id is None:
        refuse_unless_new_or_empty(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    lock_path = beside(out, ".lock")
    lock = lock_folder(lock_path)
    if lock is None:
        holder = (read_own(lock_path) or b"").decode(errors="replace").strip()
        raise PackageBusy(f"{out}: another job is packaging into this folder", holder or None)
    try:
        previous_holder = os.pread(lock, 256, 0).decode(errors="replace")
        # A duplicate delivery sees who holds the folder.
        os.ftruncate(lock, 0)
        os.write(lock, (job_id or "").encode())
        record = beside(out, ".done.json")
        refuse_foreign(record)
        earlier = finished_earlier(out, job_id)
        if earlier is not None:
            log.info("%s is complete already (job %s); not encoding it again", out, job_id)
            return earlier
        if job_id and previous_holder == job_id and out.is_dir():
            # An earlier attempt of this very job died with its process, mid-way.
            log.info("%s: taking over from an attempt of job %s that died", out, job_id)
            leave_as_found(out, created=False, keys_at=keys_at)
        refuse_unless_new_or_empty(out)
        log_fd = open_own(beside(out, ".log"))
        try:
            created = prepare_out_dir(out)
            try:
                result = run_job(source_arg, out, names, rates, given_key_info, key_uri, keys_at, deadline,
                                 on_progress, cancel, log_fd)
                result.seconds = round(time.monotonic() - started, 3)
                rewrite_own(record, json.dumps({"job_id": job_id, "result": result.to_dict()}).encode())
            except BaseException:
                leave_as_found(out, created, keys_at)
                raise
        finally:
            os.close(log_fd)
        return result
    finally:
        os.close(lock)


def refuse_unless_new_or_empty(out: pathlib.Path) -> None:
    if out.exists() and (not out.is_dir() or any(out.iterdir())):
        raise FileExistsError(f"{out}: the package folder must be new or empty")


def prepare_out_dir(out: pathlib.Path) -> bool:
    """Makes the folder if it is new; True when it was."""
    remove_own(beside(out, ".done.json"))
    created = not out.exists()
    out.mkdir(exist_ok=True)
    if not os.access(out, os.W_OK | os.X_OK):
        raise PermissionError(f"{out}: the package folder is not writable")
    return created


def finished_earlier(out: pathlib.Path, job_id: str | None) -> PackageResult | None:
    """The recorded result of this very job, when its package is complete in the folder."""
    recorded = read_own(beside(out, ".done.json")) if job_id else None
    if recorded is None:
        return None
    try:
        record = json.loads(recorded)
    except ValueError:
        return None
    if record.get("job_id") != job_id or not (out / "master.m3u8").is_file():
        return None
    return PackageResult.from_dict(record["result"])


def leave_as_found(out: pathlib.Path, created: bool, keys_at: pathlib.Path) -> None:
    """A job that did not finish leaves its folder new or empty again, so that a retry
    can use it; only the log stays, beside the folder."""
    if out.is_dir() and not out.is_symlink():
        for entry in os.scandir(out):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
            else:
                pathlib.Path(entry.path).unlink(missing_ok=True)
        if created:
            out.rmdir()
    discard(keys_at, out)


def run_job(source: str, out: pathlib.Path, names: list[str] | None, rates: list[int] | None,
            given_key_info: pathlib.Path | None, key_uri: str, keys_at: pathlib.Path, deadline: Deadline,
            on_progress: ProgressCallback | None, cancel: threading.Event | None, log_fd: int) -> PackageResult:
    log_path = beside(out, ".log")
    os.ftruncate(log_fd, 0)
    key = (caller_key_info(keys_at, out, given_key_info) if given_key_info is not None
           else fresh_key_info(keys_at, out, key_uri))
    result = PackageResult(source=source, out_dir=str(out), master=str(out / "master.m3u8"),
                           log=str(log_path), seconds=0.0, key_file=str(key.key_file), key_uri=key.uri)
    try:
        info = probe_source(source, deadline)
        names = names or ladder.default_names(info.shown_size)
        rates = [*(rates or []), *ladder.default_bitrates(names[len(rates or []):])]
        log.info("packaging %s into %s: %s at %s", source, out, names, rates)
        call = {"source": source, "resolution": names, "bitrate": rates, "key_info": str(key.path)}
        progress = Progress(out, names, info.duration, on_progress)
        child = subprocess.Popen([sys.executable, "-m", "kestrava_jobs.child", json.dumps(call), str(os.getpid())],
                                 cwd=out, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=log_fd, start_new_session=True)
        try:
            wait(child, deadline, progress, cancel)
        finally:
            stop(child)
        finish(result, out, names, key, deadline)
    except subprocess.TimeoutExpired as expired:
        raise PackageTimeout(f"the job ran past its time-out ({expired.cmd[0]} was still running)",
                             result) from None
    except PackageError as error:
        error.result = error.result or result
        raise
    progress.report_final([result.renditions[name].duration for name in result.complete])
    if not result.complete:
        raise PackageError(f"no rendition of {source} came out complete: {cause(log_path)}", result)
    return result


def cause(log_path: pathlib.Path) -> str:
    """The first line of the log that says why, or its last line."""
    lines = [line.strip() for line in tail(log_path, lines=0).splitlines() if line.strip()]
    reasons = [line for line in lines if CAUSE.search(line)]
    return (reasons or lines or ["the log is empty"])[0]


class Progress:
    """Reports the seconds every rendition has written so far, from the growing media
    playlists: (0, total) at once, then whenever the slowest one moves on (a playlist
    not written yet counts as 0 s), and (total, total) once the job has ended. The
    figure never goes back."""

    def __init__(self, out: pathlib.Path, names: list[str], total: float | None,
                 callback: ProgressCallback | None) -> None:
        self.playlists = [out / f"{name}.m3u8" for name in dict.fromkeys(names)]
        self.total = total
        self.callback = callback
        self.reported = 0.0
        if callback is not None:
            callback(0.0, total)

    def poll(self) -> None:
        if self.callback is None:
            return
        done = min(playlist_seconds(playlist) for playlist in self.playlists)
        if done > self.reported:
            self.reported = done
            self.callback(done, self.total)

    def report_final(self, complete_durations: list[float]) -> None:
        if self.callback is not None:
            final = self.total if self.total is not None else min(complete_durations, default=0.0)
            self.callback(max(final, self.reported), self.total)


def wait(child: subprocess.Popen, deadline: Deadline, progress: Progress,
         cancel: threading.Event | None) -> None:
    while True:
        try:
            child.wait(timeout=POLL_SECONDS)
            return
        except subprocess.TimeoutExpired:
            pass
        progress.poll()
        if deadline.passed():
            stop(child)
            raise PackageTimeout(f"the job ran past its time-out and was killed (pid {child.pid})")
        if cancel is not None and cancel.is_set():
            stop(child)
            raise PackageCancelled("the job was cancelled")


def stop(child: subprocess.Popen) -> None:
    """Kills the child's whole process group, if it still runs, and reaps it."""
    if child.poll() is None:
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        child.wait()


def finish(result: PackageResult, out: pathlib.Path, requested: list[str], key: KeyInfo,
           deadline: Deadline) -> None:
    """Checks every rendition the module listed, then rewrites the master to list
    only the complete ones, with the attributes measured from what was written."""
    master = out / "master.m3u8"
    names = listed_names(master)
    # The renditions are checked side by side: most of the time is ffprobe's start-up.
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        checked = list(pool.map(lambda name: check_rendition(out, name, key, deadline), names))
    for name, rendition in zip(names, checked):
        if rendition is not None:
            result.renditions[name] = rendition
    result.complete = list(result.renditions)
    # Names the module skipped failed as surely as broken ones.
    result.failed = [name for name in dict.fromkeys(requested) if name not in result.renditions]
    result.log_tail = tail(pathlib.Path(result.log))
    if result.complete:
        try:
            write_master(master, list(result.renditions.values()))
        except OSError as error:
            raise PackageError(f"{master}: the master playlist could not be written: {error.strerror}",
                               result) from None


def tail(path: pathlib.Path, lines: int = LOG_TAIL_LINES) -> str:
    """The log's last lines (all of them for 0)."""
    try:
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return ""
