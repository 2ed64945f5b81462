"""An s3:// location, checked as a hostile name: the bucket and key it names, and the
names beside and under it. Known without the S3 client, which is an extra of its own."""

import re
from dataclasses import dataclass

SCHEME = "s3://"
# Bucket names as S3 allows them; the others' rules are looser.
BUCKET = re.compile(r"^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$")
MAX_KEY_BYTES = 1024
# Room kept in a key for the longest name a package's files and state take after its prefix.
NAME_ROOM = 64


@dataclass(frozen=True)
class S3Location:
    bucket: str
    key: str  # no slash at either end; "" for the bucket itself

    def __str__(self) -> str:
        return f"{SCHEME}{self.bucket}/{self.key}" if self.key else f"{SCHEME}{self.bucket}"

    def child(self, name: str) -> "S3Location":
        return S3Location(self.bucket, f"{self.key}/{name}" if self.key else name)

    def beside(self, suffix: str) -> "S3Location":
        return S3Location(self.bucket, self.key + suffix)

    def under(self, root: "S3Location") -> bool:
        """Inside `root` and not `root` itself."""
        return self.bucket == root.bucket and (not root.key or self.key.startswith(root.key + "/"))


def is_s3(location: object) -> bool:
    return isinstance(location, str) and location[:len(SCHEME)].lower() == SCHEME


def s3_location(text: str, what: str = "the location", need_key: bool = True) -> S3Location:
    """s3://bucket/key checked: a bucket S3 allows, and a key of plain segments (no empty
    one, no . or .., no control character or backslash) with room for the names the job
    puts under or beside it. ValueError in one line otherwise."""
    bucket, _, key = text[len(SCHEME):].partition("/")
    key = key.removesuffix("/")
    if not BUCKET.match(bucket) or ".." in bucket:
        raise ValueError(f"{what}: {bucket!r} is not a bucket name")
    if need_key and not key:
        raise ValueError(f"{what}: {text} names a bucket, not a prefix of its own within it")
    segments = key.split("/") if key else []
    if any(segment in ("", ".", "..") for segment in segments) or re.search(r"[\x00-\x1f\x7f\\]", key):
        raise ValueError(f"{what}: {key!r} is not a plain key (no empty, '.' or '..' part, no control character)")
    if len(key.encode()) > MAX_KEY_BYTES - NAME_ROOM:
        raise ValueError(f"{what}: the key is too long: at most {MAX_KEY_BYTES - NAME_ROOM} bytes")
    return S3Location(bucket, key)
