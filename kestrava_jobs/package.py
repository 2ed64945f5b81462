"""package_video: one kestrava job in a child process, watched, checked and finished."""

import json
import logging
import os
import pathlib
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Sequence

from . import ladder
from .keys import KeyInfo, beside, caller_key_info, fresh_key_info
from .package_check import check_rendition, listed_names, playlist_seconds, write_master
from .result import PackageError, PackageResult, PackageTimeout
from .source_info import probe_source

log = logging.getLogger(__name__)

ProgressCallback = Callable[[float, float | None], None]
POLL_SECONDS = 0.5
LOG_TAIL_LINES = 20


def package_video(source: str | os.PathLike, out_dir: str | os.PathLike, *,
                  resolution: Sequence[str] | None = None, bitrate: Sequence[int] | None = None,
                  key_info: str | os.PathLike | None = None, key_uri: str = "enc.key",
                  timeout: float | None = None, on_progress: ProgressCallback | None = None) -> PackageResult:
    """Packages `source` as encrypted HLS into `out_dir`, which must be new or empty.

    The call runs in a child process, so the caller's threads keep running. Without
    `key_info` a fresh key is made; the key and its key info file live next to
    `out_dir` (<out_dir>.key, <out_dir>.keyinfo), never inside it. FFmpeg's log goes
    to <out_dir>.log. Raises PackageTimeout when `timeout` seconds pass, and
    PackageError when no rendition comes out complete.
    """
    started = time.monotonic()
    out = prepare_out_dir(pathlib.Path(out_dir))
    source_arg = local_path_made_absolute(os.fspath(source))
    info = probe_source(source_arg)
    names = list(resolution) if resolution is not None else ladder.default_names(info.shown_size)
    rates = [int(rate) for rate in bitrate] if bitrate is not None else ladder.default_bitrates(names)
    key = caller_key_info(out, key_info) if key_info is not None else fresh_key_info(out, key_uri)
    log_path = beside(out, ".log")
    result = PackageResult(source=source_arg, out_dir=str(out), master=str(out / "master.m3u8"),
                           log=str(log_path), seconds=0.0)
    log.info("packaging %s into %s: %s at %s", source_arg, out, names, rates)

    call = {"source": source_arg, "resolution": names, "bitrate": rates, "key_info": str(key.path)}
    progress = Progress(out, names, info.duration, on_progress)
    with log_path.open("wb") as log_file:
        child = subprocess.Popen([sys.executable, "-m", "kestrava_jobs.child", json.dumps(call), str(os.getpid())],
                                 cwd=out, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=log_file, start_new_session=True)
        try:
            wait(child, None if timeout is None else started + timeout, progress)
        except PackageTimeout as timed_out:
            result.seconds = time.monotonic() - started
            result.log_tail = tail(log_path)
            timed_out.result = result
            raise
        finally:
            stop(child)
    finish(result, out, names, key)
    result.seconds = round(time.monotonic() - started, 3)
    progress.report_final([result.renditions[name].duration for name in result.complete])
    if not result.complete:
        raise PackageError(f"no rendition of {source_arg} came out complete; the log ends:\n{result.log_tail}",
                           result)
    return result


def prepare_out_dir(out: pathlib.Path) -> pathlib.Path:
    out = out.expanduser().resolve()
    if out.exists() and (not out.is_dir() or any(out.iterdir())):
        raise FileExistsError(f"{out}: the package folder must be new or empty")
    out.mkdir(parents=True, exist_ok=True)
    return out


def local_path_made_absolute(source: str) -> str:
    """The child works in the package folder, so a relative path would lose its way.
    URLs ("scheme://...", "file:...") are handed over as they are."""
    if "://" in source or source.startswith("file:"):
        return source
    return str(pathlib.Path(source).expanduser().resolve())


class Progress:
    """Reports the seconds the slowest rendition has written so far, from the
    growing media playlists, whenever that figure moves."""

    def __init__(self, out: pathlib.Path, names: list[str], total: float | None,
                 callback: ProgressCallback | None) -> None:
        self.playlists = [out / f"{name}.m3u8" for name in dict.fromkeys(names)]
        self.total = total
        self.callback = callback
        self.reported: float | None = None

    def poll(self) -> None:
        if self.callback is None:
            return
        started = [playlist_seconds(p) for p in self.playlists if p.exists()]
        done = min(started) if started else 0.0
        if done != self.reported:
            self.reported = done
            self.callback(done, self.total)

    def report_final(self, complete_durations: list[float]) -> None:
        if self.callback is not None:
            self.callback(min(complete_durations) if complete_durations else 0.0, self.total)


def wait(child: subprocess.Popen, deadline: float | None, progress: Progress) -> None:
    while True:
        try:
            child.wait(timeout=POLL_SECONDS)
            return
        except subprocess.TimeoutExpired:
            pass
        progress.poll()
        if deadline is not None and time.monotonic() > deadline:
            stop(child)
            raise PackageTimeout(f"the job ran past its time-out and was killed (pid {child.pid})")


def stop(child: subprocess.Popen) -> None:
    """Kills the child's whole process group, if it still runs, and reaps it."""
    if child.poll() is None:
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        child.wait()


def finish(result: PackageResult, out: pathlib.Path, requested: list[str], key: KeyInfo) -> None:
    """Checks every rendition the module listed, then rewrites the master to list
    only the complete ones, with the attributes measured from what was written."""
    master = out / "master.m3u8"
    for name in listed_names(master):
        checked = check_rendition(out, name, key)
        if checked is not None:
            result.renditions[name] = checked
    result.complete = list(result.renditions)
    # Names the module skipped (outside the ladder) failed as surely as broken ones.
    result.failed = [name for name in dict.fromkeys(requested) if name not in result.renditions]
    if master.exists():
        write_master(master, list(result.renditions.values()))
    result.log_tail = tail(pathlib.Path(result.log))


def tail(path: pathlib.Path, lines: int = LOG_TAIL_LINES) -> str:
    try:
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return ""
