"""A package under a prefix of a bucket: the object-storage implementation of the
package's files (seam.Package); its job's state is beside it (bucket_state.py).

The module writes into a private scratch folder of the job's own; each rendition, once
checked there, goes up segments first and its playlist last, several objects at once,
each with what it is served as and how long a cache may keep it. Every object put is
remembered with its size and ETag, and the package is confirmed against them (one
listing, nothing downloaded) before the final master goes up."""

import concurrent.futures
import hashlib
import pathlib
import shutil
import tempfile
import threading
from dataclasses import dataclass, field

import m3u8
from boto3.s3.transfer import TransferConfig
from botocore.exceptions import BotoCoreError, ClientError

from ..common.result import PackageError
from ..settings import settings
from . import names
from .bucket_state import BucketState
from .s3 import PARALLEL_REQUESTS, client, missing, refusal
from .s3_location import S3Location
from .time_bound import carried

# Objects past this size go up in parts of this size, several at once.
MULTIPART_BYTES = 64 * 1024 * 1024
PART_BYTES = 16 * 1024 * 1024
TRANSFER = TransferConfig(multipart_threshold=MULTIPART_BYTES, multipart_chunksize=PART_BYTES,
                          max_concurrency=4, use_threads=True)
DELETE_BATCH = 1000


@dataclass(frozen=True)
class Stored:
    size: int
    etag: str  # as S3 computes it: the MD5 of the bytes, or of the parts' MD5s and their count


