"""Where a package lives, chosen from the location a caller gives, in this one place for
the job, the command line, the preview and the workers: a prefix of a bucket (s3://), or
else a folder of this machine. A location with another scheme (gs://, http://) names a
store this package cannot write to, and is refused before any file is made."""

import os
import pathlib
import re

from ..text import check_text
from typing import TYPE_CHECKING

from .folder import JobFolder
from .names import BESIDE
from .s3_location import S3Location, is_s3, s3_location

if TYPE_CHECKING:
    from .bucket import BucketPackage

SCHEME = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")
NAME_MAX = 255
# The longest name the job gives a file beside the package folder.
LONGEST_SUFFIX = max(BESIDE, key=len)


def package_at(location: object) -> "JobFolder | BucketPackage":
    """The package at `location`: TypeError or ValueError, in one line, when it cannot be one."""
    if not isinstance(location, (str, os.PathLike)):
        raise TypeError(f"out_dir must be a path, not {type(location).__name__}")
    if is_s3(location):
        return bucket_at(s3_location(check_text(str(location), "the package's location"), "out_dir"))
    return folder_at(pathlib.Path(check_scheme(check_text(os.fspath(location), "the package folder"))).expanduser())


def bucket_at(where: S3Location) -> "BucketPackage":
    """A package in a bucket, with the S3 client that is an extra of its own."""
    try:
        from .bucket import BucketPackage
    except ImportError as missing:
        raise ValueError(f"{where}: packages in buckets need the s3 extra (pip install 'kestrava[jobs,s3]'): "
                         f"{missing}") from None
    return BucketPackage(where)


def check_scheme(location: str) -> str:
    """The location, unless it names a store by its scheme: a path would make of s3://media/v
    a local folder named s3:."""
    if (scheme := SCHEME.match(location)) is not None and not is_s3(location):
        raise ValueError(f"{location}: packages cannot be written to {scheme.group(1).lower()}:// locations; "
                         "give a folder or an s3:// location")
    return location


def folder_at(path: pathlib.Path) -> JobFolder:
    """The package folder as an absolute path whose parent has no links left in it. The
    folder itself must not be a link, and its name must leave room for the job's files
    beside it."""
    name = path.name if path.name not in ("", ".", "..") else None
    if name is None:
        raise ValueError(f"{path}: the package folder needs a name of its own")
    if len(os.fsencode(name + LONGEST_SUFFIX)) > NAME_MAX:
        raise ValueError(f"the package folder's name is too long: at most {NAME_MAX - len(LONGEST_SUFFIX)} bytes")
    path = pathlib.Path(os.path.realpath(path.parent)) / name
    if path.is_symlink():
        raise ValueError(f"{path}: the package folder must not be a symbolic link")
    return JobFolder(path)
