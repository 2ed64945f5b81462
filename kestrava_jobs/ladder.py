"""The rendition ladder as the module knows it: name, frame size and default bit rate."""

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
BY_NAME = {rung.name: rung for rung in LADDER}
# What the module pairs with a name outside the ladder.
UNKNOWN_NAME_BITRATE = 1_000_000


def default_names(shown_size: tuple[int, int] | None) -> list[str]:
    """The ladder without rungs larger than the source as shown; the smallest rung at least.
    The whole ladder when the source's size is unknown."""
    if shown_size is None:
        return [rung.name for rung in LADDER]
    narrow = min(shown_size)
    return [rung.name for rung in LADDER if rung.narrow <= narrow] or [LADDER[-1].name]


def default_bitrates(names: list[str]) -> list[int]:
    """Each name's own default rate (the module would pair its default list by position)."""
    return [BY_NAME[name].bitrate if name in BY_NAME else UNKNOWN_NAME_BITRATE for name in names]
