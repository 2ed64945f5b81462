"""A track's cues on the package's clock, their text in WebVTT's own markup: SubStation's
italics, bold and underline become <i>, <b> and <u>; positioning and karaoke go, drawings with their whole cue
(pysubs2 leaves them out);
everything else is text, its <, > and & escaped. Parsing is pysubs2's; a source's stream is
pulled out by FFmpeg as SubStation, which keeps its styling."""

import html
import subprocess
from dataclasses import dataclass

import pysubs2
from pysubs2.exceptions import Pysubs2Error
from pysubs2.formats.substation import parse_tags

from ..common.deadline import Deadline
from ..common.ffmpeg_words import first_words
from .tracks import Track


@dataclass(frozen=True)
class Cue:
    start: float  # seconds on the package's clock
    end: float
    text: str  # WebVTT cue text


class TrackUnusable(Exception):
    """Why a track is left out, in plain words."""


def track_cues(source: str, track: Track, origin: float, deadline: Deadline) -> list[Cue]:
    """The track's cues, in time order; TrackUnusable when none parses."""
    subs = parsed(track.text if track.text is not None else pulled_out(source, track, deadline))
    shift = 0.0 if track.text is not None else origin  # a sidecar is timed from the package's start
    cues = [Cue(event.start / 1000 - shift, event.end / 1000 - shift, text)
            for event in subs.get_text_events() if (text := webvtt_text(event, subs)) and event.end > event.start]
    if not cues:
        raise TrackUnusable("it holds no cue")
    return sorted(cues, key=lambda cue: (cue.start, cue.end))


def pulled_out(source: str, track: Track, deadline: Deadline) -> str:
    """The source stream as SubStation text, on the source's own clock (-copyts)."""
    try:
        return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-copyts", "-i", source, "-map",
                               f"0:{track.stream}", "-c:s", "ass", "-f", "ass", "-"],
                              check=True, capture_output=True, timeout=deadline.left()).stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        raise deadline.expired() from None
    except subprocess.CalledProcessError as error:
        raise TrackUnusable(f"FFmpeg could not read it ({first_words(error.stderr)})") from None


def parsed(text: str) -> pysubs2.SSAFile:
    try:
        return pysubs2.SSAFile.from_string(text)
    except (Pysubs2Error, ValueError, KeyError, IndexError) as error:
        raise TrackUnusable(f"its cues do not parse ({type(error).__name__}: {error})") from None


def webvtt_text(event: pysubs2.SSAEvent, subs: pysubs2.SSAFile) -> str:
    style = subs.styles.get(event.style, pysubs2.SSAStyle.DEFAULT_STYLE)
    text = event.text.replace(r"\h", " ").replace(r"\n", "\n").replace(r"\N", "\n")
    body = []
    for fragment, look in parse_tags(text, style, subs.styles):
        if not fragment:
            continue
        fragment = html.escape(fragment, quote=False)
        for on, tag in ((look.underline, "u"), (look.bold, "b"), (look.italic, "i")):
            fragment = f"<{tag}>{fragment}</{tag}>" if on else fragment
        body.append(fragment)
    return "\n".join(line.strip() for line in "".join(body).strip().splitlines() if line.strip())
