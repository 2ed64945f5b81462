"""A package in a folder of this machine, and the job's own files beside it, named as
names.py says. The one implementation of the package seam (seam.py) today."""

import contextlib
import json
import os
import pathlib
import shutil
from collections.abc import Iterator
from dataclasses import dataclass

import m3u8

from ..common.result import PackageBusy, PackageResult
from . import names
from .own_files import create_new, lock_folder, open_own, read_own, refuse_foreign, remove_own, rewrite_own
from .seam import IsLive, busy

# The lock file holds the id of the job that holds the folder, and nothing else.
HOLDER_BYTES = 256


@dataclass(frozen=True)
class LocalFiles:
    """The files in a folder of this machine, read by the names a playlist lists them by:
    the folder the module made renditions in, before they are put into their package."""
    path: pathlib.Path

    def names(self) -> list[str]:
        return sorted(entry.name for entry in os.scandir(self.path) if entry.is_file(follow_symlinks=False))

    def read(self, name: str) -> bytes:
        return (self.path / names.file_name(name)).read_bytes()

    def has(self, name: str) -> bool:
        return (self.path / names.file_name(name)).is_file()


@dataclass(frozen=True)
class JobFolder:
    path: pathlib.Path  # absolute, its parent free of links

    def beside(self, suffix: str) -> pathlib.Path:
        return self.path.with_name(self.path.name + suffix)

    @property
    def lock(self) -> pathlib.Path:
        return self.beside(names.LOCK)

    @property
    def log(self) -> pathlib.Path:
        return self.beside(names.LOG)

    @property
    def record(self) -> pathlib.Path:
        return self.beside(names.RECORD)

    @property
    def staging(self) -> pathlib.Path:
        return self.beside(names.STAGING)

    @property
    def master(self) -> pathlib.Path:
        return self.path / names.MASTER

    def __fspath__(self) -> str:
        return str(self.path)

    # The package's files.

    @property
    def location(self) -> str:
        return str(self.path)

    def location_of(self, name: str) -> str:
        return str(self.path / name)

    def work_folder(self) -> pathlib.Path:
        """The module writes straight into the folder: its renditions are in place once made."""
        return self.path

    def put_rendition(self, work: pathlib.Path, name: str) -> None:
        """Segments first and the playlist last, so that a listed segment is always there;
        whatever else the module left in `work` stays there."""
        if work == self.path:
            return
        playlist = work / names.playlist(name)
        for segment in m3u8.loads(playlist.read_text()).segments:
            file = names.file_name(segment.uri)
            os.rename(work / file, self.path / file)
        os.rename(playlist, self.path / playlist.name)

    def put_master(self, text: str) -> None:
        self.put_side_file(names.MASTER, text.encode())

    def put_side_file(self, name: str, data: bytes) -> None:
        """In place whole: a temporary file, then a rename. Whatever lies under the
        temporary file's name (a link planted there) is removed, never written through."""
        partial = self.path / names.partial(name)
        partial.unlink(missing_ok=True)
        create_new(partial, data, mode=0o644)
        os.replace(partial, self.path / name)

    def names(self) -> list[str]:
        return LocalFiles(self.path).names()

    def read(self, name: str) -> bytes:
        return LocalFiles(self.path).read(name)

    def has(self, name: str) -> bool:
        return LocalFiles(self.path).has(name)

    def exists(self) -> bool:
        return self.path.is_dir()

    def refuse_unless_empty(self) -> None:
        if self.path.exists() and (not self.path.is_dir() or any(self.path.iterdir())):
            raise FileExistsError(f"{self.path}: the package folder must be new or empty")

    def prepare(self) -> bool:
        """Makes the folder if it is new; True when it was."""
        remove_own(self.record)
        created = not self.path.exists()
        self.path.mkdir(exist_ok=True)
        if not os.access(self.path, os.W_OK | os.X_OK):
            raise PermissionError(f"{self.path}: the package folder is not writable")
        return created

    def remove_put(self, created: bool) -> None:
        """The folder new or empty again, as a job that did not finish leaves it."""
        if not self.path.is_dir() or self.path.is_symlink():
            return
        for entry in os.scandir(self.path):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
            else:
                pathlib.Path(entry.path).unlink(missing_ok=True)
        if created:
            self.path.rmdir()

    # The job's own files: the claim, the record and the log.

    @contextlib.contextmanager
    def holding(self, job_id: str | None) -> Iterator[str]:
        """The folder's lock for the length of the block, the job's id written in it; yields
        the id the lock's last holder wrote. PackageBusy when a live job holds it."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        lock = lock_folder(self.lock)
        if lock is None:
            raise busy(self, self.holder())
        try:
            previous_holder = held_by(lock)
            if os.path.lexists(self.staging):
                # A job spread over the workers claims the folder from its start to its end.
                raise PackageBusy(f"{self.path}: a job spread over the workers holds this folder",
                                  previous_holder or None)
            refuse_foreign(self.record)
            # A duplicate delivery sees who holds the folder.
            name_holder(lock, job_id or "")
            yield previous_holder
        finally:
            os.close(lock)

    def claim(self, job_id: str, is_live: IsLive) -> None:
        """The folder named as this job's until it releases it. PackageBusy when a job on
        this machine runs in it, or a job that is still live holds it; a claim whose job
        has ended (or is unknown) is stale and taken over."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        lock = lock_folder(self.lock)
        if lock is None:
            raise busy(self)
        try:
            holding = held_by(lock)
            if holding and holding != job_id and is_live(holding):
                raise busy(self, holding)
            name_holder(lock, job_id)
        finally:
            os.close(lock)

    def release(self, job_id: str) -> None:
        lock = lock_folder(self.lock)
        if lock is None:
            return
        try:
            if held_by(lock) == job_id:
                os.ftruncate(lock, 0)
        finally:
            os.close(lock)

    def holder(self) -> str:
        """The job id the lock file names, read without taking the lock."""
        return (read_own(self.lock) or b"").decode(errors="replace")

    def write_record(self, job_id: str | None, result: PackageResult) -> None:
        rewrite_own(self.record, json.dumps({"job_id": job_id, "result": result.to_dict()}).encode())

    def read_record(self) -> tuple[str | None, PackageResult] | None:
        """The finished job's id and result; None when there is no readable record of the job's own."""
        recorded = read_own(self.record)
        try:
            record = json.loads(recorded) if recorded is not None else None
            return (record["job_id"], PackageResult.from_dict(record["result"])) if record else None
        except (ValueError, KeyError, TypeError):
            return None

    def open_log(self) -> int:
        return open_own(self.log)

    def read_log(self) -> str:
        return self.log.read_text(errors="replace")

    @property
    def log_location(self) -> str:
        return str(self.log)


def held_by(lock: int) -> str:
    """The job id the open lock file names; empty when none."""
    return os.pread(lock, HOLDER_BYTES, 0).decode(errors="replace")


def name_holder(lock: int, job_id: str) -> None:
    os.ftruncate(lock, 0)
    os.write(lock, job_id.encode())
