"""One job's work in its prepared folder: the key, the module in child processes that
are watched, then the check of every rendition and the measured master playlist."""

import concurrent.futures
import json
import logging
import os
import re
import signal
import subprocess
import sys
from dataclasses import dataclass

from . import ladder
from .early_master import Playable
from .job_folder import MASTER, JobFolder
from .keys import KeyInfo, caller_key_info, fresh_key_info
from .package_check import RenditionIncomplete, check_rendition
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
# When the master is published early, the module's own (unmeasured) master goes under
# this name, one per child, so that it never replaces ours even for a moment.
MODULE_MASTER = ".module-master-{}.m3u8"
# With early publishing the smallest rendition runs in a child of its own and the others
# in a second child at this lower priority, so that the smallest takes the CPU it wants
# and is ready first; the larger ones use what it leaves. None: one child for all.
BEHIND_NICE: int | None = 10


@dataclass(frozen=True)
class ChildCall:
    """What one child makes: the module's call for some of the job's renditions."""
    names: list[str]
    rates: list[int]
    master: str  # the name under which the module writes its own master, in the folder
    nice: int  # added to the child's nice value before it starts


def run_job(request: JobRequest, plan: JobPlan, log_fd: int) -> PackageResult:
    """The checked result; PackageError (its result saying what is known) when no
    rendition came out complete."""
    os.ftruncate(log_fd, 0)
    key = job_key(request)
    playable = Playable(request, plan.names, key)
    try:
        progress = run_children(request, plan, key, log_fd, playable)
        left = [name for name in plan.names if name not in playable.checked]
        checked, reasons = check_renditions(request, left, key)
    except PackageError as error:
        raise type(error)(str(error), outcome(request, plan.names, key, {}, {})) from None
    renditions = playable.finish(checked)
    result = outcome(request, plan.names, key, {rendition.name: rendition for rendition in renditions}, reasons)
    progress.report_final([rendition.duration for rendition in renditions])
    if not renditions:
        why = "; ".join(f"{name}: {reason}" for name, reason in reasons.items())
        raise PackageError(f"no rendition of {request.source} came out complete: {why}", result)
    write_measured_master(playable, result)
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


def child_calls(request: JobRequest, plan: JobPlan) -> list[ChildCall]:
    """One child for the whole job, writing the module's master as the master; with early
    publishing, the module's master under a name of its own, and the smallest rendition
    ahead of the others in a child of its own."""
    if not request.publish_early:
        return [ChildCall(plan.names, plan.rates, MASTER, 0)]
    rates = dict(zip(plan.names, plan.rates))
    smallest = min(plan.names, key=ladder.size)
    others = [name for name in plan.names if name != smallest]
    if not others or BEHIND_NICE is None:
        return [ChildCall(plan.names, plan.rates, MODULE_MASTER.format(0), 0)]
    return [ChildCall([smallest], [rates[smallest]], MODULE_MASTER.format(0), 0),
            ChildCall(others, [rates[name] for name in others], MODULE_MASTER.format(1), BEHIND_NICE)]


def run_children(request: JobRequest, plan: JobPlan, key: KeyInfo, log_fd: int,
                 playable: Playable) -> PlaylistProgress:
    """The module's calls in processes of their own, in the folder, their logs to `log_fd`."""
    log.info("packaging %s into %s: %s at %s", request.source, request.folder.path, plan.names, plan.rates)
    progress = PlaylistProgress(request.folder.path, plan.names, plan.duration, request.on_progress)
    calls = child_calls(request, plan)
    children: list[subprocess.Popen] = []
    try:
        for call in calls:  # one by one: a child that started is stopped if the next cannot start
            children.append(start_child(request, call, key, log_fd))
        watch(children, request, progress, playable)
    finally:
        for child in children:
            stop(child)
        for call in calls:
            if call.master != MASTER:
                (request.folder.path / call.master).unlink(missing_ok=True)
    return progress


def start_child(request: JobRequest, call: ChildCall, key: KeyInfo, log_fd: int) -> subprocess.Popen:
    """A child in a process group of its own, so that stopping it stops all it started."""
    arguments = {"source": request.source, "resolution": call.names, "bitrate": call.rates,
                 "key_info": str(key.path), "master": call.master, "nice": call.nice}
    return subprocess.Popen([sys.executable, "-m", "kestrava_jobs.child", json.dumps(arguments), str(os.getpid())],
                            cwd=request.folder.path, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=log_fd, start_new_session=True)


def watch(children: list[subprocess.Popen], request: JobRequest, progress: PlaylistProgress,
          playable: Playable) -> None:
    """Until every child has ended: progress, renditions ready early, the time-out and cancelling."""
    while running := [child for child in children if child.poll() is None]:
        try:
            running[0].wait(timeout=POLL_SECONDS)
        except subprocess.TimeoutExpired:
            pass
        progress.poll()
        playable.poll()
        if request.deadline.passed():
            raise request.deadline.expired()
        if request.cancel is not None and request.cancel.is_set():
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


def write_measured_master(playable: Playable, result: PackageResult) -> None:
    master = playable.request.folder.master
    try:
        playable.publish()
    except OSError as error:
        raise PackageError(f"{master}: the master playlist could not be written: {error.strerror}", result) from None


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

