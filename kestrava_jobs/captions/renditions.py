"""The job's caption renditions: each usable track's cues parsed once, written into the
package on the timeline of the first checked rendition, checked back from the package,
then listed in the master as one EXT-X-MEDIA group that every variant names."""

import concurrent.futures
import subprocess
from dataclasses import dataclass

import m3u8
import pysubs2

from .. import ladder
from ..common.deadline import Deadline
from ..common.result import CaptionResult
from ..hls.check import MEDIA_TOLERANCE, RenditionIncomplete
from ..hls.master import MediaGroup
from ..storage import names
from ..storage.keys import KeyInfo
from ..storage.seam import Package
from .cues import Cue, TrackUnusable, track_cues
from .languages import english_name
from .segments import Timeline, caption_files, timestamp_map
from .timeline import measured_timeline
from .tracks import CaptionPlan, Track

GROUP_ID = "subs"
PICTURE = 1 / ladder.PICTURE_RATE  # the video's segments are cut on the module's grid


@dataclass(frozen=True)
class Parsed:
    track: Track
    cues: list[Cue]
    reason: str  # why it is left out, when it is


def parse_all(source: str, plan: CaptionPlan, deadline: Deadline) -> list[Parsed]:
    """Every track's cues, side by side (pulling a stream out reads the whole source)."""
    with concurrent.futures.ThreadPoolExecutor(max(1, len(plan.tracks))) as pool:
        return list(pool.map(lambda track: parse_one(source, track, plan.origin, deadline), plan.tracks))


def parse_one(source: str, track: Track, origin: float, deadline: Deadline) -> Parsed:
    if track.skipped:
        return Parsed(track, [], track.skipped)
    try:
        return Parsed(track, track_cues(source, track, origin, deadline), "")
    except TrackUnusable as unusable:
        return Parsed(track, [], str(unusable))


def write_captions(package: Package, parsed: list[Parsed], first: str, key: KeyInfo,
                   deadline: Deadline) -> list[CaptionResult]:
    """Every track written on the timeline of `first`, a checked rendition in the package.
    Captions that cannot be made leave the video's package as it is, each with the reason."""
    if not parsed:
        return []
    try:
        return publish_captions(package, parsed, measured_timeline(package, first, key, deadline))
    except subprocess.TimeoutExpired:
        raise deadline.expired() from None
    except (subprocess.SubprocessError, OSError, ValueError, RenditionIncomplete) as error:
        return [left_out(one.track, f"the captions could not be made ({error})") for one in parsed]


def publish_captions(package: Package, parsed: list[Parsed], timeline: Timeline) -> list[CaptionResult]:
    """Each usable track written and checked; the results, a reason for each track left out."""
    results = []
    for number, one, track_id, default in caption_tracks(parsed):
        if not track_id:
            results.append(left_out(one.track, one.reason))
            continue
        cues = within(one.cues, timeline.seconds)
        for file, data in caption_files(track_id, cues, timeline).items():  # the playlist comes last
            package.put_side_file(file, data)
        results.append(checked(package, track_id, one.track, timeline, (number, default, len(cues))))
    return named_apart(results)


def publish_growing(package: Package, parsed: list[Parsed], timeline: Timeline, seconds: float | None,
                    written: int) -> list[CaptionResult]:
    """Each usable track cut on a growing rendition's segments so far: the segments from
    number `written` on, then a playlist without its end. Cues are kept to `seconds`, the
    source's length when known, as the rendition's own length is not known yet. Checked
    once the rendition has ended, when every segment is written again on its last
    timeline (publish_captions)."""
    results = []
    for number, one, track_id, default in caption_tracks(parsed):
        if not track_id:
            results.append(left_out(one.track, one.reason))
            continue
        cues = within(one.cues, seconds or float("inf"))
        for file, data in caption_files(track_id, cues, timeline, ended=False, first=written).items():
            package.put_side_file(file, data)
        results.append(caption_result(track_id, one.track, len(timeline.durations), (number, default, len(cues))))
    return named_apart(results)


@dataclass(frozen=True)
class CutSoFar:
    """Caption renditions cut on a growing rendition: on how many of its segments, the TS
    stamp its first segment starts at, and what each track became."""
    written: int = 0
    mpegts: int | None = None
    results: tuple[CaptionResult, ...] = ()


