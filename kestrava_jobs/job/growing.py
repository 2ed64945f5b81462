"""The smallest rendition published as it grows. The module makes it in a private folder
and rewrites its own playlist there as each segment closes; each new segment is checked
on its own, as the end check checks a whole rendition, and put into the package, and then
a media playlist of the companion's own is put, replaced whole, listing exactly the
segments in the package so far.

That playlist is a live one until the module ends it: no EXT-X-ENDLIST, a target duration
fixed from the start (so that a player's reload timing never changes under it), and
EXT-X-START at 0 so that players begin at the start rather than at the live edge. It
carries no EXT-X-PLAYLIST-TYPE: the module's playlists, which the same master lists,
carry none, and the HLS rules ask that all of one master's carry the same one or none.
On the first failure it is ended where it is: a player that started sees the stream end,
never a segment that is not there."""

import logging
import math
import pathlib
import subprocess
from dataclasses import dataclass, field

import m3u8

from ..common.deadline import Deadline
from ..common.result import RenditionResult
from ..hls.check import RenditionIncomplete, check_segment, rendition_figures, stream_facts
from ..storage import names as file_names
from ..storage.keys import KeyInfo
from ..storage.seam import Package

log = logging.getLogger(__name__)

# The module's muxer cuts a segment at the first key frame 6 s or more after its start,
# and puts a key frame every 60 pictures: segments last up to 6 s rounded up to a whole
# number of key-frame intervals.
SEGMENT_SECONDS = 6
KEY_FRAME_PICTURES = 60
# Segments of the growing rendition in the package before the first master lists it: with
# one, hls.js starts at 0:00 and plays on while the module runs ahead of it.
PLAYABLE_SEGMENTS = 1
UNFINISHED = "its playlist is unfinished: the module stopped before the end"
# A source whose rate is not known is planned for as one of this many pictures a second.
FALLBACK_RATE = 10.0


def target_duration(frame_rate: float | None) -> int:
    """The longest segment the module makes of a source at `frame_rate`, in whole seconds
    rounded up: 6 at 30 or 10 pictures a second, 8 at 25, 12 at 5."""
    interval = KEY_FRAME_PICTURES / (frame_rate if frame_rate and frame_rate > 0 else FALLBACK_RATE)
    longest = math.ceil(SEGMENT_SECONDS / interval - 1e-9) * interval
    return max(math.ceil(longest - 1e-6), SEGMENT_SECONDS)


@dataclass
class Growing:
    """One rendition made in `work` and put into `package` segment by segment."""
    package: Package
    name: str
    work: pathlib.Path
    key: KeyInfo
    deadline: Deadline
    target: int  # EXT-X-TARGETDURATION, fixed from the first playlist to the last
    sizes: list[int] = field(default_factory=list)  # of the segments put, in order
    durations: list[float] = field(default_factory=list)
    facts: dict | None = None  # the streams', from the first segment
    ended: bool = False  # its last segment is in and its playlist has EXT-X-ENDLIST
    failure: str | None = None  # why it stopped growing

    @property
    def seconds(self) -> float:
        """How much of it is in the package."""
        return sum(self.durations)

    @property
    def growing(self) -> bool:
        return not self.ended and self.failure is None

    def poll(self) -> None:
        """Every segment the module has closed since the last look, checked and put, then
        the playlist that lists them; the end once the module has ended its own."""
        if not self.growing:
            return
        made = self.module_playlist()
        if made is None:
            return
        before = len(self.sizes)
        for number in range(before, len(made.segments)):
            try:
                self.put(made, number)
            except RenditionIncomplete as incomplete:
                self.stop(str(incomplete))
                return
        self.ended = made.is_endlist and bool(self.sizes)
        if len(self.sizes) > before or self.ended:
            self.put_playlist(made)

    def module_playlist(self) -> m3u8.M3U8 | None:
        """The module's own, which its muxer replaces whole; None before the first segment."""
        try:
            return m3u8.loads((self.work / file_names.playlist(self.name)).read_text())
        except FileNotFoundError:
            return None

    def put(self, made: m3u8.M3U8, number: int) -> None:
        segment = made.segments[number]
        file = file_names.file_name(segment.uri)
        if round(segment.duration or 0) > self.target:
            raise RenditionIncomplete(f"{file} lasts {segment.duration:.3f} s, past the target duration of "
                                      f"{self.target} s its playlist was published with")
        data = (self.work / file).read_bytes()
        try:
            found, clear = check_segment(made, number, file, data, self.key, self.deadline)
            if self.facts is None:
                self.facts = stream_facts(found, clear, self.deadline)
        except subprocess.TimeoutExpired:
            raise self.deadline.expired() from None
        # The bytes checked go in, whatever becomes of the file.
        self.package.put_segment(self.work, file, data)
        self.sizes.append(len(data))
        self.durations.append(segment.duration or 0.0)

    def put_playlist(self, made: m3u8.M3U8) -> None:
        """The module's playlist cut to the segments put, with this job's fixed target
        duration and start; ended when the rendition is."""
        made.segments = m3u8.SegmentList(made.segments[:len(self.sizes)])
        made.target_duration = self.target
        made.is_endlist = self.ended or self.failure is not None
        made.start = m3u8.model.Start(time_offset=0, precise="YES")
        self.package.put_playlist(self.name, made.dumps(), ended=made.is_endlist)

    def stop(self, reason: str) -> None:
        """No segment more: what is in the package ends there for a player that started."""
        log.warning("%s stopped growing at %.3f s: %s", self.name, self.seconds, reason)
        self.failure = reason
        made = self.module_playlist()
        if made is not None and self.sizes:
            self.put_playlist(made)

    def end(self) -> None:
        """After the module's last word: a rendition it did not end has failed."""
        self.poll()
        if self.growing:
            self.stop(UNFINISHED)

    def figures(self) -> RenditionResult | None:
        """What the master says of it now; None before its first segment is in."""
        if self.facts is None:
            return None
        return rendition_figures(self.name, self.sizes, self.durations, self.facts)
