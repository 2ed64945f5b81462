"""A caption rendition's files: WebVTT segments cut where the video's segments are, each
mapping its cue clock onto the renditions' MPEG-TS clock, and their media playlist."""

import re
from dataclasses import dataclass

import m3u8
import pysubs2

from ..storage import names
from .cues import Cue


@dataclass(frozen=True)
class Timeline:
    """The video's segments as a checked rendition measures them."""
    durations: list[float]  # each segment's length, seconds
    target: int  # the playlist's target duration
    mpegts: int  # the renditions' TS stamp (90 kHz) at the package's time 0

    @property
    def seconds(self) -> float:
        return sum(self.durations)

    def bounds(self) -> list[tuple[float, float]]:
        starts = [sum(self.durations[:number]) for number in range(len(self.durations))]
        return [(start, start + length) for start, length in zip(starts, self.durations)]


def timestamp_map(mpegts: int) -> str:
    return f"X-TIMESTAMP-MAP=MPEGTS:{mpegts},LOCAL:00:00:00.000"


def caption_files(track_id: str, cues: list[Cue], timeline: Timeline, ended: bool = True,
                  first: int = 0) -> dict[str, bytes]:
    """The segments from number `first` on, then the playlist last, each by its file name.
    A cue across a cut is in both segments; a segment without cues is still written. The
    playlist, like the video's, carries no playlist type: one master's media playlists
    carry the same one or none, and a growing one is neither VOD nor of its own kind."""
    files = {names.caption_segment(track_id, number): segment_text(cues, start, end, timeline.mpegts).encode()
             for number, (start, end) in enumerate(timeline.bounds()) if number >= first}
    playlist = m3u8.M3U8()
    playlist.version, playlist.target_duration, playlist.media_sequence = "3", timeline.target, 0
    playlist.is_endlist = ended
    for number, duration in enumerate(timeline.durations):
        playlist.add_segment(m3u8.Segment(uri=names.caption_segment(track_id, number), duration=duration))
    return {**files, names.caption_playlist(track_id): playlist.dumps().encode()}


def segment_text(cues: list[Cue], start: float, end: float, mpegts: int) -> str:
    subs, numbers = pysubs2.SSAFile(), []
    for number, cue in enumerate(cues, 1):
        if cue.start < end and cue.end > start:
            numbers.append(str(number))
            subs.append(pysubs2.SSAEvent(start=round(cue.start * 1000), end=round(cue.end * 1000),
                                         text=cue.text.replace("\n", r"\N")))
    # The cue text is WebVTT already: the writer is to keep it as it is.
    text = subs.to_string("vtt", keep_ssa_tags=True)
    # Each cue keeps its number in the track, not in the segment: hls.js keeps one cue per
    # id, so a cue across a cut is shown once and a later segment's cues are not taken for
    # the first one's. No text line looks like a timing line: its ">" is escaped.
    ids = iter(numbers)
    text = re.sub(r"^[0-9]+$(?=\n[0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{3} --> )", lambda _: next(ids), text, flags=re.M)
    return text.replace("WEBVTT\n", f"WEBVTT\n{timestamp_map(mpegts)}\n", 1)
