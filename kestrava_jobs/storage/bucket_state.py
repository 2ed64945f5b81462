"""A job's own state in objects beside its package in a bucket, named as names.py says:
the claim, the finished job's record and FFmpeg's log. The object-storage implementation
of seam.JobState. None of them has a suffix the serving policy hands out.

One job per package by conditional writes: a claim is created with If-None-Match: *, and
a stale one (its job ended, or its lease not renewed in time) taken over with If-Match on
the ETag it was read with, so that of two jobs that try at once exactly one wins. A job on
one machine renews its lease while it runs; a spread job's claim lasts until it releases
it, and is stale once its job is no longer live."""

import contextlib
import functools
import json
import os
import pathlib
import socket
import tempfile
import threading
import time
import uuid
from collections.abc import Iterator
from dataclasses import dataclass, field

from botocore.exceptions import BotoCoreError, ClientError

from ..common.processes import gone_from_here
from ..common.result import PackageResult
from ..settings import settings
from . import names
from .s3 import client, missing, precondition_failed, refusal
from .s3_location import S3Location
from .seam import IsLive, busy

# A lease is renewed this many times over its length.
RENEWALS_PER_LEASE = 4


@dataclass(frozen=True)
class Claim:
    job_id: str
    etag: str
    renewed: float = 0.0
    leased: bool = False  # renewed while the job lives (one machine), else held until released
    ended: bool = False
    host: str = ""
    pid: int = 0

    def stale(self, lease: float) -> bool:
        """Its job has ended, its lease ran out, or its process is gone from this machine."""
        return self.ended or (self.leased and (time.time() - self.renewed > lease or
                                               gone_from_here(self.host, self.pid)))


@dataclass(eq=False)
class BucketState:
    where: S3Location  # the package's prefix
    writing: pathlib.Path | None = field(default=None, init=False)  # the log while a block writes it

    @property
    def location(self) -> str:
        return str(self.where)

    @property
    def log_location(self) -> str:
        return str(self.where.beside(names.LOG))

    @contextlib.contextmanager
    def holding(self, job_id: str | None) -> Iterator[str]:
        """The package claimed for the length of the block, its lease renewed meanwhile;
        yields the id of the job whose stale claim was taken over. PackageBusy when a live
        job holds it."""
        previous, etag = self.take(job_id or "", lambda holder: True, leased=True)
        renewing = threading.Event()
        renewer = threading.Thread(target=self.renew, args=(job_id or "", etag, renewing), daemon=True)
        renewer.start()
        try:
            yield previous
        finally:
            renewing.set()
            renewer.join()

    def claim(self, job_id: str, is_live: IsLive) -> None:
        self.take(job_id, is_live, leased=False)

    def release(self, job_id: str) -> None:
        found = self.read_claim()
        if found is not None and found.job_id == job_id:
            self.delete(names.LOCK)

    def holder(self) -> str:
        found = self.read_claim()
        return found.job_id if found is not None else ""

    def write_record(self, job_id: str | None, result: PackageResult) -> None:
        self.put(names.RECORD, json.dumps({"job_id": job_id, "result": result.to_dict()}).encode())

    def read_record(self) -> tuple[str | None, PackageResult] | None:
        recorded = self.get(names.RECORD)
        try:
            record = json.loads(recorded) if recorded is not None else None
            return (record["job_id"], PackageResult.from_dict(record["result"])) if record else None
        except (ValueError, KeyError, TypeError):
            return None

    def clear_record(self) -> None:
        self.delete(names.RECORD)

    @contextlib.contextmanager
    def writing_log(self) -> Iterator[int]:
        """A private file of this machine for the block's children to write FFmpeg's words
        to, put beside the package at the block's end."""
        log_fd, path = tempfile.mkstemp(prefix="kestrava-log-", dir=settings.scratch)
        self.writing = pathlib.Path(path)
        try:
            yield log_fd
        finally:
            os.close(log_fd)
            try:
                self.put(names.LOG, self.writing.read_bytes())
            finally:
                self.writing.unlink(missing_ok=True)
                self.writing = None

    def read_log(self) -> str:
        if self.writing is not None:
            return self.writing.read_text(errors="replace")
        return (self.get(names.LOG) or b"").decode(errors="replace")

    # The claim.

    def take(self, job_id: str, is_live: IsLive, leased: bool) -> tuple[str, str]:
        """The claim made this job's: the id of the stale claim's job it took over ("" when
        none), and the claim's ETag."""
        conditional_writes_work(self.where)
        body = self.claim_body(job_id, leased)
        etag = self.put(names.LOCK, body, IfNoneMatch="*")
        if etag is not None:
            return "", etag
        found = self.read_claim()
        if found is not None and leased and found.leased and found.job_id == job_id and job_id:
            # This very job again, its earlier attempt on another machine: that attempt
            # is dead once its lease runs out unrenewed, and still at work otherwise.
            found = self.lease_out(found)
        if found is None:  # released between the two requests
            raise busy(self.location)
        live = not found.stale(settings.claim_lease) and (found.leased or is_live(found.job_id))
        if live and found.job_id != job_id or live and leased:
            raise busy(self.location, found.job_id)
        etag = self.put(names.LOCK, body, IfMatch=found.etag)
        if etag is None:
            raise busy(self.location, found.job_id)
        return found.job_id, etag

    def lease_out(self, found: Claim) -> Claim | None:
        """The claim once it is stale, or as soon as it is renewed (its job lives)."""
        while not found.stale(settings.claim_lease):
            time.sleep(min(1.0, settings.claim_lease / RENEWALS_PER_LEASE))
            again = self.read_claim()
            if again is None or again.etag != found.etag:
                return again
        return found

    def renew(self, job_id: str, etag: str, stop: threading.Event) -> None:
        """The lease renewed until `stop`, then the claim marked ended: the job's id stays
        in it, for a duplicate delivery to see who held the package."""
        while not stop.wait(settings.claim_lease / RENEWALS_PER_LEASE):
            with contextlib.suppress(OSError):  # a renewal missed is made up by the next
                etag = self.put(names.LOCK, self.claim_body(job_id, True), IfMatch=etag) or etag
        with contextlib.suppress(OSError):
            self.put(names.LOCK, self.claim_body(job_id, True, ended=True), IfMatch=etag)

    def read_claim(self) -> Claim | None:
        answer = self.fetch(names.LOCK)
        if answer is None:
            return None
        try:
            held = json.loads(answer["Body"].read())
            return Claim(str(held["job_id"]), answer["ETag"], float(held["renewed"]), bool(held["leased"]),
                         bool(held["ended"]), str(held.get("host", "")), int(held.get("pid", 0)))
        except (ValueError, KeyError, TypeError):
            # Not a claim this package writes: refused rather than taken over.
            raise busy(self.location) from None

    @staticmethod
    def claim_body(job_id: str, leased: bool, ended: bool = False) -> bytes:
        return json.dumps({"job_id": job_id, "host": socket.gethostname(), "pid": os.getpid(),
                           "renewed": time.time(), "leased": leased, "ended": ended}).encode()

    # The objects beside the package.

    def put(self, suffix: str, data: bytes, **condition: str) -> str | None:
        """The object put; its ETag, or None when its condition did not hold."""
        try:
            return client().put_object(Bucket=self.where.bucket, Key=self.where.beside(suffix).key, Body=data,
                                       ContentType=names.PRIVATE_TYPE, **condition)["ETag"]
        except ClientError as error:
            if condition and precondition_failed(error):
                return None
            raise refusal(error, self.location) from None
        except BotoCoreError as error:
            raise refusal(error, self.location) from None

    def get(self, suffix: str) -> bytes | None:
        answer = self.fetch(suffix)
        return None if answer is None else answer["Body"].read()

    def fetch(self, suffix: str) -> dict | None:
        """The server's answer to a GET of the object; None when there is none."""
        try:
            return client().get_object(Bucket=self.where.bucket, Key=self.where.beside(suffix).key)
        except ClientError as error:
            if missing(error):
                return None
            raise refusal(error, self.location) from None
        except BotoCoreError as error:
            raise refusal(error, self.location) from None

    def delete(self, suffix: str) -> None:
        try:
            client().delete_object(Bucket=self.where.bucket, Key=self.where.beside(suffix).key)
        except (ClientError, BotoCoreError) as error:
            raise refusal(error, self.location) from None


