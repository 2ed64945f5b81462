"""One job spread over two Celery workers against the same job on one, with a real Redis
and real workers, each worker pinned to a core of its own (taskset -c), in paired rounds
whose order alternates. Worker a@ (core 0) also serves the queue "solo": a job sent
there models one one-core machine; a@ and b@ (core 1) both serve the default queue,
which models two.

  latency      package_video on a@ alone against package_spread over a@ and b@, from
               submit to the stored result; 1080p source, the default ladder. Beside it,
               each rendition's own time (a package_video of that one rendition, its
               result's seconds, on a core of its own) and the orchestration overhead:
               submit until the master lists every rendition, minus the longest one.
  first play   submit until master.m3u8 lists a complete rendition (the file polled):
               package_video with publish_early on a@ alone, and package_spread with
               publish_early over both, against the one-worker job without the option.
  throughput   4 jobs queued at once on a@ and b@, package_spread against package_video,
               on a 4 s source, so that the whole run stays near twelve minutes.

Each round also says what share of the machine other people's processes took meanwhile:
with two cores and two pinned workers, any of it slows one side of a pair.

Usage: python bench/spread_bench.py [--rounds N] [--seconds S] [--batch-seconds S]
"""

import argparse
import contextlib
import gc
import itertools
import os
import pathlib
import shutil
import socket
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import m3u8

from picture_costs import RESULTS
from runners import LADDER
from sources import CACHE, realistic_source

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORK = RESULTS / "work" / "spread"
NAMES = [name for name, *_ in LADDER]
SOLO = "solo"  # the queue only a@ serves
# Name, core, queues.
WORKERS = (("a", 0, f"celery,{SOLO}"), ("b", 1, "celery"))
BATCH = 4
POLL_SECONDS = 0.02
STEPS = ("video", "spread", "video early", "spread early", "alone", "batch video", "batch spread")


@dataclass(frozen=True)
class Shared:
    """The folders every worker sees: packages and keys; the sources stay in the bench cache."""
    packages: pathlib.Path
    keys: pathlib.Path

    def environment(self, broker: str) -> dict[str, str]:
        return {**os.environ, "PYTHONPATH": str(ROOT), "KESTRAVA_BROKER_URL": broker,
                "KESTRAVA_SOURCE_ROOTS": str(CACHE), "KESTRAVA_OUTPUT_ROOT": str(self.packages),
                "KESTRAVA_KEY_DIR": str(self.keys)}


@dataclass(frozen=True)
class Job:
    """What a job is: its task, queue and options, on which source."""
    task: str
    source: pathlib.Path
    queue: str | None = None
    options: tuple[tuple[str, object], ...] = ()


@dataclass(frozen=True)
class Run:
    """One job as its submitter saw it, in seconds from submit."""
    first_play: float  # the master lists a complete rendition
    master: float  # the master lists every rendition
    whole: float  # the result is stored
    result: dict


def wait_until(predicate: Callable[[], bool], seconds: float, what: str) -> None:
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not come up within {seconds:.0f} s")
        time.sleep(0.05)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def answers(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2) as connection:
            connection.sendall(b"PING\r\n")
            return connection.recv(16).startswith(b"+PONG")
    except OSError:
        return False


@contextlib.contextmanager
def redis_server(folder: pathlib.Path) -> Iterator[str]:
    port = free_port()
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--dir", str(folder)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: answers(port), 10, "redis-server")
        yield f"redis://127.0.0.1:{port}/0"
    finally:
        server.terminate()
        server.wait(timeout=30)


