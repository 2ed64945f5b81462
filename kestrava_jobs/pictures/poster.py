"""The poster: a representative picture from near a tenth of the way in, never a black or
flat one where the source has others, corrected as the renditions are."""

from ..common.deadline import Deadline
from .commands import Children, PictureFailed
from .corrections import DEINTERLACE, SourcePicture, corrected

# Where the poster is looked for, as shares of the length, the first first, and over how
# many seconds at each.
LOOK_AT, WINDOW_SECONDS = (0.1, 0.3, 0.5, 0.0), 1.0
# FFmpeg's thumbnail filter keeps the picture closest to the window's average; flat
# pictures (black, a fade, a card of one colour) are dropped ahead of it by their entropy.
MOST_PICTURES = 300
CANDIDATES_PER_SECOND = 6
NOT_FLAT = ("entropy,metadata=mode=select:key=lavfi.entropy.normalized_entropy.normal.Y"
            ":value=0.3:function=greater")


def make_poster(children: Children, source: str, picture: SourcePicture, size: tuple[int, int],
                duration: float | None, deadline: Deadline) -> bytes:
    """The poster as a JPEG. Where nothing but flat pictures decode near a tenth of the way
    in, it is looked for further on, then at the start; where every picture there is flat,
    a flat one is taken."""
    failure = PictureFailed("no picture decoded")
    for start, skip_flat in attempts(duration):
        try:
            poster = children.run(poster_command(source, picture, size, start, skip_flat), deadline)
        except PictureFailed as failed:
            failure = failed
            continue
        if poster:
            return poster
    raise failure


def attempts(duration: float | None) -> list[tuple[float, bool]]:
    """Where to look, and whether flat pictures are passed over there."""
    starts = list(dict.fromkeys(round(share * (duration or 0.0), 3) for share in LOOK_AT))
    return [*((start, True) for start in starts), *dict.fromkeys([(starts[0], False), (0.0, False)])]


def poster_command(source: str, picture: SourcePicture, size: tuple[int, int], start: float,
                   skip_flat: bool) -> list[str]:
    # Deinterlaced while the pictures follow one another; then only some are made poster-sized.
    filters = [DEINTERLACE, f"fps=fps={CANDIDATES_PER_SECOND}", *corrected(picture, size),
               *([NOT_FLAT] if skip_flat else []), f"thumbnail=n={MOST_PICTURES}"]
    # Progressive video needs no picture's neighbours: the pictures none refers to are not decoded.
    skip = [] if picture.interlaced else ["-skip_frame", "noref"]
    return [*skip, "-noautorotate", "-ss", f"{start:.3f}", "-t", f"{WINDOW_SECONDS}", "-i", source, "-map", "0:v:0",
            "-vf", ",".join(filters), "-frames:v", "1", "-c:v", "mjpeg", "-q:v", "2", "-f", "image2pipe", "pipe:1"]
