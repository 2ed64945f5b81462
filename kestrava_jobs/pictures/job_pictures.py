"""A job's pictures on one machine: made in a thread of the job's own, in children at the
lowest nice value, started ahead of the renditions and put into the package as each is
made. The caller hears of each on the job's own thread, as it hears of the renditions."""

import concurrent.futures
import threading

from ..common.deadline import Deadline
from ..common.result import PicturesResult
from ..storage.seam import Package
from .commands import Children
from .make import Told, joined, put_poster, put_storyboard
from .order import PicturesOrder

NOT_WANTED = PicturesResult()


class JobPictures:
    def __init__(self, order: PicturesOrder, package: Package, deadline: Deadline, told: Told | None) -> None:
        self.deadline = deadline
        self.told = told or (lambda name: None)
        # The poster shares the CPU evenly while it is made (about a second); the storyboard
        # takes only what the renditions leave.
        self.children = Children(), Children(idle=True)
        self.pool = concurrent.futures.ThreadPoolExecutor(1)
        self.put: list[str] = []
        self.told_of = 0  # how many of `put` the caller has heard of
        self.put_lock = threading.Lock()
        self.asked = False  # whether a master has asked for the side files yet
        steps = (put_poster, put_storyboard) if order.wanted else ()
        self.steps = [self.pool.submit(step, order, package, children, deadline, self.tell)
                      for step, children in zip(steps, self.children)]

    def tell(self, name: str) -> None:
        with self.put_lock:
            self.put.append(name)

    def poll(self) -> None:
        """The caller told of each side file put since it last asked."""
        with self.put_lock:
            news, self.told_of = self.put[self.told_of:], len(self.put)
        for name in news:
            self.told(name)

    def made_so_far(self, wait_for_poster: bool) -> tuple[str, ...]:
        """The side files in the package now, each told of first; the poster awaited first
        when asked (its attempt is short), so that the first master names it."""
        if wait_for_poster and self.steps:
            concurrent.futures.wait(self.steps[:1], timeout=self.deadline.left())
        self.poll()  # the caller hears of each before a master names it
        with self.put_lock:
            return tuple(self.put[:self.told_of])

    def for_master(self) -> tuple[str, ...]:
        """The side files a master names: the first one waits for the poster's attempt."""
        first, self.asked = not self.asked, True
        return self.made_so_far(wait_for_poster=first)

    def finish(self) -> PicturesResult:
        """Both pictures, once made; the job's time-out when it passes first."""
        if not self.steps:
            return NOT_WANTED
        try:
            poster, storyboard = (step.result(timeout=self.deadline.left()) for step in self.steps)
        except concurrent.futures.TimeoutError:
            raise self.deadline.expired() from None
        self.poll()
        return joined(poster, storyboard)

    def close(self) -> None:
        for children in self.children:
            children.stop()
        self.pool.shutdown(wait=True, cancel_futures=True)
