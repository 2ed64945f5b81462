"""What a job asks of its pictures: which source, of what shape, on which clock, and which
of the two pictures."""

from dataclasses import dataclass

from .. import ladder
from ..source.probe import SourceInfo
from .corrections import SourcePicture, source_picture


@dataclass(frozen=True)
class PicturesOrder:
    """What to make, of which source."""
    source: str
    picture: SourcePicture | None  # None: the video's size is unknown
    duration: float | None  # the media's own length
    origin: float  # where the package's clock starts, on the source's
    narrow: int  # the largest rendition's narrow side
    poster: bool = True
    storyboard: bool = True

    @property
    def wanted(self) -> bool:
        return self.poster or self.storyboard


def pictures_order(source: str, info: SourceInfo, names: list[str], poster: bool, storyboard: bool) -> PicturesOrder:
    """The pictures of the source's first video stream, the poster as large as the largest rendition."""
    return PicturesOrder(source=source, picture=source_picture(info.video or {}), duration=info.duration,
                         origin=info.origin, narrow=max(ladder.size(name) for name in names), poster=poster,
                         storyboard=storyboard)
