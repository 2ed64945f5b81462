"""The steps every job takes around its work, on one machine or spread: the package
opened under the job's claim (this very job's recorded result, or the package made
ready), the record of its result, and on any failure the package left as it was found."""

import contextlib
import logging
import pathlib
from collections.abc import Iterator

from ..common.result import PackageResult
from ..storage.keys import discard
from ..storage.seam import JobState, Package, finished_before

log = logging.getLogger(__name__)


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
    """The block's work kept when it ends normally; otherwise the package left as found."""
    try:
        yield
    except BaseException:
        leave_as_found(package, key_dir, created)
        raise


def leave_as_found(package: Package, key_dir: pathlib.Path, created: bool) -> None:
    """A job that did not finish, on one machine or spread, leaves its package new or empty
    again, so that a retry can use it, and its fresh key removed; only the log stays,
    beside the package."""
    package.remove_put(created)
    discard(key_dir, package.location)