@dataclass(eq=False)
class BucketPackage:
    where: S3Location
    scratch: pathlib.Path | None = field(default=None, init=False)
    put: dict[str, Stored] = field(default_factory=dict, init=False)  # by key
    lock: threading.Lock = field(default_factory=threading.Lock, init=False, repr=False)
    state: BucketState = field(init=False)  # the job's own state, beside the package

    def __post_init__(self) -> None:
        self.state = BucketState(self.where)

    @property
    def location(self) -> str:
        return str(self.where)

    def location_of(self, name: str) -> str:
        return str(self.where.child(name))

    def work_folder(self) -> pathlib.Path:
        if self.scratch is None:
            self.scratch = pathlib.Path(tempfile.mkdtemp(prefix="kestrava-", dir=settings.scratch))
        return self.scratch

    def put_rendition(self, work: pathlib.Path, name: str) -> None:
        playlist = work / names.playlist(name)
        segments = [names.file_name(segment.uri) for segment in m3u8.loads(playlist.read_text()).segments]
        with concurrent.futures.ThreadPoolExecutor(PARALLEL_REQUESTS // 2) as uploads:
            for done in [uploads.submit(carried(self.upload), work / segment, names.CACHE_FOREVER)
                         for segment in segments]:
                done.result()
        self.upload(playlist, names.CACHE_FOREVER)

    def put_master(self, text: str, final: bool = True) -> None:
        self.put_object(names.MASTER, text.encode(),
                        names.CACHE_MASTER_FINAL if final else names.CACHE_CHANGING)

    def remove_master(self) -> None:
        key = self.where.child(names.MASTER).key
        try:
            client().delete_object(Bucket=self.where.bucket, Key=key)
        except (ClientError, BotoCoreError) as error:
            raise refusal(error, self.location_of(names.MASTER)) from None
        with self.lock:
            self.put.pop(key, None)

    def growing_folder(self) -> pathlib.Path:
        folder = self.work_folder() / names.GROWING
        folder.mkdir(mode=0o700)
        return folder

    def put_segment(self, work: pathlib.Path, file: str, data: bytes) -> None:
        self.put_object(file, data, names.CACHE_FOREVER)
        (work / file).unlink()

    def put_playlist(self, name: str, text: str, ended: bool) -> None:
        """Revalidated by every cache while it grows; kept for good once it has ended."""
        self.put_object(names.playlist(name), text.encode(), names.CACHE_FOREVER if ended else names.CACHE_CHANGING)

    def put_side_file(self, name: str, data: bytes) -> None:
        self.put_object(name, data, names.CACHE_FOREVER)

    def names(self) -> list[str]:
        return sorted(key.rpartition("/")[2] for key in self.listing() if "/" not in key[len(self.where.key) + 1:])

    def read(self, name: str) -> bytes:
        try:
            return client().get_object(Bucket=self.where.bucket, Key=self.where.child(name).key)["Body"].read()
        except (ClientError, BotoCoreError) as error:
            raise refusal(error, self.location_of(name)) from None

    def has(self, name: str) -> bool:
        try:
            client().head_object(Bucket=self.where.bucket, Key=self.where.child(name).key)
            return True
        except ClientError as error:
            if missing(error):
                return False
            raise refusal(error, self.location_of(name)) from None
        except BotoCoreError as error:
            raise refusal(error, self.location_of(name)) from None

    def exists(self) -> bool:
        """The bucket is there: a prefix is not made or removed, only what lies under it."""
        try:
            client().head_bucket(Bucket=self.where.bucket)
            return True
        except ClientError as error:
            if missing(error):
                return False
            raise refusal(error, f"s3://{self.where.bucket}") from None
        except BotoCoreError as error:
            raise refusal(error, f"s3://{self.where.bucket}") from None

    def refuse_unless_empty(self) -> None:
        if self.listing(limit=1):
            raise FileExistsError(f"{self.location}: the package must be new or empty")

    def prepare(self) -> bool:
        """The bucket is there and this job's scratch folder is made; nothing is created."""
        if not self.exists():
            raise FileNotFoundError(f"s3://{self.where.bucket}: no such bucket")
        self.work_folder()
        return False

    def remove_put(self, created: bool) -> None:
        """Every object under the prefix removed, and its unfinished uploads aborted. The
        package was new or empty when the job claimed it, so what lies under it now is
        what this job, or a dead attempt of it, put."""
        keys = sorted(set(self.put) | set(self.listing()))
        s3 = client()
        try:
            for start in range(0, len(keys), DELETE_BATCH):
                batch = [{"Key": key} for key in keys[start:start + DELETE_BATCH]]
                s3.delete_objects(Bucket=self.where.bucket, Delete={"Objects": batch, "Quiet": True})
            for upload in self.unfinished_uploads():
                s3.abort_multipart_upload(Bucket=self.where.bucket, Key=upload["Key"], UploadId=upload["UploadId"])
        except (ClientError, BotoCoreError) as error:
            raise refusal(error, self.location) from None
        with self.lock:
            self.put.clear()

    def confirm(self) -> None:
        """Every object the job put is in the bucket as it was put: its size and ETag, from
        one listing. PackageError naming the first that is not."""
        found = self.listing()
        with self.lock:
            put = dict(self.put)
        for key, stored in sorted(put.items()):
            if found.get(key) != stored:
                held = found.get(key)
                raise PackageError(f"s3://{self.where.bucket}/{key}: the bucket holds "
                                   f"{'nothing' if held is None else f'{held.size} bytes'} where the job put "
                                   f"{stored.size} bytes (ETag {stored.etag})")

    def fingerprints(self, names: list[str]) -> list[str]:
        """Each object's size and ETag, from one listing: nothing is downloaded."""
        found = self.listing()
        try:
            stored = [found[self.where.child(name).key] for name in names]
        except KeyError as missing:
            raise FileNotFoundError(f"s3://{self.where.bucket}/{missing.args[0]}: no such object") from None
        return [f"{one.size}-{one.etag}" for one in stored]

    def finish(self) -> None:
        """The job's scratch folder removed; nothing in the bucket changes."""
        if self.scratch is not None:
            shutil.rmtree(self.scratch, ignore_errors=True)
            self.scratch = None

    # What the methods above share.

    def upload(self, path: pathlib.Path, cache: str) -> None:
        size = path.stat().st_size
        if size < MULTIPART_BYTES:
            self.put_object(path.name, path.read_bytes(), cache)
            return
        key = self.where.child(path.name).key
        try:
            client().upload_file(str(path), self.where.bucket, key, Config=TRANSFER,
                                 ExtraArgs={"ContentType": names.content_type(path.name), "CacheControl": cache})
        except (ClientError, BotoCoreError) as error:
            raise refusal(error, self.location_of(path.name)) from None
        self.remember(key, Stored(size, parts_etag(path)))

    def put_object(self, name: str, data: bytes, cache: str) -> None:
        key = self.where.child(name).key
        try:
            answer = client().put_object(Bucket=self.where.bucket, Key=key, Body=data, CacheControl=cache,
                                         ContentType=names.content_type(name))
        except (ClientError, BotoCoreError) as error:
            raise refusal(error, self.location_of(name)) from None
        stored = Stored(len(data), f'"{hashlib.md5(data).hexdigest()}"')
        if answer.get("ETag") != stored.etag:
            raise PackageError(f"{self.location_of(name)}: the bucket took other bytes than were sent "
                               f"(ETag {answer.get('ETag')}, sent {stored.etag})")
        self.remember(key, stored)

    def remember(self, key: str, stored: Stored) -> None:
        with self.lock:
            self.put[key] = stored

    def listing(self, limit: int | None = None) -> dict[str, Stored]:
        """The objects under the prefix, by key."""
        pages = client().get_paginator("list_objects_v2").paginate(
            Bucket=self.where.bucket, Prefix=self.where.key + "/",
            PaginationConfig={"MaxItems": limit} if limit else {})
        try:
            return {item["Key"]: Stored(item["Size"], item["ETag"]) for page in pages
                    for item in page.get("Contents", [])}
        except (ClientError, BotoCoreError) as error:
            raise refusal(error, self.location) from None

    def unfinished_uploads(self) -> list[dict]:
        pages = client().get_paginator("list_multipart_uploads").paginate(
            Bucket=self.where.bucket, Prefix=self.where.key + "/")
        return [upload for page in pages for upload in page.get("Uploads", [])]


def parts_etag(path: pathlib.Path) -> str:
    """The ETag S3 gives an object put in parts of PART_BYTES: the MD5 of the parts' MD5s,
    and their count."""
    digests = []
    with path.open("rb") as file:
        while part := file.read(PART_BYTES):
            digests.append(hashlib.md5(part).digest())
    return f'"{hashlib.md5(b"".join(digests)).hexdigest()}-{len(digests)}"'
