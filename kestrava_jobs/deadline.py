"""One time-out for the whole job: probe, child and checks."""

import math
import time

from .result import PackageTimeout


class Deadline:
    def __init__(self, seconds: float | None) -> None:
        self.at = math.inf if seconds is None else time.monotonic() + seconds

    def left(self) -> float | None:
        """Seconds left, for a subprocess's time-out (None: no limit); raises once none are."""
        if self.at == math.inf:
            return None
        left = self.at - time.monotonic()
        if left <= 0:
            raise PackageTimeout("the job ran past its time-out")
        return left

    def passed(self) -> bool:
        return time.monotonic() >= self.at
