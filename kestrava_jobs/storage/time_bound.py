"""The job's deadline as the object store's client sees it: each request to the store, and
each retry of one, made from a thread working for a job is refused once that job's
time-out has passed, so that retries of what is transient stay within it."""

import contextlib
import threading
from collections.abc import Callable, Iterator
from typing import TypeVar

from ..common.deadline import Deadline

_working_for = threading.local()
Result = TypeVar("Result")


@contextlib.contextmanager
def within(deadline: Deadline | None) -> Iterator[None]:
    """This thread's requests to the store bound by `deadline` for the block."""
    before = getattr(_working_for, "deadline", None)
    _working_for.deadline = deadline
    try:
        yield
    finally:
        _working_for.deadline = before


def current() -> Deadline | None:
    return getattr(_working_for, "deadline", None)


def carried(call: Callable[..., Result]) -> Callable[..., Result]:
    """`call` bound by this thread's deadline in whichever thread runs it."""
    deadline = current()

    def bound(*args, **kwargs) -> Result:
        with within(deadline):
            return call(*args, **kwargs)
    return bound


def refuse_when_passed(**_: object) -> None:
    """Before each request is sent, and before each retry of it."""
    deadline = current()
    if deadline is not None and deadline.passed():
        raise deadline.expired()
