"""The renditions the master playlist lists, and the master rewritten as each one joins.

With early publishing a rendition joins as soon as the module has finished its playlist
and the check passes, while the others are still being made; otherwise every rendition
joins at the end. A player that reads the master at any moment finds only complete,
checked renditions, with measured attributes, in the order asked for; or, when the
smallest is published as it grows, that one from its first segments on, with what is
measured of them so far."""

import logging
import pathlib
import subprocess
from typing import TYPE_CHECKING

import m3u8

from ..captions.job_captions import GrowingCaptions, JobCaptions
from ..common.result import RenditionResult
from ..hls.check import RenditionIncomplete, check_rendition
from ..storage import names as file_names
from ..storage.folder import LocalFiles
from ..storage.keys import KeyInfo
from .growing import PLAYABLE_SEGMENTS, Growing
from .publish import publish_master
from .request import JobRequest

if TYPE_CHECKING:
    from ..pictures.job_pictures import JobPictures

log = logging.getLogger(__name__)


def finished(playlist: pathlib.Path) -> bool:
    """The module has written the playlist's end: its segments are closed. The muxer
    replaces the file whole, so it is never read half-written."""
    try:
        return m3u8.loads(playlist.read_text()).is_endlist
    except OSError:
        return False


class Playable:
    """What the master lists (`listed`) and every rendition checked so far (`checked`)."""

    def __init__(self, request: JobRequest, names: list[str], key: KeyInfo, captions: JobCaptions,
                 pictures: "JobPictures") -> None:
        self.request = request
        self.captions = captions
        self.pictures = pictures
        self.names = names
        self.key = key
        self.work = request.package.work_folder()
        self.checked: dict[str, RenditionResult] = {}
        self.listed: list[str] = []
        self.tried: set[str] = set()
        self.growing: Growing | None = None  # the rendition published as it grows

    def made_in(self, name: str) -> pathlib.Path:
        """The folder the module makes the rendition in."""
        return self.growing.work if self.growing is not None and name == self.growing.name else self.work

    def poll(self) -> None:
        """With early publishing: each rendition the module has just finished is checked
        once, and joins the master when it passes. One that fails is left to the check
        at the end, which says why."""
        if not self.request.publish_early:
            return
        if self.growing is not None:
            self.poll_growing()
        for name in self.names:
            if self.growing is not None and name == self.growing.name:
                continue
            if name not in self.tried and finished(self.work / file_names.playlist(name)):
                self.tried.add(name)
                checked = self.check(name)
                if checked is not None:
                    self.checked[name] = checked
                    self.publish(final=False)

    def poll_growing(self, last: bool = False) -> None:
        """The growing rendition's new segments in; the master, when it starts to list the
        rendition, when the rendition ends, and when it stops short."""
        growing = self.growing
        was_growing, had = growing.growing, growing.seconds
        if last:
            growing.end()
        else:
            growing.poll()
        if growing.failure is not None:
            if was_growing:
                self.left_out(growing.name)
            return
        playable = growing.ended or len(growing.sizes) >= PLAYABLE_SEGMENTS
        if playable and not growing.ended:
            self.captions.grow(self.request.package, growing.name, growing.durations, growing.target)
        if playable and (growing.name not in self.checked or (was_growing and growing.ended)):
            self.checked[growing.name] = growing.figures()
            self.publish(final=False)
        if growing.name in self.listed and growing.seconds > had and self.request.on_published is not None:
            self.request.on_published(growing.name, growing.seconds)

    def left_out(self, name: str) -> None:
        """A rendition the master listed that stopped short: the master without it, or
        none when nothing else is ready."""
        if self.checked.pop(name, None) is None:
            return
        if self.checked:
            self.publish(final=False)
        else:
            self.request.package.remove_master()

    def check(self, name: str) -> RenditionResult | None:
        try:
            checked = check_rendition(LocalFiles(self.work), name, self.key, self.request.deadline)
        except subprocess.TimeoutExpired:
            raise self.request.deadline.expired() from None
        except RenditionIncomplete:
            return None
        self.request.package.put_rendition(self.work, name)
        return checked

    def finish(self, checked: dict[str, RenditionResult]) -> list[RenditionResult]:
        """The renditions checked at the end joined to those checked before, in the order
        asked for: what the final master lists, each of them now in the package."""
        for name in checked:
            self.request.package.put_rendition(self.work, name)
        self.checked.update(checked)
        return [self.checked[name] for name in self.names if name in self.checked]

    def publish(self, final: bool = True) -> None:
        """The master replaced whole with every checked rendition and the side files made
        so far; then the caller is told of each rendition it lists for the first time. A
        master that cannot be written early is only a warning: the final one says why."""
        renditions = [self.checked[name] for name in self.names if name in self.checked]
        # Captions are cut on the first rendition's segments, which must all be there.
        growing_first = self.growing is not None and renditions[0].name == self.growing.name and \
            not self.growing.ended
        try:
            publish_master(self.request.package, renditions,
                           GrowingCaptions(self.captions) if growing_first else self.captions, self.pictures, final)
        except OSError as error:
            if final:
                raise
            log.warning("%s: the master playlist could not be written yet: %s",
                        self.request.package.location_of(file_names.MASTER), error.strerror or error)
            return
        joined = [rendition.name for rendition in renditions if rendition.name not in self.listed]
        self.listed += joined
        for name in joined:
            if self.request.on_rendition is not None:
                self.request.on_rendition(name)