def cut_further(package: Package, parsed: list[Parsed], first: str, key: KeyInfo, deadline: Deadline,
                timeline: tuple[list[float], int], seconds: float | None,
                so_far: CutSoFar) -> CutSoFar | list[CaptionResult]:
    """The captions cut on the segments of `first` (a growing rendition in the package)
    listed in `timeline` (their lengths, the target duration); the tracks left out, each
    with the reason, when they cannot be."""
    durations, target = timeline
    try:
        mpegts = so_far.mpegts if so_far.mpegts is not None else \
            measured_timeline(package, first, key, deadline).mpegts
        results = publish_growing(package, parsed, Timeline(list(durations), target, mpegts), seconds,
                                  so_far.written)
    except subprocess.TimeoutExpired:
        raise deadline.expired() from None
    except (subprocess.SubprocessError, OSError, ValueError, RenditionIncomplete) as error:
        return [left_out(one.track, f"the captions could not be made ({error})") for one in parsed]
    return CutSoFar(len(durations), mpegts, tuple(results))


def caption_tracks(parsed: list[Parsed]) -> list[tuple[int, Parsed, str, bool]]:
    """Each track by its number from 1, with its rendition's id ("" when it is left out)
    and whether it is the default: the first track that asks to be."""
    tracks, ids, default_given = [], set(), False
    for number, one in enumerate(parsed, 1):
        if one.reason:
            tracks.append((number, one, "", False))
            continue
        default = one.track.default and not default_given
        default_given |= default
        tracks.append((number, one, unique(names.CAPTION_PREFIX + (one.track.language or str(number)), ids), default))
    return tracks


def left_out(track: Track, why: str) -> CaptionResult:
    """A track not made, named as it was given: its source stream or file, and its language."""
    return CaptionResult(origin=track.origin, language=track.language or "", skipped=why)


def within(cues: list[Cue], seconds: float) -> list[Cue]:
    """The cues on the media's length: none before its start or after its end."""
    return [Cue(max(cue.start, 0.0), min(cue.end, seconds), cue.text) for cue in cues
            if cue.end > 0 and cue.start < seconds]


def unique(track_id: str, taken: set[str]) -> str:
    found = next(candidate for n in range(1, len(taken) + 2)
                 if (candidate := track_id if n == 1 else f"{track_id}_{n}") not in taken)
    taken.add(found)
    return found


def checked(package: Package, track_id: str, track: Track, timeline: Timeline,
            figures: tuple[int, bool, int]) -> CaptionResult:
    result = caption_result(track_id, track, len(timeline.durations), figures)
    why = check_caption(package, track_id, timeline)
    return result if why is None else left_out(track, why)


def caption_result(track_id: str, track: Track, segments: int, figures: tuple[int, bool, int]) -> CaptionResult:
    number, default, cues = figures
    name = track.title or english_name(track.language) or f"Track {number}"
    if track.forced and not track.title:
        name += " (forced)"
    return CaptionResult(origin=track.origin, name=name, language=track.language or "",
                         playlist=names.caption_playlist(track_id), segments=segments, cues=cues, default=default,
                         forced=track.forced)


def check_caption(package: Package, track_id: str, timeline: Timeline) -> str | None:
    """Why the caption rendition in the package is not one, or None: its playlist is
    finished, cut as the video is, and every segment is WebVTT on the renditions' clock
    with its cues within the media's length."""
    playlist = m3u8.loads(package.read(names.caption_playlist(track_id)).decode())
    lengths = [segment.duration for segment in playlist.segments]
    if not playlist.is_endlist or len(lengths) != len(timeline.durations) or \
            any(abs(a - b) > PICTURE + 1e-6 for a, b in zip(lengths, timeline.durations)):
        return f"{track_id} is not cut as the video is: {len(lengths)} segments against {len(timeline.durations)}"
    for segment in playlist.segments:
        text = package.read(segment.uri).decode()
        if text.splitlines()[:2] != ["WEBVTT", timestamp_map(timeline.mpegts)]:
            return f"{segment.uri} does not start as a WebVTT segment on the renditions' clock"
        events = pysubs2.SSAFile.from_string(text, format_="vtt").events
        if any(event.start < 0 or event.end / 1000 > timeline.seconds + MEDIA_TOLERANCE for event in events):
            return f"{segment.uri} has cues outside the media's {timeline.seconds:.3f} s"
    return None


def named_apart(results: list[CaptionResult]) -> list[CaptionResult]:
    """Names within one group must differ: a second "English" becomes "English 2"."""
    seen: dict[str, int] = {}
    for result in results:
        if result.playlist:
            seen[result.name] = seen.get(result.name, 0) + 1
            if seen[result.name] > 1:
                result.name = f"{result.name} {seen[result.name]}"
    return results


def media_group(results: list[CaptionResult]) -> tuple[MediaGroup, ...]:
    """The master's group of every caption rendition made; none when there is none."""
    entries = [{"uri": result.playlist, "name": result.name, **({"language": result.language} if result.language
                                                              else {}),
                "default": "YES" if result.default else "NO", "autoselect": "YES",
                **({"forced": "YES"} if result.forced else {})} for result in results if result.playlist]
    return (MediaGroup("SUBTITLES", GROUP_ID, entries),) if entries else ()
