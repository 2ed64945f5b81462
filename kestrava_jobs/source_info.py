"""What the companion needs to know of a source before the job: its length and
its frame size as players show it. Read with ffprobe."""

import json
import logging
import subprocess
from dataclasses import dataclass

from .deadline import Deadline

log = logging.getLogger(__name__)
PROBE_SECONDS = 60


@dataclass(frozen=True)
class SourceInfo:
    duration: float | None  # seconds; None when unknown (a live or damaged source)
    shown_size: tuple[int, int] | None  # width, height after the display matrix's rotation


def probe_source(source: str, deadline: Deadline) -> SourceInfo:
    """What ffprobe finds within the job's time-out (and at most a minute)."""
    left = deadline.left()
    try:
        found = json.loads(subprocess.run(
            ["ffprobe", "-v", "error", "-of", "json", "-select_streams", "v:0",
             "-show_entries", "format=duration:stream=width,height:stream_side_data=rotation", source],
            check=True, capture_output=True, text=True, timeout=min(left or PROBE_SECONDS, PROBE_SECONDS)).stdout)
    except subprocess.TimeoutExpired:
        deadline.left()
        log.warning("could not probe %s within %d s", source, PROBE_SECONDS)
        return SourceInfo(None, None)
    except (subprocess.SubprocessError, OSError, ValueError) as error:
        log.warning("could not probe %s: %s", source, error)
        return SourceInfo(None, None)
    duration = _number(found.get("format", {}).get("duration"))
    streams = found.get("streams") or [{}]
    width, height = streams[0].get("width"), streams[0].get("height")
    if not width or not height:
        return SourceInfo(duration, None)
    rotation = next((int(_number(side.get("rotation")) or 0) for side in streams[0].get("side_data_list", [])
                     if "rotation" in side), 0)
    turned = abs(rotation) % 180 == 90
    return SourceInfo(duration, (height, width) if turned else (width, height))


def _number(text: object) -> float | None:
    try:
        return float(text)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None
