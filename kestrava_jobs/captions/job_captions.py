"""A job's captions on one machine, from its start to its first master: the tracks parsed
beside the encoding, then written once the first rendition is checked, so that every
master a player can read, an early one too, lists them. When the first rendition is
published as it grows, they are cut on its segments as they are put in, and written
whole and checked once it has ended."""

import concurrent.futures

from ..common.deadline import Deadline
from ..common.result import CaptionResult
from ..storage.keys import KeyInfo
from ..storage.seam import Package
from .renditions import CutSoFar, cut_further, parse_all, write_captions
from .tracks import CaptionPlan


class JobCaptions:
    def __init__(self, source: str, plan: CaptionPlan, key: KeyInfo, deadline: Deadline,
                 seconds: float | None = None) -> None:
        self.deadline = deadline
        self.key = key
        self.seconds = seconds  # the source's length, when known
        self.pool = concurrent.futures.ThreadPoolExecutor(1)
        self.parsing = self.pool.submit(parse_all, source, plan, deadline) if plan.tracks else None
        self.results: list[CaptionResult] | None = None
        self.cut = CutSoFar()  # while the first rendition grows

    def for_master(self, package: Package, first: str) -> list[CaptionResult]:
        """The caption renditions, written on the timeline of `first` (a checked rendition in
        the package) the first time they are asked for."""
        if self.results is None:
            self.results = [] if self.parsing is None else write_captions(package, self.parsed(), first, self.key,
                                                                           self.deadline)
        return self.results

    def grow(self, package: Package, first: str, durations: list[float], target: int) -> None:
        """The caption renditions cut on the segments of `first` in the package so far. A
        track that cannot be is left out from then on, with the reason."""
        if self.parsing is None or self.results is not None or len(durations) <= self.cut.written:
            return
        found = cut_further(package, self.parsed(), first, self.key, self.deadline, (durations, target),
                            self.seconds, self.cut)
        if isinstance(found, CutSoFar):
            self.cut = found
        else:
            self.results = found

    def parsed(self) -> list:
        try:
            return self.parsing.result(timeout=self.deadline.left())
        except concurrent.futures.TimeoutError:
            raise self.deadline.expired() from None

    def close(self) -> None:
        self.pool.shutdown(wait=False, cancel_futures=True)


class GrowingCaptions:
    """A master's captions while its first rendition is still growing: those cut so far."""

    def __init__(self, captions: JobCaptions) -> None:
        self.captions = captions

    def for_master(self, package: Package, first: str) -> list[CaptionResult]:
        return self.captions.results if self.captions.results is not None else list(self.captions.cut.results)
