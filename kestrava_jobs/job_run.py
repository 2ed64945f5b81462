"""One job's work in its prepared folder: the key, the module in a child process that
is watched, then the check of every rendition and the measured master playlist."""

import concurrent.futures
import json
import logging
import os
import re
import signal
import subprocess
import sys

from .job_folder import JobFolder
from .keys import KeyInfo, caller_key_info, fresh_key_info
from .package_check import RenditionIncomplete, check_rendition, write_master
from .progress import PlaylistProgress
from .request import JobPlan, JobRequest
from .result import PackageCancelled, PackageError, PackageResult, RenditionResult

log = logging.getLogger(__name__)

POLL_SECONDS = 0.25
LOG_TAIL_LINES = 20
# FFmpeg's lines that say why something failed, as opposed to its statistics.
CAUSE = re.compile(r"error|invalid|fail|cannot|could not|unable|no such|not found|denied", re.IGNORECASE)
STATISTICS = re.compile(r"using cpu capabilities|kb/s:|Qavg|frame [IPB]:|final ratefactor")
ADDRESS = re.compile(r" @ 0x[0-9a-f]+\]")


def run_job(request: JobRequest, plan: JobPlan, log_fd: int) -> PackageResult:
    """The checked result; PackageError (its result saying what is known) when no
    rendition came out complete."""
    os.ftruncate(log_fd, 0)
    key = job_key(request)
    try:
        progress = run_child(request, plan, key, log_fd)
        checked, reasons = check_renditions(request, plan.names, key)
    except PackageError as error:
        raise type(error)(str(error), outcome(request, plan.names, key, {}, {})) from None
    result = outcome(request, plan.names, key, checked, reasons)
    progress.report_final([rendition.duration for rendition in checked.values()])
    if not checked:
        why = "; ".join(f"{name}: {reason}" for name, reason in reasons.items())
        raise PackageError(f"no rendition of {request.source} came out complete: {why}", result)
    write_measured_master(request.folder, list(checked.values()), result)
    return result


def job_key(request: JobRequest) -> KeyInfo:
    if request.key_info is not None:
        return caller_key_info(request.key_dir, request.folder.path, request.key_info)
    return fresh_key_info(request.key_dir, request.folder.path, request.key_uri)


def outcome(request: JobRequest, names: list[str], key: KeyInfo, checked: dict[str, RenditionResult],
            reasons: dict[str, str]) -> PackageResult:
    """The job's result. A fresh key is named only when a package keeps it: a failed job's is removed."""
    folder = request.folder
    key_kept = bool(checked) or request.key_info is not None
    return PackageResult(source=request.source, out_dir=str(folder.path), master=str(folder.master),
                         log=str(folder.log), seconds=request.deadline.elapsed(),
                         key_file=str(key.key_file) if key_kept else "", key_uri=key.uri, complete=list(checked),
                         failed=[name for name in names if name not in checked], reasons=reasons,
                         renditions=checked, log_tail=tail(folder, LOG_TAIL_LINES))


def run_child(request: JobRequest, plan: JobPlan, key: KeyInfo, log_fd: int) -> PlaylistProgress:
    """The module's call in a process of its own, in the folder, its log to `log_fd`."""
    call = {"source": request.source, "resolution": plan.names, "bitrate": plan.rates, "key_info": str(key.path)}
    log.info("packaging %s into %s: %s at %s", request.source, request.folder.path, plan.names, plan.rates)
    progress = PlaylistProgress(request.folder.path, plan.names, plan.duration, request.on_progress)
    child = subprocess.Popen([sys.executable, "-m", "kestrava_jobs.child", json.dumps(call), str(os.getpid())],
                             cwd=request.folder.path, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=log_fd, start_new_session=True)
    try:
        watch(child, request, progress)
    finally:
        stop(child)
    return progress


def watch(child: subprocess.Popen, request: JobRequest, progress: PlaylistProgress) -> None:
    """Until the child ends: progress, the time-out and cancelling."""
    while True:
        try:
            child.wait(timeout=POLL_SECONDS)
            return
        except subprocess.TimeoutExpired:
            pass
        progress.poll()
        if request.deadline.passed():
            stop(child)
            raise request.deadline.expired()
        if request.cancel is not None and request.cancel.is_set():
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


def check_renditions(request: JobRequest, names: list[str],
                     key: KeyInfo) -> tuple[dict[str, RenditionResult], dict[str, str]]:
    """The complete renditions' figures, and why each other one failed."""
    # Side by side: most of the time is ffprobe's start-up.
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        found = list(pool.map(lambda name: checked_or_reason(request, name, key), names))
    checked = {name: one for name, one in zip(names, found) if isinstance(one, RenditionResult)}
    reasons = {name: one for name, one in zip(names, found) if isinstance(one, str)}
    return checked, reasons


def checked_or_reason(request: JobRequest, name: str, key: KeyInfo) -> RenditionResult | str:
    try:
        return check_rendition(request.folder.path, name, key, request.deadline)
    except subprocess.TimeoutExpired:
        raise request.deadline.expired() from None
    except RenditionIncomplete as incomplete:
        log.warning("%s of %s: %s", name, request.source, incomplete)
        said = ffmpeg_cause(request.folder) if incomplete.by_module else None
        return f"{incomplete} (FFmpeg: {said})" if said else str(incomplete)


def write_measured_master(folder: JobFolder, renditions: list[RenditionResult], result: PackageResult) -> None:
    try:
        write_master(folder.master, renditions)
    except OSError as error:
        raise PackageError(f"{folder.master}: the master playlist could not be written: {error.strerror}",
                           result) from None


def ffmpeg_cause(folder: JobFolder) -> str | None:
    """The first line of FFmpeg's log that says why something failed; never statistics."""
    lines = (line.strip() for line in tail(folder, 0).splitlines())
    return next((ADDRESS.sub("]", line) for line in lines if CAUSE.search(line) and not STATISTICS.search(line)),
                None)


def tail(folder: JobFolder, lines: int) -> str:
    """The log's last lines (all of them for 0)."""
    try:
        return "\n".join(folder.log.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return ""

