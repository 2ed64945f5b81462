"""What a job needs of the place its package lives in, as two interfaces. Every write into
a package and every read of one (for the checks and the preview) goes through `Package`;
the job's own state (its claim, its record, its log) through `JobState`, which lives beside
the package, never in it. A folder of this machine (folder.JobFolder, folder_state.FolderState)
and a prefix of a bucket (bucket.BucketPackage, bucket_state.BucketState) implement both;
the job's steps know nothing else of them.

The module writes a rendition into a local work folder; `put_rendition` moves it in,
segments first and its playlist last, so that a listed segment is always there. The
master is replaced whole, so that a player never reads half of one."""

import contextlib
import pathlib
from collections.abc import Callable
from typing import Protocol

from ..common.result import PackageBusy, PackageResult
from .names import MASTER

# Whether the job that named itself in a claim still runs.
IsLive = Callable[[str], bool]


class Package(Protocol):
    """The package's files, by the names its playlists list them by."""
    location: str  # how results name the package

    def location_of(self, name: str) -> str: ...  # a file's location, as results name it
    def work_folder(self) -> pathlib.Path: ...  # where the module writes renditions before they go in
    def put_rendition(self, work: pathlib.Path, name: str) -> None: ...  # segments first, the playlist last
    def put_master(self, text: str, final: bool = True) -> None: ...  # replaced whole; early ones not final
    def remove_master(self) -> None: ...  # no rendition is playable any more
    # A growing rendition: a private folder of the job's own to make it in, each segment
    # put as its bytes were checked (and its file in the folder removed), and its media
    # playlist, replaced whole, that changes until it ends.
    def growing_folder(self) -> pathlib.Path: ...
    def put_segment(self, work: pathlib.Path, file: str, data: bytes) -> None: ...
    def put_playlist(self, name: str, text: str, ended: bool) -> None: ...
    def put_side_file(self, name: str, data: bytes) -> None: ...  # a caption, a poster: replaced whole
    def names(self) -> list[str]: ...
    def read(self, name: str) -> bytes: ...
    def has(self, name: str) -> bool: ...
    def exists(self) -> bool: ...  # the package is there, written to or not
    def refuse_unless_empty(self) -> None: ...  # FileExistsError unless new or empty
    def prepare(self) -> bool: ...  # ready to be written; True when it was made new
    def remove_put(self, created: bool) -> None: ...  # everything the job put taken out again
    def confirm(self) -> None: ...  # PackageError unless all the job put is there as it was put
    # How each named file stands in the package now, without reading a bucket's objects:
    # equal only while the bytes are. FileNotFoundError for one that is missing.
    def fingerprints(self, names: list[str]) -> list[str]: ...
    def finish(self) -> None: ...  # the job's local work removed, the package as it is


class JobState(Protocol):
    """The job's own state beside its package. A job on one machine holds the package for
    its length (`holding`); a spread job claims it by name from its start to its end."""
    location: str  # the package's, as refusals name it

    def holding(self, job_id: str | None) -> contextlib.AbstractContextManager[str]: ...
    def claim(self, job_id: str, is_live: IsLive) -> None: ...
    def release(self, job_id: str) -> None: ...
    def holder(self) -> str: ...  # the job id the claim names
    def write_record(self, job_id: str | None, result: PackageResult) -> None: ...
    def read_record(self) -> tuple[str | None, PackageResult] | None: ...
    def clear_record(self) -> None: ...  # the job has not finished (yet)
    # FFmpeg's log, emptied: a descriptor for the block's children to write to, closed at its end.
    def writing_log(self) -> contextlib.AbstractContextManager[int]: ...
    def read_log(self) -> str: ...
    @property
    def log_location(self) -> str: ...


def busy(location: str, holder: str | None = None) -> PackageBusy:
    """The one refusal of a package another live job holds."""
    return PackageBusy(f"{location}: another job is packaging into this folder", holder or None)


def finished_before(package: Package, state: JobState, job_id: str | None) -> PackageResult | None:
    """The recorded result when this very job finished the package before."""
    recorded = state.read_record() if job_id else None
    if recorded is None or recorded[0] != job_id or not package.has(MASTER):
        return None
    return recorded[1]


class Staging(Protocol):
    """What a job spread over a cluster shares between its steps, whichever worker runs
    each: small records by name, one-holder locks on its steps, each rendition's log, and
    a fresh folder for the module to make a rendition in."""
    location: str

    def begin(self) -> None: ...  # empty; what a dead attempt left is dropped
    def end(self) -> None: ...  # everything gone
    def read(self, name: str) -> bytes | None: ...  # None when it was never written
    def write(self, name: str, data: bytes) -> None: ...  # replaced whole
    def remove(self, name: str) -> None: ...
    # The step's lock while the block runs: True when this block holds it, False when
    # another holder has it (`wait`: until it is free).
    def holding(self, step: str, wait: bool = False) -> contextlib.AbstractContextManager[bool]: ...
    def writing_log(self, name: str) -> contextlib.AbstractContextManager[int]: ...  # emptied first
    def take_log(self, name: str) -> bytes: ...  # a rendition's log, read and removed
    def work_folder(self, name: str) -> pathlib.Path: ...  # new and empty, of this worker's own
    def drop_work_folder(self, name: str) -> None: ...
