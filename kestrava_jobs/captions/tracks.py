"""The caption tracks a job makes: the source's subtitle streams as ffprobe lists them and
the caller's sidecars, each with what the master says of it; and the source's origin, the
earlier of its first video and audio stamps, which the module's clock starts from."""

from dataclasses import dataclass

from ..source.clock import clock_origin
from .languages import from_iso639_2
from .sidecars import Sidecar

# FFmpeg's decoders of subtitles that are text; every other subtitle codec is pictures.
TEXT_CODECS = {"subrip", "srt", "ass", "ssa", "mov_text", "webvtt", "text"}


@dataclass(frozen=True)
class Track:
    origin: str  # "stream 2 (subrip)" or the sidecar's path, for the result
    language: str | None  # BCP-47
    title: str | None
    default: bool
    forced: bool
    stream: int | None = None  # the source stream to pull out; None for a sidecar
    text: str | None = None  # a sidecar's text
    skipped: str = ""  # why it is left out, when it is


@dataclass(frozen=True)
class CaptionPlan:
    tracks: list[Track]
    origin: float  # seconds on the source's clock


def plan_captions(streams: tuple[dict, ...], sidecars: list[Sidecar]) -> CaptionPlan:
    """The source's subtitle streams (as the job's probe lists them), then the sidecars in
    the order given."""
    tracks = [stream_track(stream) for stream in streams if stream.get("codec_type") == "subtitle"]
    tracks += [Track(sidecar.path, sidecar.language, None, False, False, text=sidecar.text) for sidecar in sidecars]
    return CaptionPlan(tracks, clock_origin(streams))


def stream_track(stream: dict) -> Track:
    tags, disposition = stream.get("tags", {}), stream.get("disposition", {})
    codec = stream.get("codec_name") or "unknown"
    origin = f"stream {stream['index']} ({codec})"
    skipped = "" if codec in TEXT_CODECS else f"a bitmap subtitle ({codec}): only text becomes WebVTT"
    return Track(origin, from_iso639_2(tags.get("language")), tags.get("title") or None,
                 bool(disposition.get("default")), bool(disposition.get("forced")), stream=stream["index"],
                 skipped=skipped)
