"""The rendition ladder as the module knows it: name, frame size and default bit rate; and
the grid it stamps every picture on."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Rung:
    name: str
    wide: int  # frame width of a landscape rendition, height of a portrait one
    narrow: int
    bitrate: int  # default video bit rate, bits per second


LADDER: tuple[Rung, ...] = (
    Rung("1080p", 1920, 1080, 5_000_000),
    Rung("720p", 1280, 720, 2_500_000),
    Rung("480p", 854, 480, 1_000_000),
    Rung("360p", 640, 360, 400_000),
)
# Every rendition's pictures are stamped on a 1/PICTURE_RATE s grid from the source's origin.
PICTURE_RATE = 30
BY_NAME = {rung.name: rung for rung in LADDER}
NAMES = [rung.name for rung in LADDER]


def size(name: str) -> int:
    """Where a rendition stands on the ladder, as its frame's narrow side."""
    return BY_NAME[name].narrow


def default_names(shown_size: tuple[int, int] | None) -> list[str]:
    """The ladder without rungs larger than the source as shown; the smallest rung at least.
    The whole ladder when the source's size is unknown."""
    if shown_size is None:
        return list(NAMES)
    narrow = min(shown_size)
    return [rung.name for rung in LADDER if rung.narrow <= narrow] or [LADDER[-1].name]


def pair(names: list[str] | None, rates: list[int] | None,
         shown_size: tuple[int, int] | None) -> tuple[list[str], list[int]]:
    """Names and their rates. Rates go with the names by position, each name without one
    getting its own default; without names they go with the whole ladder, as the module
    pairs them, and the rungs larger than the source go together with their rates."""
    given = names or NAMES
    paired = dict(zip(given, [*(rates or []), *(BY_NAME[name].bitrate for name in given[len(rates or []):])]))
    kept = names or default_names(shown_size)
    return kept, [paired[name] for name in kept]
