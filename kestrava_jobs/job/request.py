"""A job's checked arguments, and what the job will make of its source."""

import pathlib
import threading
from collections.abc import Callable
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

from .. import ladder
from ..captions.sidecars import Sidecar, check_sidecars
from ..captions.tracks import CaptionPlan, plan_captions
from ..common.deadline import Deadline
from ..common.result import LeftOutAudio
from ..pictures.order import PicturesOrder, pictures_order
from ..source.probe import SourceInfo, audio_left_out, probe_source
from ..storage.keys import DEFAULT_KEY_URI, check_key_uri, ready_key_dir
from ..storage.locations import package_at
from ..storage.seam import JobState, Package
from .validate import check_bitrates, check_key_info, check_names, check_source, check_timeout

ProgressCallback = Callable[[float, float | None], None]
# Called with a rendition's name when the master playlist starts listing it.
RenditionCallback = Callable[[str], None]
# Called with a side file's name (poster.jpg, storyboard.vtt) once it is in the package.
PictureCallback = Callable[[str], None]
# Called with a growing rendition's name and its seconds in the package, as they grow.
PublishedCallback = Callable[[str, float], None]
# With early publishing the smallest rendition runs in a child of its own and the others
# in a second child at this lower priority, so that the smallest takes the CPU it wants
# and is ready first; the larger ones use what it leaves.
BEHIND_NICE = 10
# When the master lists what: every rendition at the end; each one as soon as it is
# checked, the smallest made first; or the smallest from its first segments on, as it
# grows, and each other one as soon as it is checked.
PUBLISH_MODES = ("end", "renditions", "segments")


@dataclass(frozen=True)
class JobRequest:
    source: str  # an absolute path or a URL
    package: Package
    state: JobState  # the job's claim, record and log beside the package
    names: list[str] | None  # None: the ladder up to the source's own size
    rates: list[int] | None  # by position: over `names`, or over the whole ladder
    key_info: pathlib.Path | None  # the caller's; None makes a fresh key
    key_uri: str
    key_dir: pathlib.Path
    deadline: Deadline
    job_id: str | None = None
    on_progress: ProgressCallback | None = None
    cancel: threading.Event | None = None
    publish: str = "end"  # one of PUBLISH_MODES
    on_rendition: RenditionCallback | None = None
    behind_nice: int | None = BEHIND_NICE  # None: every rendition in one child, even when early
    sidecars: tuple[Sidecar, ...] = ()  # the caller's caption files, read
    poster: bool = True
    storyboard: bool = True
    on_picture: PictureCallback | None = None
    on_published: PublishedCallback | None = None

    @property
    def publish_early(self) -> bool:
        """Masters go up before the end."""
        return self.publish != "end"


@dataclass(frozen=True)
class JobPlan:
    names: list[str]
    rates: list[int]
    duration: float | None  # the source's, in seconds, when known
    captions: CaptionPlan = CaptionPlan([], 0.0)
    pictures: PicturesOrder | None = None
    audio_left_out: tuple[LeftOutAudio, ...] = ()
    frame_rate: float | None = None  # the source's pictures a second, when known


@dataclass(frozen=True)
class JobOptions:
    """package_video's options as given, by a caller or a message, before any check."""
    resolution: object = None
    bitrate: object = None
    key_info: object = None
    key_uri: object = DEFAULT_KEY_URI
    key_dir: object = None
    timeout: object = None
    publish_early: object = False
    publish: object = None  # one of PUBLISH_MODES; None: as publish_early says
    captions: object = None  # {language: sidecar file}
    charset: object = None  # the sidecars' encoding when it is neither UTF-8 nor UTF-16
    poster: object = True
    storyboard: object = True


def check_request(source: object, out_dir: object, options: JobOptions, **given: Any) -> JobRequest:
    """Every argument of package_video checked, before any file is made. `given` holds
    what is the caller's own and needs no check (job_id and the callbacks)."""
    names = check_names(options.resolution)
    key_dir = options.key_dir
    return JobRequest(
        source=check_source(source), package=(home := package_at(out_dir)), state=home.state, names=names,
        rates=check_bitrates(options.bitrate, names or ladder.NAMES), key_info=check_key_info(options.key_info),
        key_uri=check_key_uri(options.key_uri), deadline=Deadline(check_timeout(options.timeout)),
        key_dir=ready_key_dir(pathlib.Path(key_dir) if key_dir is not None else None),  # type: ignore[arg-type]
        publish=check_publish(options.publish, check_flag(options.publish_early, "publish_early")),
        poster=check_flag(options.poster, "poster"), storyboard=check_flag(options.storyboard, "storyboard"),
        sidecars=tuple(check_sidecars(options.captions, options.charset)), **given)


def check_flag(value: object, what: str) -> bool:
    """A yes or no that must be one: a message's "false" is a string, and true."""
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be True or False, not {type(value).__name__}")
    return value


def check_publish(publish: object, publish_early: bool) -> str:
    """One of PUBLISH_MODES; publish_early=True is publish="renditions"."""
    if publish is None:
        return "renditions" if publish_early else "end"
    if not isinstance(publish, str):
        raise TypeError(f"publish must be one of {', '.join(PUBLISH_MODES)}, not {type(publish).__name__}")
    if publish not in PUBLISH_MODES:
        raise ValueError(f"publish must be one of {', '.join(PUBLISH_MODES)}, not {publish!r}")
    if publish_early and publish == "end":
        raise ValueError("publish_early=True and publish='end' say opposite things")
    return publish


def plan_job(request: JobRequest) -> JobPlan:
    """The renditions and their rates, once the probe has read the source."""
    info: SourceInfo = probe_source(request.source, request.deadline)
    names, rates = ladder.pair(request.names, request.rates, info.shown_size)
    return JobPlan(names, rates, info.duration, plan_captions(info.streams, list(request.sidecars)),
                   pictures_order(request.source, info, names, request.poster, request.storyboard),
                   tuple(audio_left_out(info.streams)), frame_rate(info.video))



def frame_rate(video: dict | None) -> float | None:
    """The lower of the stream's average and base rates, when it gives either: what its
    segments are planned for."""
    known = [rate for rate in (fraction(video.get(field)) for field in ("avg_frame_rate", "r_frame_rate"))
             if rate] if video else []
    return float(min(known)) if known else None


def fraction(text: object) -> Fraction | None:
    """ffprobe's "30000/1001"; None for its "0/0" and anything else that is not a rate."""
    try:
        rate = Fraction(str(text))
    except (ValueError, ZeroDivisionError):
        return None
    return rate if rate > 0 else None
