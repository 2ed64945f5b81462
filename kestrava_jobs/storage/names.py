"""The names of a package's files and of the job's own files beside it, and what each
kind of file is served as. Nothing else spells them."""

import pathlib

MASTER = "master.m3u8"
# The module names a rendition's files after the rendition: 720p.m3u8, 720p_000.ts, ...
PLAYLIST_SUFFIX = ".m3u8"
# Beside the package: <name>.lock, <name>.log, <name>.done.json (the finished job's
# record) and <name>.staging, where a job spread over a cluster makes its renditions.
LOCK, LOG, RECORD, STAGING = ".lock", ".log", ".done.json", ".staging"
BESIDE = (LOCK, LOG, RECORD, STAGING)
# Beside a package in a bucket, for a moment: the object that tells whether the server
# honours conditional writes (<name>.probe-<random>).
PROBE = ".probe"
# The private folder (mode 0700) a growing rendition is made in before each of its
# segments goes into the package: in a package folder, or in the job's scratch folder.
GROWING = ".growing"
# What a player is handed for each file a package may hold.
CONTENT_TYPES = {PLAYLIST_SUFFIX: "application/vnd.apple.mpegurl", ".ts": "video/mp2t", ".vtt": "text/vtt",
                 ".jpg": "image/jpeg"}
# How long a cache may keep each, where the companion sets it (a bucket): a file the job
# puts never changes; the master changes while renditions join it, then seldom; a growing
# media playlist changes until it ends, and never after.
CACHE_FOREVER = "public, max-age=31536000, immutable"
CACHE_CHANGING, CACHE_MASTER_FINAL = "no-cache", "public, max-age=60"
# The job's own files beside a package, and anything else, are served as nothing.
PRIVATE_TYPE = "application/octet-stream"


def content_type(name: str) -> str:
    return CONTENT_TYPES.get(pathlib.PurePath(name).suffix, PRIVATE_TYPE)


def playlist(name: str) -> str:
    """A rendition's media playlist."""
    return name + PLAYLIST_SUFFIX


def rendition_of(playlist_uri: str) -> str:
    """The rendition a master's variant URI names."""
    return pathlib.PurePath(playlist_uri).stem


def file_name(uri: str) -> str:
    """A file a playlist lists, as it is named in the package (playlists list bare names)."""
    return pathlib.PurePath(uri).name


# A caption track's rendition: subs_en.m3u8 and its segments subs_en_000.vtt, ...
CAPTION_PREFIX = "subs_"


def caption_playlist(track_id: str) -> str:
    return track_id + PLAYLIST_SUFFIX


def caption_segment(track_id: str, number: int) -> str:
    return f"{track_id}_{number:03d}.vtt"


# The pictures a platform shows around the video: a poster, and a storyboard of tiles on
# sheets storyboard_0.jpg, ... with its WebVTT index storyboard.vtt.
POSTER, STORYBOARD = "poster.jpg", "storyboard.vtt"
# The master names them in EXT-X-SESSION-DATA entries, which players that do not know them ignore.
SESSION_DATA_IDS = {POSTER: "com.kestrava.poster", STORYBOARD: "com.kestrava.storyboard"}


def storyboard_sheet(number: int) -> str:
    return f"storyboard_{number}.jpg"


# In a spread job's staging area: each rendition's work folder and log, its record, the
# lock a task holds while it makes it, and the locks of the job's shared steps.

def staging_record(name: str) -> str:
    return f"{name}.json"


def staging_log(name: str) -> str:
    return f"{name}.log"


def staging_seconds(name: str) -> str:
    """How many seconds of the rendition its task has made so far."""
    return f"{name}.seconds"


def staging_lock(name: str) -> str:
    """A rendition's lock, or a shared step's (MASTER_STEP, PROGRESS_STEP, END_STEP, PICTURES_STEP)."""
    return f"{name}.lock"


# The job's shared steps, by the names their locks and records go by.
MASTER_STEP, PROGRESS_STEP, END_STEP, PICTURES_STEP = "master", "progress", "end", "pictures"
# The captions' cues as the submit step parsed them, what the first master made of them,
# and what is cut so far on a rendition published as it grows.
CAPTIONS_PARSED, CAPTIONS_MADE, CAPTIONS_GROWING = "captions.json", "captions-made.json", "captions-growing.json"
# The source's audio streams no rendition carries, as the submit step's probe found them.
AUDIO_LEFT_OUT = "audio-left-out.json"


# The module's own master when the companion publishes its own: one per child, so that it
# never replaces the package's even for a moment.
def module_master(child: int) -> str:
    return f".module-master-{child}{PLAYLIST_SUFFIX}"


# A side file is written under this name beside it, then renamed over it.
def partial(name: str) -> str:
    return name + ".partial"
