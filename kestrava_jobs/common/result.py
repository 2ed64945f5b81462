"""What a packaging job returns or raises."""

import dataclasses
from dataclasses import dataclass, field


@dataclass
class RenditionResult:
    name: str
    duration: float  # seconds, the sum of the playlist's segment durations
    segments: int
    bytes: int
    bitrate: int  # average, bits per second, over all segments
    peak_bitrate: int  # the highest segment's, bits per second
    width: int
    height: int
    codecs: str  # RFC 6381, as a master playlist gives them: "avc1.64001f,mp4a.40.2"
    frame_rate: float | None
    worker: str = ""  # the Celery worker that made it, when spread over a cluster


@dataclass
class CaptionResult:
    """One caption track: the rendition made of it, or why it was left out."""
    origin: str  # "stream 2 (subrip)", or the sidecar file's path
    name: str = ""  # NAME in the master
    language: str = ""  # BCP-47, empty when unknown
    playlist: str = ""  # its media playlist in the package; empty when left out
    segments: int = 0
    cues: int = 0
    default: bool = False
    forced: bool = False
    skipped: str = ""  # why it was left out


@dataclass
class LeftOutAudio:
    """An audio stream of the source that no rendition carries: each carries one."""
    index: int  # the source's stream
    language: str = ""  # as the source tags it (ISO 639-2), empty when untagged
    title: str = ""


@dataclass
class PicturesResult:
    """The poster and the storyboard, by location as the package's home names them; empty
    when not made, with the reason in `skipped`."""
    poster: str = ""  # poster.jpg
    storyboard: str = ""  # storyboard.vtt, its cues pointing at the sheets' tiles
    sheets: list[str] = field(default_factory=list)  # storyboard_0.jpg, ...
    interval: int = 0  # seconds between tiles
    tiles: int = 0
    tile_width: int = 0
    tile_height: int = 0
    skipped: str = ""  # why a picture is missing, or the storyboard stops short


@dataclass
class PackageResult:
    """Where the package is and what it holds. Its files are named by location, as the
    package's home names them (a folder's path): the package, its master, and the job's log."""
    source: str
    out_dir: str  # the package
    master: str  # its master playlist
    log: str  # FFmpeg's log of the job, beside the package
    seconds: float  # wall time of the whole job
    key_file: str = ""  # where the key is (never the key itself)
    key_uri: str = ""  # the key's URI as the playlists name it
    complete: list[str] = field(default_factory=list)
    failed: list[str] = field(default_factory=list)
    reasons: dict[str, str] = field(default_factory=dict)  # why each failed rendition failed
    renditions: dict[str, RenditionResult] = field(default_factory=dict)
    log_tail: str = ""
    captions: list[CaptionResult] = field(default_factory=list)
    pictures: PicturesResult = field(default_factory=PicturesResult)
    audio_left_out: list[LeftOutAudio] = field(default_factory=list)

    def to_dict(self) -> dict:
        """Plain JSON-able data."""
        return dataclasses.asdict(self)

    @classmethod
    def from_dict(cls, data: dict) -> "PackageResult":
        renditions = {name: RenditionResult(**rendition) for name, rendition in data["renditions"].items()}
        captions = [CaptionResult(**caption) for caption in data.get("captions", [])]
        pictures = PicturesResult(**data.get("pictures", {}))
        audio = [LeftOutAudio(**stream) for stream in data.get("audio_left_out", [])]
        return cls(**{**data, "renditions": renditions, "captions": captions, "pictures": pictures,
                      "audio_left_out": audio})


class PackageError(RuntimeError):
    """No rendition came out complete. `result` holds what is known; the message names
    what went wrong with each rendition."""

    def __init__(self, message: str, result: PackageResult | None = None) -> None:
        super().__init__(message)
        self.result = result


class UnreadableSource(PackageError, ValueError):
    """The source is nothing FFmpeg can package: not a media file, or no video in it.
    Found before any file is made."""


class PackageTimeout(PackageError, TimeoutError):
    """The job ran past its time-out and was killed."""


class PackageCancelled(PackageError):
    """The job was cancelled (Ctrl-C in the command) and its child killed."""


class PackageBusy(FileExistsError):
    """Another job holds the package folder. `job_id` is the holder's, when it gave one."""

    def __init__(self, message: str, job_id: str | None = None) -> None:
        super().__init__(message)
        self.job_id = job_id
