"""One time-out for the whole job: probe, child and checks."""

import math
import time

from .result import PackageTimeout


class Deadline:
    def __init__(self, seconds: float | None) -> None:
        self.started = time.monotonic()
        self.seconds = seconds
        self.at = math.inf if seconds is None else self.started + seconds

    @classmethod
    def until(cls, wall_at: float | None, seconds: float | None) -> "Deadline":
        """The deadline of a job that started elsewhere and ends at `wall_at` (time.time())."""
        deadline = cls(seconds)
        if wall_at is not None and seconds is not None:
            deadline.at = time.monotonic() + (wall_at - time.time())
            deadline.started = deadline.at - seconds
        return deadline

    def elapsed(self) -> float:
        return round(time.monotonic() - self.started, 3)

    def expired(self) -> PackageTimeout:
        """The one error a job past its time-out raises."""
        return PackageTimeout(f"the job ran past its time-out of {self.seconds:g} s and was killed "
                              f"after {self.elapsed():.1f} s")

    def left(self) -> float | None:
        """Seconds left, for a subprocess's time-out (None: no limit); raises once none are."""
        if self.at == math.inf:
            return None
        left = self.at - time.monotonic()
        if left <= 0:
            raise self.expired()
        return left

    def passed(self) -> bool:
        return time.monotonic() >= self.at
