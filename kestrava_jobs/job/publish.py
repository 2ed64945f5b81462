"""Writing a job's master, one step whichever runner made its renditions: the checked
renditions in the order asked for, the caption renditions (written for the first master
and listed by every later one), and the side files the package holds."""

from typing import Protocol

from ..captions.renditions import media_group
from ..common.result import CaptionResult, RenditionResult
from ..hls.master import master_text
from ..storage.seam import Package


class Captions(Protocol):
    """Where a runner keeps its captions between its masters."""
    def for_master(self, package: Package, first: str) -> list[CaptionResult]: ...


class SideFiles(Protocol):
    """Where a runner's pictures are when a master is written."""
    def for_master(self) -> tuple[str, ...]: ...


def publish_master(package: Package, renditions: list[RenditionResult], captions: Captions,
                   pictures: SideFiles, final: bool = True) -> list[CaptionResult]:
    """The master replaced whole; the caption renditions it lists. The final one goes in
    only once the package holds everything the job put as it was put."""
    made = captions.for_master(package, renditions[0].name) if renditions else []
    text = master_text(renditions, media_group(made), pictures.for_master())
    if final:
        package.confirm()
    package.put_master(text, final)
    return made