@contextlib.contextmanager
def celery_workers(environment: dict[str, str], work: pathlib.Path = WORK,
                   own: Callable[[pathlib.Path], dict[str, str]] = lambda home: {}) -> Iterator[list[pathlib.Path]]:
    """a@ and b@, one prefork process each, pinned, each in a working folder of its own
    (with the settings `own(home)` gives it); yields their logs."""
    started: list[tuple[subprocess.Popen, pathlib.Path]] = []
    try:
        for name, core, queues in WORKERS:
            home = work / f"worker-{name}"
            home.mkdir(parents=True)
            with (home / "worker.log").open("wb") as log:
                started.append((subprocess.Popen(
                    ["taskset", "-c", str(core), sys.executable, "-m", "celery", "-A", "kestrava_jobs.celery_app:app",
                     "worker", "--pool", "prefork", "--concurrency", "1", "-n", f"{name}@%h", "-Q", queues,
                     "--without-gossip", "--without-mingle", "--loglevel", "INFO"],
                    cwd=home, env={**environment, **own(home)}, stdout=log, stderr=subprocess.STDOUT),
                    home / "worker.log"))
        for _, log in started:
            wait_until(lambda: b"ready." in log.read_bytes(), 120, f"the Celery worker logging to {log}")
        yield [log for _, log in started]
    finally:
        for worker, _ in started:
            worker.terminate()
        for worker, _ in started:
            worker.wait(timeout=120)


@contextlib.contextmanager
def celery_client(broker: str) -> Iterator:
    """The project's Celery app as a submitter, its connections released on the way out."""
    sys.path.insert(0, str(ROOT))
    from kestrava_jobs.celery_app import make_app
    app = make_app(broker)
    try:
        yield app
    finally:
        gc.collect()  # results still held in cycles unsubscribe now, while the store is up
        app.backend.result_consumer.stop()
        app.backend.client.connection_pool.disconnect()
        app.close()


def complete_listed(out: pathlib.Path) -> list[str]:
    """The renditions master.m3u8 lists whose playlists are finished."""
    try:
        master = m3u8.loads((out / "master.m3u8").read_text())
    except FileNotFoundError:
        return []
    return [variant.uri for variant in master.playlists
            if (out / variant.uri).is_file() and "#EXT-X-ENDLIST" in (out / variant.uri).read_text()]


def submit(app, job: Job, out: pathlib.Path):
    return app.send_task(job.task, args=[str(job.source), str(out)], kwargs=dict(job.options), queue=job.queue)


def outcome(pending, out: pathlib.Path, names: list[str]) -> dict:
    """The job's result, or RuntimeError unless it made every rendition asked for."""
    if pending.state != "SUCCESS":
        raise RuntimeError(f"{out}: the job ended {pending.state}: {pending.result!r}")
    result = pending.result
    if result["complete"] != names or result["failed"]:
        raise RuntimeError(f"{out}: made {result['complete']}, failed {result['failed']}: {result['reasons']}")
    return result


def run_one(app, job: Job, out: pathlib.Path) -> Run:
    started = time.monotonic()
    pending = submit(app, job, out)
    first = every = None
    while not pending.ready():
        listed, now = complete_listed(out), time.monotonic() - started
        first = now if first is None and listed else first
        every = now if every is None and len(listed) == len(NAMES) else every
        time.sleep(POLL_SECONDS)
    whole = time.monotonic() - started
    return Run(first or whole, every or whole, whole, outcome(pending, out, NAMES))


def run_batch(app, jobs: list[Job], outs: list[pathlib.Path], names: list[list[str]]) -> tuple[float, list[dict]]:
    """Jobs queued at once: seconds until the last one's result, and the results."""
    started = time.monotonic()
    pending = [submit(app, job, out) for job, out in zip(jobs, outs)]
    while not all(one.ready() for one in pending):
        time.sleep(POLL_SECONDS)
    elapsed = time.monotonic() - started
    return elapsed, [outcome(one, out, asked) for one, out, asked in zip(pending, outs, names)]


