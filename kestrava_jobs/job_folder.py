"""A package folder and the job's own files beside it: <name>.lock, <name>.log,
<name>.done.json, the record of the finished job, and <name>.staging, where a job
spread over a cluster makes its renditions. Nothing else spells these names."""

import json
import os
import pathlib
from dataclasses import dataclass

from .job_files import read_own, rewrite_own
from .result import PackageResult

MASTER = "master.m3u8"
LOCK, LOG, RECORD, STAGING = ".lock", ".log", ".done.json", ".staging"
BESIDE = (LOCK, LOG, RECORD, STAGING)
# The lock file holds the id of the job that holds the folder, and nothing else.
HOLDER_BYTES = 256


@dataclass(frozen=True)
class JobFolder:
    path: pathlib.Path  # absolute, its parent free of links

    def beside(self, suffix: str) -> pathlib.Path:
        return self.path.with_name(self.path.name + suffix)

    @property
    def lock(self) -> pathlib.Path:
        return self.beside(LOCK)

    @property
    def log(self) -> pathlib.Path:
        return self.beside(LOG)

    @property
    def record(self) -> pathlib.Path:
        return self.beside(RECORD)

    @property
    def staging(self) -> pathlib.Path:
        return self.beside(STAGING)

    @property
    def master(self) -> pathlib.Path:
        return self.path / MASTER

    def __fspath__(self) -> str:
        return str(self.path)


def write_record(folder: JobFolder, job_id: str | None, result: PackageResult) -> None:
    rewrite_own(folder.record, json.dumps({"job_id": job_id, "result": result.to_dict()}).encode())


def read_record(folder: JobFolder) -> tuple[str | None, PackageResult] | None:
    """The finished job's id and result, as recorded beside the folder; None when there is
    no readable record of the job's own."""
    recorded = read_own(folder.record)
    try:
        record = json.loads(recorded) if recorded is not None else None
        return (record["job_id"], PackageResult.from_dict(record["result"])) if record else None
    except (ValueError, KeyError, TypeError):
        return None



def held_by(lock: int) -> str:
    """The job id the open lock file names; empty when none."""
    return os.pread(lock, HOLDER_BYTES, 0).decode(errors="replace")


def name_holder(lock: int, job_id: str) -> None:
    os.ftruncate(lock, 0)
    os.write(lock, job_id.encode())


def holder(folder: JobFolder) -> str:
    """The job id the folder's lock file names, read without taking the lock."""
    return (read_own(folder.lock) or b"").decode(errors="replace")
