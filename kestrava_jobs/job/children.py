"""The module's calls in child processes of their own, watched until they end: the
time-out, cancelling, and whatever the caller looks at on the way (progress, renditions
ready early)."""

import json
import logging
import os
import pathlib
import subprocess
import sys
import threading
from collections.abc import Callable
from dataclasses import dataclass

from .. import ladder
from ..common.deadline import Deadline
from ..common.process_group import stop
from ..common.result import PackageCancelled
from ..storage.names import MASTER, module_master
from .request import BEHIND_NICE

log = logging.getLogger(__name__)

POLL_SECONDS = 0.25
# The module's name as a child runs it.
CHILD_MODULE = "kestrava_jobs.job.child"


@dataclass(frozen=True)
class ModuleRun:
    """Renditions the module makes in `work`, its log going to `log_fd`."""
    source: str
    work: pathlib.Path
    names: list[str]
    rates: list[int]
    key_info: pathlib.Path  # the key info file the module reads; never the key
    log_fd: int
    deadline: Deadline
    cancel: threading.Event | None = None
    early: bool = False  # the master is published early: the module's goes under a private name
    behind_nice: int | None = BEHIND_NICE  # with `early`, the larger renditions' child's; None: one child
    growing: pathlib.Path | None = None  # with `early`, where the smallest is made when it is published as it grows


@dataclass(frozen=True)
class ChildCall:
    """What one child makes: the module's call for some of the job's renditions."""
    names: list[str]
    rates: list[int]
    master: str  # the name under which the module writes its own master, in the work folder
    nice: int  # added to the child's nice value before it starts
    work: pathlib.Path  # the folder it works in


def child_calls(run: ModuleRun) -> list[ChildCall]:
    """One child for the whole job, writing the module's master as the master; with early
    publishing, the module's master under a name of its own, and the smallest rendition
    ahead of the others in a child of its own."""
    if not run.early:
        return [ChildCall(run.names, run.rates, MASTER, 0, run.work)]
    rates = dict(zip(run.names, run.rates))
    smallest = min(run.names, key=ladder.size)
    others = [name for name in run.names if name != smallest]
    first_work = run.growing or run.work
    if not others or (run.behind_nice is None and run.growing is None):
        return [ChildCall(run.names, run.rates, module_master(0), 0, first_work)]
    return [ChildCall([smallest], [rates[smallest]], module_master(0), 0, first_work),
            ChildCall(others, [rates[name] for name in others], module_master(1), run.behind_nice or 0, run.work)]


def run_module(run: ModuleRun, poll: Callable[[], None]) -> None:
    """Runs the module's calls until every child has ended, `poll` called between looks."""
    log.info("packaging %s into %s: %s at %s", run.source, run.work, run.names, run.rates)
    calls = child_calls(run)
    children: list[subprocess.Popen] = []
    try:
        for call in calls:  # one by one: a child that started is stopped if the next cannot start
            children.append(start_child(run, call))
        watch(children, run, poll)
    finally:
        for child in children:
            stop(child)
        for call in calls:
            if call.master != MASTER:
                (call.work / call.master).unlink(missing_ok=True)


def start_child(run: ModuleRun, call: ChildCall) -> subprocess.Popen:
    """A child in a process group of its own, so that stopping it stops all it started."""
    arguments = {"source": run.source, "resolution": call.names, "bitrate": call.rates,
                 "key_info": str(run.key_info), "master": call.master, "nice": call.nice}
    return subprocess.Popen([sys.executable, "-m", CHILD_MODULE, json.dumps(arguments), str(os.getpid())],
                            cwd=call.work, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=run.log_fd, start_new_session=True)


def watch(children: list[subprocess.Popen], run: ModuleRun, poll: Callable[[], None]) -> None:
    """Until every child has ended: what the caller looks at, the time-out and cancelling."""
    while running := [child for child in children if child.poll() is None]:
        try:
            running[0].wait(timeout=POLL_SECONDS)
        except subprocess.TimeoutExpired:
            pass
        poll()
        if run.deadline.passed():
            raise run.deadline.expired()
        if run.cancel is not None and run.cancel.is_set():
            raise PackageCancelled("the job was cancelled")
