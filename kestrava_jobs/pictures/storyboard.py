"""The storyboard: a tile every interval on JPEG sheets, and the WebVTT index that points
each stretch of the video at its tile. Only what the tiles need is decoded: key frames
alone when they come at least once an interval, and each picture is made tile-sized as it
leaves the decoder."""

import io
from dataclasses import dataclass

import pysubs2

from .. import ladder
from ..common.deadline import Deadline
from ..storage.names import storyboard_sheet
from . import layout
from .commands import FFPROBE, Children, PictureFailed
from .corrections import AS_RGB, corrected
from .order import PicturesOrder

KEY_FRAMES_ONLY = ("-skip_frame", "nokey")
# Otherwise every picture another refers to, without the deblocking filter: a tile is then
# the first of those in its interval, 45 dB or more from the fully decoded one at tile size,
# for a little over half of the decoding.
REFERENCES_ONLY = ("-skip_frame", "noref", "-skip_loop_filter", "all")
SHEET_QUALITY = 90


@dataclass(frozen=True)
class Storyboard:
    sheets: list[bytes]  # JPEG
    index: str  # WebVTT
    interval: int  # seconds between tiles
    tiles: int
    tile_size: tuple[int, int]
    short: str = ""  # why it stops before the video does


def make_storyboard(children: Children, order: PicturesOrder, deadline: Deadline) -> Storyboard:
    duration, picture = order.duration, order.picture
    interval, size = layout.tile_interval(duration), layout.tile_size(picture.shown)
    wanted = layout.tile_count(duration, interval)
    key_frames_only = wanted is not None and key_frames_in_each(children, order, interval, wanted, deadline)
    raw = children.run(tiles_command(order, size, interval, key_frames_only), deadline)
    tile_bytes = size[0] * size[1] * 3
    tiles = [raw[start:start + tile_bytes] for start in range(0, len(raw) - tile_bytes + 1, tile_bytes)][:wanted]
    if not tiles:
        raise PictureFailed("no picture of the video decoded")
    # A video whose last tile would start within its last interval is whole.
    whole = wanted is not None and len(tiles) >= wanted - 1
    end = duration if whole else len(tiles) * interval
    short = "" if whole or duration is None else (f"the video decoded only to {end:g} s of {duration:.3f} s; "
                                                  "the storyboard stops there")
    sheets = [sheet(tiles[first:first + layout.TILES_PER_SHEET], size)
              for first in range(0, len(tiles), layout.TILES_PER_SHEET)]
    return Storyboard(sheets, index(len(tiles), interval, size, end), interval, len(tiles), size, short)


def key_frames_in_each(children: Children, order: PicturesOrder, interval: int, tiles: int,
                       deadline: Deadline) -> bool:
    """Whether each of the tiles' intervals holds a key frame on the package's clock, from
    the packets' stamps and flags (nothing decoded)."""
    found = children.run(["-select_streams", "v:0", "-show_entries", "packet=pts_time,flags", "-of", "csv=p=0",
                          order.source], deadline, program=FFPROBE).decode(errors="replace")
    fields = (line.split(",") for line in found.splitlines())
    stamps = (float(field[0]) for field in fields if len(field) > 1 and "K" in field[1] and
              field[0] not in ("", "N/A"))
    ticks = ladder.PICTURE_RATE * interval
    return set(range(tiles)) <= {round((stamp - order.origin) * ladder.PICTURE_RATE) // ticks for stamp in stamps}


def tiles_command(order: PicturesOrder, size: tuple[int, int], interval: int, key_frames_only: bool) -> list[str]:
    """Raw tiles, one for each interval: the first picture decoded in it, stamped as the
    package stamps it (from the origin, on its grid), or the last one before where none
    is. Their height is a small share of the picture's: they show no combing, and are not
    deinterlaced."""
    ticks = ladder.PICTURE_RATE * interval
    # Stamps on the source's own clock (-copyts), moved to the package's as the module moves them.
    filters = [f"setpts=PTS-round({order.origin!r}/TB)", f"settb=1/{ladder.PICTURE_RATE}",
               f"select='isnan(prev_selected_pts)+gt(floor(pts/{ticks}),floor(prev_selected_pts/{ticks}))'",
               # Dropped pictures cost nothing more once decoded; the few kept are made small first.
               f"fps=fps=1/{interval}:start_time=0:round=down:eof_action=pass", *corrected(order.picture, size, AS_RGB)]
    return [*(KEY_FRAMES_ONLY if key_frames_only else REFERENCES_ONLY), "-threads", "1", "-noautorotate", "-copyts",
            "-i", order.source, "-map", "0:v:0", "-vf", ",".join(filters), "-fps_mode", "passthrough",
            "-f", "rawvideo", "-pix_fmt", "rgb24", "pipe:1"]


def sheet(tiles: list[bytes], size: tuple[int, int]) -> bytes:
    """The tiles side by side, ten a row, as a JPEG (full range, as JPEG readers take it)."""
    # Imported here: every child that runs the module imports this package, and makes no sheet.
    import PIL.Image  # noqa: PLC0415
    columns, rows = layout.sheet_grid(len(tiles))
    board = PIL.Image.new("RGB", (columns * size[0], rows * size[1]))
    for number, tile in enumerate(tiles):
        place = layout.place(number, size)
        board.paste(PIL.Image.frombytes("RGB", size, tile), (place.x, place.y))
    jpeg = io.BytesIO()
    board.save(jpeg, "JPEG", quality=SHEET_QUALITY)
    return jpeg.getvalue()


def index(tiles: int, interval: int, size: tuple[int, int], end: float) -> str:
    """Cues from the start to `end` without gap or overlap, each naming its tile's place."""
    cues = pysubs2.SSAFile()
    for tile in range(tiles):
        place = layout.place(tile, size)
        until = end if tile == tiles - 1 else (tile + 1) * interval
        cues.append(pysubs2.SSAEvent(start=round(tile * interval * 1000), end=round(until * 1000),
                                     text=f"{storyboard_sheet(place.sheet)}#xywh={place.x},{place.y},{size[0]},{size[1]}"))
    return cues.to_string("vtt")