class Bench:
    """The measurements of one round, each in fresh folders, removed after it."""

    def __init__(self, app, shared: Shared, source: pathlib.Path, batch_source: pathlib.Path) -> None:
        self.app, self.shared, self.source, self.batch_source = app, shared, source, batch_source

    def folder(self, label: str) -> pathlib.Path:
        return self.shared.packages / label.replace(" ", "-") / "package"

    @contextlib.contextmanager
    def cleaned(self, labels: list[str]) -> Iterator[list[pathlib.Path]]:
        outs = [self.folder(label) for label in labels]
        try:
            yield outs
        finally:
            for out in outs:
                shutil.rmtree(out.parent, ignore_errors=True)
            for key in self.shared.keys.iterdir():
                key.unlink()

    def one(self, label: str, task: str, queue: str | None = None, **options) -> Run:
        with self.cleaned([label]) as (out,):
            return run_one(self.app, Job(task, self.source, queue, tuple(options.items())), out)

    def alone(self) -> dict[str, float]:
        """Each rendition as a job of its own, two at a time, one on each worker: the
        job's own seconds, queueing aside."""
        jobs = [Job("kestrava_jobs.package_video", self.source, None, (("resolution", [name]),)) for name in NAMES]
        with self.cleaned([f"alone {name}" for name in NAMES]) as outs:
            _, results = run_batch(self.app, jobs, outs, [[name] for name in NAMES])
        return {name: result["seconds"] for name, result in zip(NAMES, results)}

    def batch(self, label: str, task: str) -> float:
        jobs = [Job(task, self.batch_source)] * BATCH
        with self.cleaned([f"{label} {number}" for number in range(BATCH)]) as outs:
            return run_batch(self.app, jobs, outs, [NAMES] * BATCH)[0]

    def step(self, step: str) -> object:
        video, spread = "kestrava_jobs.package_video", "kestrava_jobs.package_spread"
        return {"video": lambda: self.one(step, video, SOLO),
                "spread": lambda: self.one(step, spread),
                "video early": lambda: self.one(step, video, SOLO, publish_early=True),
                "spread early": lambda: self.one(step, spread, publish_early=True),
                "alone": self.alone,
                "batch video": lambda: self.batch(step, video),
                "batch spread": lambda: self.batch(step, spread)}[step]()


def best_split(seconds: list[float]) -> float:
    """The soonest two workers could make renditions of these lengths, without any overhead."""
    total = sum(seconds)
    return min(max(sum(part), total - sum(part))
               for size in range(len(seconds) + 1) for part in itertools.combinations(seconds, size))


def figures(run: dict) -> dict[str, float]:
    """One round's figures and ratios."""
    video, spread, early, spread_early = run["video"], run["spread"], run["video early"], run["spread early"]
    longest, packed = max(run["alone"].values()), best_split(list(run["alone"].values()))
    return {"video whole": video.whole, "spread whole": spread.whole, "latency": video.whole / spread.whole,
            **{f"alone {name}": seconds for name, seconds in run["alone"].items()},
            "spread master": spread.master, "overhead": spread.master - longest, "packed": packed,
            "beyond packing": spread.master - packed,
            "early first": early.first_play, "early share": early.first_play / video.whole,
            "early whole": early.whole, "early slower": early.whole / video.whole,
            "spread early first": spread_early.first_play,
            "spread early share": spread_early.first_play / video.whole,
            "batch video": run["batch video"], "batch spread": run["batch spread"],
            "throughput": run["batch spread"] / run["batch video"]}


# Label, key, unit ("s", "x" for a ratio, "" for a share), goal.
TABLE = [
    ("one job, package_video on one worker", "video whole", "s", ""),
    ("one job, package_spread on two workers", "spread whole", "s", ""),
    ("  latency: one worker / two", "latency", "x", ">= 1.6x (ideal ~1.8x)"),
    *[(f"  {name} alone, on a core of its own", f"alone {name}", "s", "") for name in NAMES],
    ("  package_spread: submit to full master", "spread master", "s", ""),
    ("  orchestration: full master - longest rendition", "overhead", "s", ""),
    ("  the renditions best split over two workers", "packed", "s", ""),
    ("  full master - that best split", "beyond packing", "s", ""),
    ("first play, package_video publish_early, one worker", "early first", "s", ""),
    ("  / one-worker job without the option", "early share", "", "<= 0.35"),
    ("whole job with publish_early", "early whole", "s", ""),
    ("  / without the option", "early slower", "", "<= 1.03"),
    ("first play, package_spread publish_early, two workers", "spread early first", "s", ""),
    ("  / one-worker job without the option", "spread early share", "", "<= 0.25"),
    (f"{BATCH} jobs queued, package_video on two workers", "batch video", "s", ""),
    (f"{BATCH} jobs queued, package_spread on two workers", "batch spread", "s", ""),
    ("  throughput: spread / video (time for all)", "throughput", "", "<= 1.05"),
    ("share of the machine other processes used (interference)", "others", "", "0 when quiet"),
]


