"""What several test files share beyond media: the sanitizer's skip, a one-rendition job,
and the job children a test watches."""

import os
import pathlib

import pytest

from kestrava_jobs.job.children import CHILD_MODULE
from media import run_job, write_key_info

SANITIZED = os.environ.get("KESTRAVA_SANITIZED") == "1"
# The interpreter's sanitizer runtime is preloaded; another process that loads the
# instrumented module (a job's child, another Python) would not have it first.
needs_unsanitized_module = pytest.mark.skipif(
    SANITIZED, reason="a process here loads the module without the sanitizer's runtime")


def finished(playlist: pathlib.Path) -> bool:
    return playlist.exists() and playlist.read_text().rstrip().endswith("#EXT-X-ENDLIST")


def job_360p(folder: pathlib.Path, source: pathlib.Path, *, iv: bool = True) -> pathlib.Path:
    """The bare call for 360p at 400 kb/s in `folder`; its playlist, finished."""
    write_key_info(folder, iv=iv)
    run_job(folder, str(source), "master.m3u8", ["360p"], [400000])
    playlist = folder / "360p.m3u8"
    assert finished(playlist)
    return playlist


def running(pid: int) -> bool:
    """Alive and not a zombie waiting for whoever inherited it to reap it."""
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def job_children(out: pathlib.Path) -> list[int]:
    """Pids of kestrava_jobs child processes still working in `out`."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if CHILD_MODULE.encode() in (entry / "cmdline").read_bytes() and \
                    os.readlink(entry / "cwd") == str(out) and running(int(entry.name)):
                found.append(int(entry.name))
        except (OSError, ValueError):
            pass
    return found


# Cases that start servers or hold time or memory to bounds go to one pytest-xdist worker,
# where they run one after another rather than beside each other.
quiet = pytest.mark.xdist_group("quiet")
