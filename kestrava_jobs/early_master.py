"""The renditions the master playlist lists, and the master rewritten as each one joins.

With early publishing a rendition joins as soon as the module has finished its playlist
and the check passes, while the others are still being made; otherwise every rendition
joins at the end. A player that reads the master at any moment finds only complete,
checked renditions, with measured attributes, in the order asked for."""

import logging
import pathlib
import subprocess

import m3u8

from .keys import KeyInfo
from .package_check import RenditionIncomplete, check_rendition, write_master
from .request import JobRequest
from .result import RenditionResult

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

    def __init__(self, request: JobRequest, names: list[str], key: KeyInfo) -> None:
        self.request = request
        self.names = names
        self.key = key
        self.checked: dict[str, RenditionResult] = {}
        self.listed: list[str] = []
        self.tried: set[str] = set()

    def poll(self) -> None:
        """With early publishing: each rendition the module has just finished is checked
        once, and joins the master when it passes. One that fails is left to the check
        at the end, which says why."""
        if not self.request.publish_early:
            return
        for name in self.names:
            if name not in self.tried and finished(self.request.folder.path / f"{name}.m3u8"):
                self.tried.add(name)
                checked = self.check(name)
                if checked is not None:
                    self.checked[name] = checked
                    self.publish(write_errors_raise=False)

    def check(self, name: str) -> RenditionResult | None:
        try:
            return check_rendition(self.request.folder.path, name, self.key, self.request.deadline)
        except subprocess.TimeoutExpired:
            raise self.request.deadline.expired() from None
        except RenditionIncomplete:
            return None

    def finish(self, checked: dict[str, RenditionResult]) -> list[RenditionResult]:
        """The renditions checked at the end joined to those checked before, in the order
        asked for: what the final master lists."""
        self.checked.update(checked)
        return [self.checked[name] for name in self.names if name in self.checked]

    def publish(self, write_errors_raise: bool = True) -> None:
        """The master rewritten (a temporary file, then a rename) with every checked
        rendition; then the caller is told of each one it lists for the first time. A
        master that cannot be written early is only a warning: the final one says why."""
        renditions = [self.checked[name] for name in self.names if name in self.checked]
        try:
            write_master(self.request.folder.master, renditions)
        except OSError as error:
            if write_errors_raise:
                raise
            log.warning("%s: the master playlist could not be written yet: %s", self.request.folder.master,
                        error.strerror)
            return
        joined = [rendition.name for rendition in renditions if rendition.name not in self.listed]
        self.listed += joined
        for name in joined:
            if self.request.on_rendition is not None:
                self.request.on_rendition(name)
