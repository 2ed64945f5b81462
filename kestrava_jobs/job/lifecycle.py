"""The steps every job takes around its work, on one machine or spread: the package
opened under the job's claim (this very job's recorded result, or the package made
ready), the record of its result, and on any failure the package left as it was found."""

import contextlib
import dataclasses
import logging
import pathlib
import shutil
import tempfile
from collections.abc import Iterator

from ..common.deadline import Deadline
from ..common.result import PackageResult
from ..settings import settings
from ..storage.keys import discard
from ..storage.s3_location import is_s3, s3_location
from ..storage.seam import JobState, Package, finished_before
from .request import JobRequest
from .validate import check_source

log = logging.getLogger(__name__)


@contextlib.contextmanager
def local_source(request: JobRequest) -> Iterator[JobRequest]:
    """The request as it reads its source: one local copy of a source in a bucket."""
    with fetched_source(request.source, request.deadline) as source:
        yield dataclasses.replace(request, source=source)


@contextlib.contextmanager
def fetched_source(source: str, deadline: Deadline) -> Iterator[str]:
    """The source as FFmpeg reads it: a source in a bucket downloaded for the block into
    a private scratch folder and checked as an upload is, then removed."""
    if not is_s3(source):
        yield source
        return
    from ..storage.bucket_source import fetch_source  # the s3 extra's, loaded only for a bucket
    folder = pathlib.Path(tempfile.mkdtemp(prefix="kestrava-source-", dir=settings.scratch))
    try:
        yield check_source(fetch_source(s3_location(source, "the source"), folder, deadline))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def open_package(package: Package, state: JobState, job_id: str | None, key_dir: pathlib.Path,
                 taking_over: bool = False) -> PackageResult | bool:
    """The recorded result when this very job finished before; otherwise the package
    ready to be written (True when it was made new). `taking_over`: an attempt of this
    job that died left it, and what it put is removed first."""
    earlier = finished_before(package, state, job_id)
    if earlier is not None:
        log.info("%s is complete already (job %s); not encoding it again", package.location, job_id)
        return earlier
    if taking_over and package.exists():
        log.info("%s: taking over from an attempt of job %s that died", package.location, job_id)
        leave_as_found(package, key_dir, created=False)
    package.refuse_unless_empty()
    state.clear_record()
    return package.prepare()


@contextlib.contextmanager
def undone_on_failure(package: Package, key_dir: pathlib.Path, created: bool) -> Iterator[None]:
    """The block's work kept when it ends normally; otherwise the package left as found.
    Either way the job's local work goes."""
    try:
        yield
    except BaseException:
        leave_as_found(package, key_dir, created)
        raise
    finally:
        package.finish()


def leave_as_found(package: Package, key_dir: pathlib.Path, created: bool) -> None:
    """A job that did not finish, on one machine or spread, leaves its package new or empty
    again, so that a retry can use it, and its fresh key removed; only the log stays,
    beside the package."""
    package.remove_put(created)
    discard(key_dir, package.location)
