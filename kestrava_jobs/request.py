"""A job's checked arguments, and what the job will make of its source."""

import pathlib
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import ladder
from .deadline import Deadline
from .job_folder import JobFolder
from .keys import default_key_dir, ready_key_dir
from .source_info import SourceInfo, probe_source
from .validate import (check_bitrates, check_key_info, check_key_uri, check_names, check_out_dir, check_source,
                       check_timeout)

ProgressCallback = Callable[[float, float | None], None]
# Called with a rendition's name when the master playlist starts listing it.
RenditionCallback = Callable[[str], None]


@dataclass(frozen=True)
class JobRequest:
    source: str  # an absolute path or a URL
    folder: JobFolder
    names: list[str] | None  # None: the ladder up to the source's own size
    rates: list[int] | None  # by position: over `names`, or over the whole ladder
    key_info: pathlib.Path | None  # the caller's; None makes a fresh key
    key_uri: str
    key_dir: pathlib.Path
    deadline: Deadline
    job_id: str | None = None
    on_progress: ProgressCallback | None = None
    cancel: threading.Event | None = None
    publish_early: bool = False  # the master lists each rendition as soon as it is checked
    on_rendition: RenditionCallback | None = None


@dataclass(frozen=True)
class JobPlan:
    names: list[str]
    rates: list[int]
    duration: float | None  # the source's, in seconds, when known


def check_request(source: object, out_dir: object, **options: Any) -> JobRequest:
    """Every argument of package_video checked, before any file is made."""
    names = check_names(options["resolution"])
    key_dir = options["key_dir"]
    return JobRequest(
        source=check_source(source), folder=check_out_dir(out_dir), names=names,
        rates=check_bitrates(options["bitrate"], names or ladder.NAMES), key_info=check_key_info(options["key_info"]),
        key_uri=check_key_uri(options["key_uri"]), deadline=Deadline(check_timeout(options["timeout"])),
        key_dir=ready_key_dir(pathlib.Path(key_dir) if key_dir is not None else default_key_dir()),
        job_id=options["job_id"], on_progress=options["on_progress"], cancel=options["cancel"],
        publish_early=check_flag(options.get("publish_early", False), "publish_early"),
        on_rendition=options.get("on_rendition"))


def check_flag(value: object, what: str) -> bool:
    """A yes or no that must be one: a message's "false" is a string, and true."""
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be True or False, not {type(value).__name__}")
    return value


def plan_job(request: JobRequest) -> JobPlan:
    """The renditions and their rates, once the probe has read the source."""
    info: SourceInfo = probe_source(request.source, request.deadline)
    names, rates = ladder.pair(request.names, request.rates, info.shown_size)
    return JobPlan(names, rates, info.duration)
