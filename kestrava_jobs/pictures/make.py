"""A job's poster and storyboard put into its package, whichever machine makes them: the
poster first, then the storyboard's sheets and, last, its index, so that the index never
names a sheet that is not there. What cannot be made leaves the package without it, with
the reason."""

import dataclasses
import subprocess
from collections.abc import Callable

from ..common.deadline import Deadline
from ..common.result import PackageError, PicturesResult
from ..storage.names import POSTER, STORYBOARD, storyboard_sheet
from ..storage.seam import Package
from . import layout
from .commands import Children, PictureFailed
from .order import PicturesOrder
from .poster import make_poster
from .storyboard import make_storyboard

# What keeps a picture from being made; the job goes on without it.
FAILURES = (PictureFailed, OSError, subprocess.SubprocessError, PackageError, ValueError)
# Called with a side file's name once it is in the package.
Told = Callable[[str], None]


def left_out(order: PicturesOrder, wanted: bool, what: str) -> PicturesResult | None:
    """Nothing to make: not asked for, or no size to make it at."""
    if not wanted:
        return PicturesResult()
    if order.picture is None:
        return PicturesResult(skipped=f"no {what}: the video's frame size is unknown")
    return None


def put_poster(order: PicturesOrder, package: Package, children: Children, deadline: Deadline,
               told: Told) -> PicturesResult:
    if (nothing := left_out(order, order.poster, "poster")) is not None:
        return nothing
    try:
        size = layout.poster_size(order.picture.shown, order.narrow)
        package.put_side_file(POSTER, make_poster(children, order.source, order.picture, size, order.duration,
                                                  deadline))
    except FAILURES as failure:
        return PicturesResult(skipped=f"no poster: {failure}")
    told(POSTER)
    return PicturesResult(poster=package.location_of(POSTER))


def put_storyboard(order: PicturesOrder, package: Package, children: Children, deadline: Deadline,
                   told: Told) -> PicturesResult:
    if (nothing := left_out(order, order.storyboard, "storyboard")) is not None:
        return nothing
    try:
        made = make_storyboard(children, order, deadline)
        for number, sheet in enumerate(made.sheets):
            package.put_side_file(storyboard_sheet(number), sheet)
        package.put_side_file(STORYBOARD, made.index.encode())
    except FAILURES as failure:
        return PicturesResult(skipped=f"no storyboard: {failure}")
    told(STORYBOARD)
    return PicturesResult(storyboard=package.location_of(STORYBOARD), interval=made.interval, tiles=made.tiles,
                          sheets=[package.location_of(storyboard_sheet(number)) for number in range(len(made.sheets))],
                          tile_width=made.tile_size[0], tile_height=made.tile_size[1], skipped=made.short)


def joined(poster: PicturesResult, storyboard: PicturesResult) -> PicturesResult:
    reasons = "; ".join(reason for reason in (poster.skipped, storyboard.skipped) if reason)
    return dataclasses.replace(storyboard, poster=poster.poster, skipped=reasons)


def side_files(result: PicturesResult) -> tuple[str, ...]:
    """The side files a master names, of those made."""
    return tuple(name for name, made in ((POSTER, result.poster), (STORYBOARD, result.storyboard)) if made)


def make_pictures(order: PicturesOrder, package: Package, deadline: Deadline,
                  told: Told = lambda name: None) -> PicturesResult:
    """Both pictures, one after the other: the poster sharing the CPU evenly while it is
    made, the storyboard taking only what is left."""
    return joined(put_poster(order, package, Children(), deadline, told),
                  put_storyboard(order, package, Children(idle=True), deadline, told))
