"""A spread job's staging area in the result store (Redis), for workers that share no
file system: the implementation of seam.Staging beside a package in a bucket. Records
are keys of the job's own that expire with the job; each step's lock is a key set only
if absent, held on a lease its holder renews, so that a worker that dies lets it go
within one lease; logs are written to a file of the worker's own, then kept in Redis;
each rendition is made in the worker's own scratch folder."""

import contextlib
import functools
import hashlib
import os
import pathlib
import secrets
import shutil
import socket
import tempfile
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field

import redis

from ..common.processes import gone_from_here
from ..settings import settings
from . import names

# How long a job's records outlive their last write, when the job has no time-out.
RECORDS_SECONDS = 24 * 3600
# A lock's lease is renewed this many times over its length; a waiting step looks again this often.
RENEWALS_PER_LEASE = 4
LOCK_POLL = 0.05
# Renewed and released only by its holder (the token it set).
RENEW = "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('pexpire', KEYS[1], ARGV[2]) end return 0"
RELEASE = "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) end return 0"


@dataclass(eq=False)
class RedisStaging:
    job_id: str
    scratch: pathlib.Path = field(init=False)  # this worker's own folder for the job
    client: redis.Redis = field(init=False, repr=False)

    def __post_init__(self) -> None:
        digest = hashlib.sha256(self.job_id.encode()).hexdigest()[:32]
        self.prefix = f"kestrava:staging:{digest}:"
        self.scratch = pathlib.Path(settings.scratch) / f"kestrava-job-{digest}"
        self.client = result_store(settings.broker_url)

    @property
    def location(self) -> str:
        return f"the result store's records of job {self.job_id}"

    def begin(self) -> None:
        self.end()

    def end(self) -> None:
        for key in self.client.scan_iter(match=self.prefix + "*"):
            self.client.delete(key)
        shutil.rmtree(self.scratch, ignore_errors=True)

    def read(self, name: str) -> bytes | None:
        return self.client.get(self.prefix + name)

    def write(self, name: str, data: bytes) -> None:
        self.client.set(self.prefix + name, data, ex=RECORDS_SECONDS)

    def remove(self, name: str) -> None:
        self.client.delete(self.prefix + name)

    @contextlib.contextmanager
    def holding(self, step: str, wait: bool = False) -> Iterator[bool]:
        """The step's lock. One whose holder is gone (its process on this machine, or
        its lease not renewed in time on another) is taken over, as a file lock is let go
        when its process dies."""
        key, token = self.prefix + names.staging_lock(step), f"{socket.gethostname()} {os.getpid()} " \
            f"{secrets.token_hex(16)}"
        lease_ms = int(settings.claim_lease * 1000)
        while not (held := bool(self.client.set(key, token, nx=True, px=lease_ms))) and wait:
            time.sleep(LOCK_POLL)
        if not held:
            held = self.holder_gone(key) and bool(self.client.set(key, token, nx=True, px=lease_ms))
        if not held:
            yield False
            return
        stop = threading.Event()
        renewer = threading.Thread(target=self.renew, args=(key, token, lease_ms, stop), daemon=True)
        renewer.start()
        try:
            yield True
        finally:
            stop.set()
            renewer.join()
            with contextlib.suppress(redis.RedisError):
                self.client.eval(RELEASE, 1, key, token)

    def holder_gone(self, key: str) -> bool:
        """Whether the lock's holder is gone: its process has died on this machine, or its
        lease runs out without being renewed (watched for at most one lease)."""
        holder = (self.client.get(key) or b"").decode(errors="replace").split()
        if not holder:
            return True
        if gone_from_here(holder[0], int(holder[1])):
            self.client.eval(RELEASE, 1, key, " ".join(holder))
            return True
        left = self.client.pttl(key)
        while left > 0:
            time.sleep(min(left / 1000, settings.claim_lease / RENEWALS_PER_LEASE / 4))
            now = self.client.pttl(key)
            if now > left:  # renewed: its holder is at work
                return False
            left = now
        return True

    def renew(self, key: str, token: str, lease_ms: int, stop: threading.Event) -> None:
        while not stop.wait(lease_ms / 1000 / RENEWALS_PER_LEASE):
            with contextlib.suppress(redis.RedisError):  # a renewal missed is made up by the next
                self.client.eval(RENEW, 1, key, token, lease_ms)

    @contextlib.contextmanager
    def writing_log(self, name: str) -> Iterator[int]:
        self.scratch.mkdir(mode=0o700, exist_ok=True)
        log_fd, path = tempfile.mkstemp(prefix=f"{name}-", suffix=".log", dir=self.scratch)
        try:
            yield log_fd
        finally:
            os.close(log_fd)
            self.write(names.staging_log(name), pathlib.Path(path).read_bytes())
            os.unlink(path)

    def take_log(self, name: str) -> bytes:
        words = self.read(names.staging_log(name)) or b""
        self.remove(names.staging_log(name))
        return words

    def work_folder(self, name: str) -> pathlib.Path:
        self.drop_work_folder(name)
        self.scratch.mkdir(mode=0o700, exist_ok=True)
        work = self.scratch / name
        work.mkdir(mode=0o700)
        return work

    def drop_work_folder(self, name: str) -> None:
        """The rendition's work folder gone, and the job's folder of this worker once empty."""
        shutil.rmtree(self.scratch / name, ignore_errors=True)
        with contextlib.suppress(OSError):
            self.scratch.rmdir()


@functools.lru_cache(maxsize=4)
def result_store(url: str) -> redis.Redis:
    """One client (and its pool of connections) per process for each store, whatever the
    number of jobs it works on."""
    return redis.Redis.from_url(url)
