"""A source in a bucket, downloaded once into the job's scratch folder, no larger than
the deployment allows, so that everything that reads the source (the probe, the
captions, the pictures, the module) reads one local copy, checked as any upload is."""

import os
import pathlib
import re

from botocore.exceptions import BotoCoreError, ClientError

from ..common.deadline import Deadline
from ..settings import MAX_SOURCE_BYTES, settings
from .s3 import client, refusal
from .s3_location import S3Location

CHUNK_BYTES = 1024 * 1024


def fetch_source(where: S3Location, folder: pathlib.Path, deadline: Deadline) -> pathlib.Path:
    """The source's copy in `folder`; ValueError when it is larger than the bound, the
    job's PackageTimeout when its time runs out first."""
    limit = settings.max_source_bytes
    suffix = pathlib.PurePosixPath(where.key).suffix
    copy = folder / ("source" + (suffix if re.fullmatch(r"\.[A-Za-z0-9]{1,8}", suffix) else ""))
    try:
        answer = client().get_object(Bucket=where.bucket, Key=where.key)
        if answer["ContentLength"] > limit:
            answer["Body"].close()
            raise ValueError(f"{where}: the source is {answer['ContentLength']} bytes, more than "
                             f"{MAX_SOURCE_BYTES} allows ({limit})")
        write_bounded(answer["Body"], copy, limit, deadline)
    except (ClientError, BotoCoreError) as error:
        raise refusal(error, where) from None
    return copy


def write_bounded(body, copy: pathlib.Path, limit: int, deadline: Deadline) -> None:
    """The body into a new private file, stopped past `limit` bytes or the deadline
    whatever the server said the length would be."""
    fd = os.open(copy, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    written = 0
    with os.fdopen(fd, "wb") as file, body:
        for chunk in body.iter_chunks(CHUNK_BYTES):
            written += len(chunk)
            if written > limit:
                raise ValueError(f"the source grew past {MAX_SOURCE_BYTES} ({limit} bytes) as it was read")
            if deadline.passed():
                raise deadline.expired()
            file.write(chunk)
