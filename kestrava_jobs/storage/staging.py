"""A spread job's staging area as a folder beside its package, of this user's own: the
folder implementation of seam.Staging, for workers that share the package's file system."""

import contextlib
import os
import pathlib
import shutil
import stat
import time
from collections.abc import Iterator
from dataclasses import dataclass

from . import names
from .own_files import lock_folder, open_own, read_own, remove_own, rewrite_own

# How often a step that waits for another's lock looks again.
LOCK_POLL = 0.05


@dataclass(frozen=True)
class FolderStaging:
    path: pathlib.Path

    @property
    def location(self) -> str:
        return str(self.path)

    def begin(self) -> None:
        if os.path.lexists(self.path):
            shutil.rmtree(self.checked())
        self.path.mkdir(mode=0o700)

    def end(self) -> None:
        shutil.rmtree(self.path, ignore_errors=True)

    def exists(self) -> bool:
        return os.path.lexists(self.path)

    def read(self, name: str) -> bytes | None:
        return read_own(self.checked() / name)

    def write(self, name: str, data: bytes) -> None:
        rewrite_own(self.checked() / name, data)

    def remove(self, name: str) -> None:
        remove_own(self.checked() / name)

    @contextlib.contextmanager
    def holding(self, step: str, wait: bool = False) -> Iterator[bool]:
        lock_path = self.checked() / names.staging_lock(step)
        while (lock := lock_folder(lock_path)) is None and wait:
            time.sleep(LOCK_POLL)
        try:
            yield lock is not None
        finally:
            if lock is not None:
                os.close(lock)

    @contextlib.contextmanager
    def writing_log(self, name: str) -> Iterator[int]:
        log_fd = open_own(self.checked() / names.staging_log(name))
        try:
            os.ftruncate(log_fd, 0)
            yield log_fd
        finally:
            os.close(log_fd)

    def take_log(self, name: str) -> bytes:
        log = self.checked() / names.staging_log(name)
        words = read_own(log) or b""
        remove_own(log)
        return words

    def work_folder(self, name: str) -> pathlib.Path:
        self.drop_work_folder(name)
        work = self.checked() / name
        work.mkdir(mode=0o700)
        return work

    def drop_work_folder(self, name: str) -> None:
        shutil.rmtree(self.checked() / name, ignore_errors=True)

    def checked(self) -> pathlib.Path:
        """The area, refused unless it is a folder of this user's own."""
        found = os.lstat(self.path)
        if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.geteuid():
            raise PermissionError(f"{self.path}: not a staging folder this job made; refusing to use it")
        return self.path
