"""A package in a folder of this machine, named as names.py says: the folder implementation
of the package's files (seam.Package); its job's state is beside it (folder_state.py)."""

import hashlib
import os
import pathlib
import shutil
from dataclasses import dataclass

import m3u8

from . import names
from .folder_state import FolderState
from .own_files import create_new


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

    def put_master(self, text: str, final: bool = True) -> None:
        self.put_side_file(names.MASTER, text.encode())

    def remove_master(self) -> None:
        self.master.unlink(missing_ok=True)

    def growing_folder(self) -> pathlib.Path:
        """Inside the package, so that each segment goes in by a rename; new, and readable
        by this user alone, so that no server hands out what is not checked yet."""
        folder = self.path / names.GROWING
        folder.mkdir(mode=0o700)
        return folder

    def put_segment(self, work: pathlib.Path, file: str, data: bytes) -> None:
        self.put_side_file(file, data)
        (work / file).unlink()

    def put_playlist(self, name: str, text: str, ended: bool) -> None:
        self.put_side_file(names.playlist(name), text.encode())

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

    def fingerprints(self, names: list[str]) -> list[str]:
        """SHA-256 of each file's bytes."""
        return [hashlib.sha256(self.read(name)).hexdigest() for name in names]

    def confirm(self) -> None:
        """Nothing to confirm: each file was renamed into place whole, on this file system."""

    def finish(self) -> None:
        """The growing rendition's private folder removed; the module wrote every other
        rendition into the package folder itself."""
        growing = self.path / names.GROWING
        if growing.is_dir() and not growing.is_symlink():
            shutil.rmtree(growing, ignore_errors=True)

    @property
    def state(self) -> "FolderState":
        """The job's own state, in files beside the folder."""
        return FolderState(self.path)