def report(rounds: list[dict[str, float]]) -> None:
    print(f"\n{'figure':<56} {'median':>8}  {'goal':<22} per round")
    for label, key, unit, goal in TABLE:
        values = [one[key] for one in rounds]
        digits = 2 if unit == "s" else 3
        shown = " ".join(f"{value:.{digits}f}" for value in values)
        print(f"{label:<56} {statistics.median(values):>7.{digits}f}{unit or ' '}  {goal:<22} {shown}")


def load() -> str:
    return "/".join(f"{value:.1f}" for value in os.getloadavg())


def cpu_seconds() -> tuple[float, float]:
    """CPU seconds the machine has been busy, and those of this bench's own processes:
    itself and everything it started (Redis, the workers, their jobs' children, reaped
    ones included)."""
    tick = os.sysconf("SC_CLK_TCK")
    with open("/proc/stat") as stat:
        user, nice, system, idle, iowait, irq, softirq, steal = (int(v) for v in stat.readline().split()[1:9])
    busy = user + nice + system + irq + softirq + steal
    children: dict[int, list[int]] = {}
    used: dict[int, int] = {}
    for entry in pathlib.Path("/proc").iterdir():
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split() if entry.name.isdigit() else None
        except OSError:
            continue
        if fields:
            children.setdefault(int(fields[1]), []).append(int(entry.name))
            used[int(entry.name)] = sum(int(value) for value in fields[11:15])  # utime stime cutime cstime
    ours, tree = 0, [os.getpid()]
    while tree:
        pid = tree.pop()
        ours += used.get(pid, 0)
        tree += children.get(pid, [])
    return busy / tick, ours / tick


def others_share(before: tuple[float, float], after: tuple[float, float], seconds: float) -> float:
    """The share of the machine's cores that other people's processes used meanwhile."""
    return ((after[0] - before[0]) - (after[1] - before[1])) / (seconds * (os.cpu_count() or 1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10, help="the source's length for one job (10 to 20)")
    parser.add_argument("--batch-seconds", type=int, default=4, help="the source's length for the queued jobs")
    args = parser.parse_args()
    began = time.monotonic()
    source, batch_source = realistic_source(args.seconds), realistic_source(args.batch_seconds)
    shutil.rmtree(WORK, ignore_errors=True)
    shared = Shared(WORK / "packages", WORK / "keys")
    shared.packages.mkdir(parents=True)
    shared.keys.mkdir(mode=0o700)
    rounds = []
    with redis_server(WORK) as broker, celery_workers(shared.environment(broker)), celery_client(broker) as app:
        bench = Bench(app, shared, source, batch_source)
        for number in range(args.rounds):
            order = STEPS if number % 2 == 0 else STEPS[::-1]
            before, cpu, started = load(), cpu_seconds(), time.monotonic()
            run = {step: bench.step(step) for step in order}
            others = others_share(cpu, cpu_seconds(), time.monotonic() - started)
            rounds.append({**figures(run), "others": others})
            workers = sorted({made["worker"].split("@")[0] for made in run["spread"].result["renditions"].values()})
            print(f"  round {number + 1}: one worker {run['video'].whole:.1f} s, two {run['spread'].whole:.1f} s; "
                  f"first play {run['video early'].first_play:.1f} s (one), {run['spread early'].first_play:.1f} s "
                  f"(two); {BATCH} jobs {run['batch video']:.1f} s against {run['batch spread']:.1f} s spread; "
                  f"renditions made by {'+'.join(workers)}; load {before} -> {load()}, "
                  f"other processes used {others:.0%} of the machine", flush=True)
    report(rounds)
    print(f"\n{args.rounds} rounds in {time.monotonic() - began:.0f} s")


if __name__ == "__main__":
    main()
