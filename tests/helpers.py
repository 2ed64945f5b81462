"""What several test files share beyond media: the sanitizer's skip, a one-rendition job,
and the job children a test watches; a spread job at its last step."""

import json
import os
import pathlib
import shutil
from collections.abc import Callable

import pytest
from media import run_job, write_key_info

from kestrava_jobs import PackageResult, ladder
from kestrava_jobs.cluster import rendition_record
from kestrava_jobs.cluster.spread_job import SpreadJob
from kestrava_jobs.job.children import CHILD_MODULE
from kestrava_jobs.storage.folder import JobFolder
from kestrava_jobs.storage.keys import key_info_named, key_name, ready_key_dir
from kestrava_jobs.storage.staging import FolderStaging

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


def end_of(packaged: PackageResult, key_info: pathlib.Path, tmp_path: pathlib.Path) -> Callable[..., SpreadJob]:
    """`ended(parts, failed, recorded)`: a spread job at its last step on renditions copied
    from finished packages made under `key_info`, a fresh folder for each; `failed` as their
    tasks record a failure for good, `recorded` as they record a rendition once checked."""

    def ended(parts: dict[str, str], failed: dict[str, str], recorded=()) -> SpreadJob:
        folder = JobFolder(tmp_path / f"out_{len(list(tmp_path.glob('out_*')))}")
        folder.path.mkdir()
        folder.state.staging.mkdir()
        folder.state.lock.write_text("job")
        for name, package in parts.items():
            for file in pathlib.Path(package).glob(f"{name}*"):
                shutil.copy(file, folder.path)
        for name, reason in failed.items():
            (folder.state.staging / f"{name}.json").write_text(json.dumps({"failed": reason}))
        for name in recorded:  # as its rendition task records it once checked
            rendition_record.write_made(FolderStaging(folder.state.staging), packaged.renditions[name],
                                        rendition_record.digests(folder, name))
        names = list(packaged.complete)
        # The job's key where its workers find it: the key folder, by the package's key name.
        shutil.copy(key_info, key_info_named(ready_key_dir(None), key_name(folder.location)))
        return SpreadJob(job_id="job", source="upload.mp4", folder=folder, names=names,
                         rates=[ladder.BY_NAME[name].bitrate for name in names], key_name=key_name(folder.location),
                         key_uri="enc.key", timeout=None, deadline_at=None, publish="end",
                         total=max(rendition.duration for rendition in packaged.renditions.values()))

    return ended


def priority_of(pid: int) -> tuple[int, int | None]:
    """A process's nice value, and that of its session's group where the kernel groups
    sessions (autogroup; None elsewhere)."""
    group = pathlib.Path(f"/proc/{pid}/autogroup")
    return os.getpriority(os.PRIO_PROCESS, pid), int(group.read_text().split()[-1]) if group.exists() else None


def job_children_under(folder: pathlib.Path) -> list[tuple[int, int]]:
    """(pid, parent pid) of the jobs' child processes working below `folder`."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if CHILD_MODULE.encode() in (entry / "cmdline").read_bytes() and \
                    os.readlink(entry / "cwd").startswith(str(folder)):
                parent = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
                found.append((int(entry.name), parent))
        except (OSError, ValueError):
            pass
    return found
