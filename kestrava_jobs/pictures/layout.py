"""How large the poster and the storyboard's tiles are, how often a tile is taken, and
where each tile sits on its sheet."""

import math
from dataclasses import dataclass

POSTER_LONG_SIDE = 1280
TILE_WIDTH = 160
SHEET_COLUMNS = SHEET_ROWS = 10
TILES_PER_SHEET = SHEET_COLUMNS * SHEET_ROWS
# One tile every so many seconds: the shortest that keeps the video within MOST_TILES.
INTERVALS = (1, 2, 5, 10, 15, 30, 60)
MOST_TILES = 100
# A source of unknown length gets a tile every so many seconds, for as long as it decodes.
UNKNOWN_LENGTH_INTERVAL = 10


@dataclass(frozen=True)
class Place:
    sheet: int
    x: int
    y: int


def even(value: float) -> int:
    return max(2, 2 * round(value / 2))


def tile_interval(duration: float | None) -> int:
    if duration is None:
        return UNKNOWN_LENGTH_INTERVAL
    return next((seconds for seconds in INTERVALS if math.ceil(duration / seconds) <= MOST_TILES), INTERVALS[-1])


def tile_count(duration: float | None, interval: int) -> int | None:
    """The tiles that cover the whole video, one at least; None when its length is unknown."""
    return None if duration is None else max(1, math.ceil(duration / interval))


def tile_size(shown: tuple[int, int]) -> tuple[int, int]:
    """TILE_WIDTH wide, as high as the picture's shape asks (portrait tiles for portrait video)."""
    width, height = shown
    return TILE_WIDTH, even(TILE_WIDTH * height / width)


def poster_size(shown: tuple[int, int], narrow: int) -> tuple[int, int]:
    """The picture's shape at the largest rendition's narrow side, its long side at most
    POSTER_LONG_SIDE, and never larger than the source shows it."""
    width, height = shown
    scale = min(narrow / min(width, height), POSTER_LONG_SIDE / max(width, height), 1.0)
    return even(width * scale), even(height * scale)


def place(tile: int, size: tuple[int, int]) -> Place:
    on_sheet = tile % TILES_PER_SHEET
    return Place(tile // TILES_PER_SHEET, on_sheet % SHEET_COLUMNS * size[0], on_sheet // SHEET_COLUMNS * size[1])


def sheet_grid(tiles: int) -> tuple[int, int]:
    """Columns and rows of a sheet holding `tiles`: the last sheet only as high as it needs."""
    return min(tiles, SHEET_COLUMNS), math.ceil(tiles / SHEET_COLUMNS)
