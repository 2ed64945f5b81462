"""A job's captions on one machine, from its start to its first master: the tracks parsed
beside the encoding, then written once the first rendition is checked, so that every
master a player can read, an early one too, lists them."""

import concurrent.futures

from ..common.deadline import Deadline
from ..common.result import CaptionResult
from ..storage.keys import KeyInfo
from ..storage.seam import Package
from .renditions import parse_all, write_captions
from .tracks import CaptionPlan


class JobCaptions:
    def __init__(self, source: str, plan: CaptionPlan, key: KeyInfo, deadline: Deadline) -> None:
        self.deadline = deadline
        self.key = key
        self.pool = concurrent.futures.ThreadPoolExecutor(1)
        self.parsing = self.pool.submit(parse_all, source, plan, deadline) if plan.tracks else None
        self.results: list[CaptionResult] | None = None

    def for_master(self, package: Package, first: str) -> list[CaptionResult]:
        """The caption renditions, written on the timeline of `first` (a checked rendition in
        the package) the first time they are asked for."""
        if self.results is None:
            self.results = [] if self.parsing is None else write_captions(package, self.parsed(), first, self.key,
                                                                           self.deadline)
        return self.results

    def parsed(self) -> list:
        try:
            return self.parsing.result(timeout=self.deadline.left())
        except concurrent.futures.TimeoutError:
            raise self.deadline.expired() from None

    def close(self) -> None:
        self.pool.shutdown(wait=False, cancel_futures=True)
