"""A spread job's own state, as every one of its steps reads it: the message that carries
the job from step to step, checked as if anyone could have sent it, and the staging area
beside its package where the steps keep what they share."""

import contextlib
import functools
import pathlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass

from .. import ladder
from ..common.deadline import Deadline
from ..job.request import check_publish
from ..job.validate import check_bitrates, check_names, check_timeout
from ..storage.folder import JobFolder
from ..storage.key_store import check_key_name, fetched_key
from ..storage.keys import check_key_uri, ready_key_dir
from ..storage.locations import package_at
from ..storage.seam import Package, Staging
from ..storage.staging import FolderStaging
from ..text import check_text

MESSAGE_FIELDS = {"job_id", "source", "out_dir", "names", "rates", "key_name", "key_uri", "timeout",
                  "deadline_at", "publish", "total", "poster", "storyboard"}
FLAGS = ("poster", "storyboard")
# Confines a message's source, package and options to the deployment's folders.
Confine = Callable[[object, object, dict], tuple[str, str, dict]]


@dataclass(frozen=True)
class SpreadJob:
    job_id: str
    source: str
    folder: Package
    names: list[str]
    rates: list[int]
    key_name: str  # the job's key in the key store; never the key
    key_uri: str
    timeout: float | None
    deadline_at: float | None  # wall-clock time by which the whole job ends
    publish: str  # one of PUBLISH_MODES
    total: float | None  # the source's length, seconds
    poster: bool = False
    storyboard: bool = False

    @property
    def publish_early(self) -> bool:
        return self.publish != "end"

    @property
    def growing(self) -> str | None:
        """The rendition published as it grows, when one is."""
        return min(self.names, key=ladder.size) if self.publish == "segments" else None

    def message(self) -> dict:
        return {"job_id": self.job_id, "source": self.source, "out_dir": self.folder.location,
                "names": self.names, "rates": self.rates, "key_name": self.key_name, "key_uri": self.key_uri,
                "timeout": self.timeout, "deadline_at": self.deadline_at, "publish": self.publish,
                "total": self.total, "poster": self.poster, "storyboard": self.storyboard}

    def deadline(self) -> Deadline:
        return Deadline.until(self.deadline_at, self.timeout)

    @functools.cached_property
    def staging(self) -> Staging:
        return staging_of(self.folder, self.job_id)

    @contextlib.contextmanager
    def key_info(self) -> Iterator[pathlib.Path]:
        """The job's key info file for the block, fetched from the key store when it is a bucket's."""
        with fetched_key(self.key_name, ready_key_dir(None), self.folder.location) as key_info:
            yield key_info


def job_from_message(data: object, confine: Confine) -> SpreadJob:
    """A spread job's message, checked: its paths confined, its figures valid, and its
    folder claimed by this very job. ValueError or TypeError otherwise."""
    if not isinstance(data, dict) or set(data) != MESSAGE_FIELDS:
        raise ValueError(f"not a spread job's message: fields {sorted(data) if isinstance(data, dict) else data!r}")
    source, out_dir, _ = confine(data["source"], data["out_dir"], {})
    names = check_names(data["names"]) or []
    rates = check_bitrates(data["rates"], names) or []
    if len(rates) != len(names) or not all(isinstance(data[flag], bool) for flag in FLAGS):
        raise ValueError("a spread job's message needs a bit rate for each rendition and its flags "
                         f"({', '.join(FLAGS)}) true or false")
    job = SpreadJob(job_id=check_text(str(data["job_id"]), "the job id"), source=source,
                    folder=package_at(out_dir), names=names, rates=rates,
                    key_name=check_key_name(data["key_name"]), key_uri=check_key_uri(data["key_uri"]),
                    timeout=check_timeout(data["timeout"]), deadline_at=message_number(data["deadline_at"]),
                    publish=check_publish(data["publish"], False), total=message_number(data["total"]),
                    poster=data["poster"], storyboard=data["storyboard"])
    if job.folder.state.holder() != job.job_id:
        raise ValueError(f"{job.folder.location}: not a package job {job.job_id} holds")
    return job


def message_number(value: object) -> float | None:
    """A figure of a message: a number or null, anything else refused."""
    if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
        raise TypeError(f"a spread job's message holds a number or null, not {value!r}")
    return None if value is None else float(value)


def staging_of(package: Package, job_id: str) -> Staging:
    """Where the job's steps keep what they share: in a folder beside a package in a
    folder, which every worker sees; in the result store for a package in a bucket."""
    if isinstance(package, JobFolder):
        return FolderStaging(package.state.staging)
    from ..storage.redis_staging import RedisStaging
    return RedisStaging(job_id)
