"""A job's captions from its start to its first master: the tracks parsed beside the
encoding, then written once the first rendition is checked, so that every master a
player can read, an early one too, lists them."""

import concurrent.futures
import subprocess

from ..common.deadline import Deadline
from ..common.result import CaptionResult
from ..hls.check import RenditionIncomplete
from ..hls.master import MediaGroup
from ..storage.keys import KeyInfo
from ..storage.seam import Package
from .renditions import left_out, media_group, parse_all, publish_captions
from .timeline import measured_timeline
from .tracks import CaptionPlan


class JobCaptions:
    def __init__(self, source: str, plan: CaptionPlan, deadline: Deadline) -> None:
        self.deadline = deadline
        self.plan = plan
        self.pool = concurrent.futures.ThreadPoolExecutor(1)
        self.parsing = self.pool.submit(parse_all, source, plan, deadline) if plan.tracks else None
        self.results: list[CaptionResult] | None = None

    def groups(self, package: Package, first: str, key: KeyInfo) -> tuple[MediaGroup, ...]:
        """The master's caption group, the renditions written on the timeline of `first`
        (a checked rendition in the package) the first time they are asked for."""
        if self.results is None:
            self.results = [] if self.parsing is None else self.made(package, first, key)
        return media_group(self.results)

    def made(self, package: Package, first: str, key: KeyInfo) -> list[CaptionResult]:
        """Captions that cannot be made leave the video's package as it is, with the reason."""
        try:
            parsed = self.parsing.result(timeout=self.deadline.left())
            return publish_captions(package, parsed, measured_timeline(package, first, key, self.deadline))
        except (subprocess.TimeoutExpired, concurrent.futures.TimeoutError):
            raise self.deadline.expired() from None
        except (subprocess.SubprocessError, OSError, ValueError, RenditionIncomplete) as error:
            return [left_out(track, f"the captions could not be made ({error})") for track in self.plan.tracks]

    def close(self) -> None:
        self.pool.shutdown(wait=False, cancel_futures=True)
