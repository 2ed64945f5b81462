"""What the companion needs to know of a source before the job: its length, its frame
size as players show it, its clock's origin and its streams (the captions' tracks). Read
with one ffprobe."""

import json
import logging
import math
import subprocess
from dataclasses import dataclass

from ..common.deadline import Deadline
from ..common.ffmpeg_words import first_words
from ..common.numbers import float_or_none
from ..common.result import LeftOutAudio, UnreadableSource
from .clock import clock_origin, own_length

log = logging.getLogger(__name__)
PROBE_SECONDS = 60
ENTRIES = ("format=duration:stream=index,codec_type,codec_name,width,height,start_time,duration,bit_rate,"
           "avg_frame_rate,r_frame_rate,"
           "sample_aspect_ratio,color_transfer,color_primaries,color_space,color_range,field_order"
           ":stream_tags=language,title:stream_disposition=default,forced,hearing_impaired,visual_impaired"
           ":stream_side_data=rotation")


@dataclass(frozen=True)
class SourceInfo:
    duration: float | None  # seconds from the first stamp to the last; None when unknown (a live or damaged source)
    shown_size: tuple[int, int] | None  # width, height after the display matrix's rotation
    streams: tuple[dict, ...] = ()  # every stream, as ffprobe lists it

    @property
    def video(self) -> dict | None:
        return first_video(self.streams)

    @property
    def origin(self) -> float:
        return clock_origin(self.streams)


def first_video(streams: tuple[dict, ...]) -> dict | None:
    """The first video stream: the one the module packages."""
    return next((stream for stream in streams if stream.get("codec_type") == "video"), None)


def audio_left_out(streams: tuple[dict, ...]) -> list[LeftOutAudio]:
    """Every audio stream but the one the module packages: FFmpeg's best, as it ranks them
    (not for the hearing or visually impaired, then the default one, then the highest bit
    rate; the first of equals)."""
    audio = [stream for stream in streams if stream.get("codec_type") == "audio"]
    kept = max(audio, key=audio_rank, default=None)
    return [LeftOutAudio(stream["index"], stream.get("tags", {}).get("language", ""),
                         stream.get("tags", {}).get("title", "")) for stream in audio if stream is not kept]


def audio_rank(stream: dict) -> tuple[int, float]:
    disposition = stream.get("disposition", {})
    plain = not (disposition.get("hearing_impaired") or disposition.get("visual_impaired"))
    return int(plain) + int(bool(disposition.get("default"))), float_or_none(stream.get("bit_rate")) or 0.0


def quarter_turn(stream: dict) -> int:
    """The clockwise turn players make, in degrees: the display matrix's angle negated,
    whole quarter turns only, as the module honours them."""
    angle = next((-(float_or_none(side["rotation"]) or 0.0) for side in stream.get("side_data_list", [])
                  if "rotation" in side), 0.0)
    quarters = round(angle / 90)
    return 0 if math.isnan(angle) or abs(angle - 90 * quarters) >= 1 else quarters % 4 * 90


def probe_source(source: str, deadline: Deadline) -> SourceInfo:
    """What ffprobe finds within the job's time-out (and at most a minute). A source that
    FFmpeg cannot read, or that holds no video, raises UnreadableSource."""
    left = deadline.left()
    try:
        found = json.loads(subprocess.run(
            ["ffprobe", "-v", "error", "-of", "json", "-show_entries", ENTRIES, source],
            check=True, capture_output=True, text=True, timeout=min(left or PROBE_SECONDS, PROBE_SECONDS)).stdout)
    except subprocess.TimeoutExpired:
        deadline.left()
        log.warning("could not probe %s within %d s", source, PROBE_SECONDS)
        return SourceInfo(None, None)
    except subprocess.CalledProcessError as error:
        raise UnreadableSource(f"{source}: not a video or audio file FFmpeg can read "
                               f"(FFmpeg: {first_words(error.stderr)})") from None
    except (OSError, ValueError) as error:
        log.warning("could not probe %s: %s", source, error)
        return SourceInfo(None, None)
    streams = tuple(found.get("streams", []))
    stream = first_video(streams)
    if stream is None:
        raise UnreadableSource(f"{source}: has no video to package (an audio-only file?)")
    duration = own_length(source, streams, float_or_none(found.get("format", {}).get("duration")), deadline)
    width, height = stream.get("width"), stream.get("height")
    if not width or not height:
        return SourceInfo(duration, None, streams)
    turned = quarter_turn(stream) in (90, 270)
    return SourceInfo(duration, (height, width) if turned else (width, height), streams)
