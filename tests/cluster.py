"""The real servers the Celery tests start, one way each: a Redis on a free port, named
Celery workers, and the app the tests submit with, every client released before its
server stops; and the workers told which queues to take tasks from."""

import contextlib
import gc
import os
import pathlib
import re
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass

from kestrava_jobs.celery_app import make_app
from kestrava_jobs.cluster.reports import progress_backend
from media import free_port, redis_answers, wait_for


@dataclass
class Redis:
    port: int
    command: list[str]
    server: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> None:
        self.server = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: redis_answers(self.port), 10, "redis-server")

    def stop(self) -> None:
        self.server.terminate()
        self.server.wait(timeout=10)

    def restart(self, pause: float, until=lambda: True) -> None:
        """Down for `pause` seconds, and then until `until()` holds (30 s at most)."""
        self.stop()
        time.sleep(pause)
        with contextlib.suppress(AssertionError):
            wait_for(until, 30, "the outage's end")
        self.start()

    def waiting(self) -> int:
        """Clients waiting in a blocking command: a worker's BRPOP on the queues it takes tasks from."""
        info = subprocess.run(["redis-cli", "-p", str(self.port), "INFO", "clients"], capture_output=True,
                              text=True, check=True).stdout
        return int(re.search(r"^blocked_clients:(\d+)", info, re.MULTILINE)[1])

    def count(self, *arguments: str) -> int:
        return int(subprocess.run(["redis-cli", "-p", str(self.port), *arguments], capture_output=True, text=True,
                                  check=True).stdout.strip() or 0)


@contextlib.contextmanager
def redis_server(folder: pathlib.Path, *, durable: bool = False) -> Iterator[Redis]:
    """A Redis on a free port of 127.0.0.1, its files in `folder`; `durable` writes every
    change to disk, so that a restart loses nothing, as a broker's machine does."""
    port = free_port()
    command = ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--dir", str(folder)]
    if durable:
        command += ["--appendonly", "yes", "--appendfsync", "always"]
    redis = Redis(port, command)
    redis.start()
    try:
        yield redis
    finally:
        redis.stop()


@dataclass
class Worker:
    process: subprocess.Popen
    log: pathlib.Path
    node: str  # name@host, as Celery's remote control names it


@contextlib.contextmanager
def celery_workers(names: list[str], env: dict, folder: pathlib.Path, concurrency: int = 1,
                   own_scratch: bool = False) -> Iterator[dict[str, Worker]]:
    """Celery workers named `name@host`, each working in a folder of its own with its log
    there (and, with `own_scratch`, its scratch and key folders), ready once each says so;
    their logs are printed when they stop."""
    workers: dict[str, Worker] = {}
    for name in names:
        home = folder / f"worker_{name}"
        home.mkdir()
        if own_scratch:
            (home / "scratch").mkdir()
            env = {**env, "KESTRAVA_SCRATCH": str(home / "scratch"), "KESTRAVA_KEY_DIR": str(home / "keys")}
        log = home / "worker.log"
        with log.open("wb") as output:
            workers[name] = Worker(subprocess.Popen(
                [sys.executable, "-m", "celery", "-A", "kestrava_jobs.celery_app:app", "worker", "-n", f"{name}@%h",
                 "--pool", "prefork", "--concurrency", str(concurrency), "--without-gossip", "--without-mingle",
                 "--loglevel", "INFO"], cwd=home, env={**os.environ, **env}, stdout=output, stderr=subprocess.STDOUT),
                log, f"{name}@{socket.gethostname()}")
    try:
        for worker in workers.values():
            wait_for(lambda: b"ready." in worker.log.read_bytes(), 60, "a Celery worker")
        yield workers
    finally:
        for worker in workers.values():
            worker.process.terminate()
        for name, worker in workers.items():
            worker.process.wait(timeout=30)
            print(f"--- worker {name}\n{worker.log.read_text()[-3000:]}")


def consume(app, queue: str, nodes: list[str], on: bool = True) -> None:
    """The named workers take tasks from `queue` from now on (or no longer). A worker answers
    the command before it acts on it: this returns once each lists its queues so. One that
    stopped may still wait on the queue in Redis from before (Redis.waiting tells); one busy
    with a task was not waiting, and takes no other."""
    command = app.control.add_consumer if on else app.control.cancel_consumer
    unanswered, deadline = set(nodes), time.monotonic() + 60
    while unanswered:
        assert time.monotonic() < deadline, f"{sorted(unanswered)} did not answer about {queue}"
        replies = command(queue, destination=sorted(unanswered), reply=True, timeout=5)
        unanswered -= {node for reply in replies or [] for node in reply}

    def done() -> bool:
        listed = app.control.inspect(destination=nodes, timeout=5).active_queues() or {}
        return all(node in listed and (queue in [found["name"] for found in listed[node]]) == on for node in nodes)

    wait_for(done, 60, f"{nodes} to {'take' if on else 'stop taking'} tasks from {queue}")


@contextlib.contextmanager
def celery_app(broker_url: str):
    """The app the tests submit with, on this broker; its connections closed at the end."""
    app = make_app(broker_url)
    try:
        yield app
    finally:
        # Results still held (a raised exception's frames keep its test's) let go of their
        # subscriptions while Redis still answers; then the app's connections close.
        gc.collect()
        consumer = app.backend.result_consumer
        consumer.stop()
        # A result that outlives even that (collected in a later test) would otherwise
        # reconnect its closed subscription to unsubscribe, long after this Redis stopped.
        consumer.subscribed_to.clear()
        consumer._pubsub = None
        app.backend.client.connection_pool.disconnect()
        progress_backend(app).client.connection_pool.disconnect()
        progress_backend.cache_clear()
        app.close()
