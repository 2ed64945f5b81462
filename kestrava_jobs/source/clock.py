"""The source's clock as the package sees it: where the package's starts (the module times
both streams from the earlier of their first video and audio stamps) and how long the
media is, its last stamp less its first."""

import subprocess

from ..common.deadline import Deadline
from ..common.numbers import float_or_none

# Reading the last packets takes a seek and a few seconds of demuxing; past this, the
# container's word is taken.
END_READ_SECONDS = 20


def media_streams(streams: tuple[dict, ...]) -> list[dict]:
    return [stream for stream in streams if stream.get("codec_type") in ("video", "audio")]


def clock_origin(streams: tuple[dict, ...]) -> float:
    """Where the package's clock starts, in seconds on the source's."""
    return min((start for stream in media_streams(streams) if (start := float_or_none(stream.get("start_time")))
                is not None), default=0.0)


def own_length(source: str, streams: tuple[dict, ...], format_duration: float | None,
               deadline: Deadline) -> float | None:
    """The media's own length. A container's duration is not always that: Matroska's and
    MP4's run from their clock's zero, so a source whose first stamp is 10 s counts those
    10 s too, while FLV's and MPEG-TS's do not. The streams' own ends say where it stops;
    where none gives one, the last packets are read."""
    ends = [start + length for stream in media_streams(streams)
            if (start := float_or_none(stream.get("start_time"))) is not None
            and (length := float_or_none(stream.get("duration"))) is not None]
    end = max(ends) if ends else last_packet_end(source, streams, format_duration, deadline)
    return format_duration if end is None else max(end - clock_origin(streams), 0.0)


def last_packet_end(source: str, streams: tuple[dict, ...], format_duration: float | None,
                    deadline: Deadline) -> float | None:
    """Where the last video or audio packet ends, read from a second before the container's
    duration: the end is there or later (its start plus its length)."""
    if format_duration is None:
        return None
    media = {stream.get("index") for stream in media_streams(streams)}
    try:
        found = subprocess.run(["ffprobe", "-v", "error", "-read_intervals", f"{max(format_duration - 1, 0):.3f}%",
                                "-show_entries", "packet=stream_index,pts_time,duration_time", "-of", "csv=p=0",
                                source], check=True, capture_output=True, text=True,
                               timeout=min(deadline.left() or END_READ_SECONDS, END_READ_SECONDS)).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    ends = [pts + (float_or_none(duration) or 0.0) for index, pts_time, duration, *_ in
            (line.split(",") + ["", ""] for line in found.splitlines())
            if index.isdigit() and int(index) in media and (pts := float_or_none(pts_time)) is not None]
    return max(ends, default=None)
