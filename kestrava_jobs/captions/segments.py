"""A caption rendition's files: WebVTT segments cut where the video's segments are, each
mapping its cue clock onto the renditions' MPEG-TS clock, and their media playlist."""

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


def caption_files(track_id: str, cues: list[Cue], timeline: Timeline) -> dict[str, bytes]:
    """Every segment, then the playlist last, each by its file name. A cue across a cut is
    in both segments; a segment without cues is still written."""
    files = {names.caption_segment(track_id, number): segment_text(cues, start, end, timeline.mpegts).encode()
             for number, (start, end) in enumerate(timeline.bounds())}
    playlist = m3u8.M3U8()
    playlist.version, playlist.target_duration, playlist.media_sequence = "3", timeline.target, 0
    playlist.playlist_type, playlist.is_endlist = "vod", True
    for file, duration in zip(files, timeline.durations):
        playlist.add_segment(m3u8.Segment(uri=file, duration=duration))
    return {**files, names.caption_playlist(track_id): playlist.dumps().encode()}


def segment_text(cues: list[Cue], start: float, end: float, mpegts: int) -> str:
    subs = pysubs2.SSAFile()
    for cue in cues:
        if cue.start < end and cue.end > start:
            subs.append(pysubs2.SSAEvent(start=round(cue.start * 1000), end=round(cue.end * 1000),
                                         text=cue.text.replace("\n", r"\N")))
    # The cue text is WebVTT already: the writer is to keep it as it is.
    text = subs.to_string("vtt", keep_ssa_tags=True)
    return text.replace("WEBVTT\n", f"WEBVTT\n{timestamp_map(mpegts)}\n", 1)
