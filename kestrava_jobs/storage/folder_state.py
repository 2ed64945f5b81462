"""A job's own state in files beside its package folder, named as names.py says: the claim
(a lock file naming the job that holds the folder), the finished job's record, FFmpeg's
log, and the staging area of a job spread over a cluster. The folder implementation of
seam.JobState."""

import contextlib
import json
import os
import pathlib
from collections.abc import Iterator
from dataclasses import dataclass

from ..common.result import PackageBusy, PackageResult
from . import names
from .own_files import lock_folder, open_own, read_own, refuse_foreign, remove_own, rewrite_own
from .seam import IsLive, busy

# The lock file holds the id of the job that holds the folder, and nothing else.
HOLDER_BYTES = 256


@dataclass(frozen=True)
class FolderState:
    path: pathlib.Path  # the package folder it is beside

    @property
    def location(self) -> str:
        return str(self.path)

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

    @contextlib.contextmanager
    def holding(self, job_id: str | None) -> Iterator[str]:
        """The folder's lock for the length of the block, the job's id written in it; yields
        the id the lock's last holder wrote. PackageBusy when a live job holds it."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        lock = lock_folder(self.lock)
        if lock is None:
            raise busy(self.location, self.holder())
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
            raise busy(self.location)
        try:
            holding = held_by(lock)
            if holding and holding != job_id and is_live(holding):
                raise busy(self.location, holding)
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

    @contextlib.contextmanager
    def writing_log(self) -> Iterator[int]:
        """The log emptied, and a descriptor for the block's children to write FFmpeg's
        words to; closed by the block's end."""
        log_fd = open_own(self.log)
        try:
            os.ftruncate(log_fd, 0)
            yield log_fd
        finally:
            os.close(log_fd)

    def clear_record(self) -> None:
        """No record of an earlier job: this one has not finished."""
        remove_own(self.record)

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