def put_private(where: S3Location, data: bytes) -> None:
    """An object no serving policy hands out (its suffix is none a package's file has)."""
    try:
        client().put_object(Bucket=where.bucket, Key=where.key, Body=data, ContentType=names.PRIVATE_TYPE)
    except (ClientError, BotoCoreError) as error:
        raise refusal(error, where) from None


def get_private(where: S3Location) -> bytes:
    try:
        return client().get_object(Bucket=where.bucket, Key=where.key)["Body"].read()
    except (ClientError, BotoCoreError) as error:
        raise refusal(error, where) from None


def remove_private(where: S3Location) -> None:
    try:
        client().delete_object(Bucket=where.bucket, Key=where.key)
    except (ClientError, BotoCoreError) as error:
        raise refusal(error, where) from None


def conditional_writes_work(where: S3Location) -> None:
    """Once a process for each server and package: a create that names an existing object
    with If-None-Match: * must be refused, or two jobs could each think it holds a
    package. OSError naming what is missing when the server ignores the condition. The
    probe's object lies beside the package, where the job may write."""
    _probe(os.environ.get("AWS_ENDPOINT_URL") or os.environ.get("AWS_ENDPOINT_URL_S3") or "", where)


@functools.lru_cache(maxsize=64)
def _probe(endpoint: str, where: S3Location) -> None:
    bucket, key = where.bucket, where.beside(f"{names.PROBE}-{uuid.uuid4().hex}").key
    s3 = client()
    try:
        s3.put_object(Bucket=bucket, Key=key, Body=b"", IfNoneMatch="*")
        try:
            s3.put_object(Bucket=bucket, Key=key, Body=b"", IfNoneMatch="*")
        except ClientError as error:
            if precondition_failed(error):
                return
            raise
        raise OSError(f"s3://{bucket}: the object store ignores conditional writes (If-None-Match), which "
                      "the claim on a package needs; use a server that honours them")
    except (ClientError, BotoCoreError) as error:
        raise refusal(error, f"s3://{bucket}") from None
    finally:
        with contextlib.suppress(ClientError, BotoCoreError):
            s3.delete_object(Bucket=bucket, Key=key)
