"""The files a job keeps outside its package folder (log, lock, record, key, key info).

They sit where other users may be able to write, so none is ever opened through a
symbolic link, and a file the job did not make itself is never written: a new file
is created exclusively, with its final mode from the first byte; an existing one is
reused only when it is a regular file of this user with no other name (no hard link)."""

import errno
import fcntl
import os
import pathlib
import stat

NO_LINKS = os.O_NOFOLLOW | os.O_CLOEXEC
# What opening a name that is not a plain file gives: a symbolic link, a folder, a socket.
FOREIGN = (errno.ELOOP, errno.EISDIR, errno.ENXIO)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def create_new(path: pathlib.Path, data: bytes, mode: int = 0o600) -> None:
    """Writes `data` to a file that must not exist yet."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | NO_LINKS, mode)
    try:
        _write_all(fd, data)
    finally:
        os.close(fd)


def _is_own(fd: int) -> bool:
    found = os.fstat(fd)
    return stat.S_ISREG(found.st_mode) and found.st_uid == os.geteuid() and found.st_nlink == 1


def _refused(path: pathlib.Path) -> PermissionError:
    return PermissionError(f"{path}: not a file this job made; refusing to use it")


def open_own(path: pathlib.Path, mode: int = 0o600) -> int:
    """A descriptor for reading and writing the job's own file, made if missing.
    A read-only, full or closed place raises its own OSError (EROFS, ENOSPC, EACCES)."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | NO_LINKS, mode)
    except OSError as error:
        if error.errno in FOREIGN or (error.errno == errno.EACCES and os.path.lexists(path)):
            raise _refused(path) from error
        raise
    if not _is_own(fd):
        os.close(fd)
        raise _refused(path)
    return fd


def read_own(path: pathlib.Path) -> bytes | None:
    """The content of the job's own file, or None when it is missing or not the job's."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | NO_LINKS)
    except OSError:
        return None
    with os.fdopen(fd, "rb") as file:
        return file.read() if _is_own(fd) else None


def refuse_foreign(path: pathlib.Path) -> None:
    """Refuses a name the job will write later unless it is free or the job's own."""
    if os.path.lexists(path) and read_own(path) is None:
        raise _refused(path)


def remove_own(path: pathlib.Path) -> None:
    """Removes the job's own file (a link or another user's file stays where it is)."""
    if read_own(path) is not None:
        path.unlink(missing_ok=True)


def rewrite_own(path: pathlib.Path, data: bytes) -> None:
    """Replaces the content of the job's own file, or makes it."""
    fd = open_own(path)
    try:
        os.ftruncate(fd, 0)
        _write_all(fd, data)
    finally:
        os.close(fd)


def lock_folder(lock_path: pathlib.Path) -> int | None:
    """An exclusive lock on the job's lock file, held until the descriptor is closed
    or its process dies; None when a live process holds it already."""
    fd = open_own(lock_path)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        return None
    return fd
