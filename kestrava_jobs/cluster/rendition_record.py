"""What a spread job's rendition task leaves in the staging area, `<name>.json`: the
rendition's figures as its check measured them, with a digest of each file the check
read; or why the rendition failed for good.

The digests let the job's end tell that the files in the package are, byte for byte,
those that passed the check, without decrypting and demuxing them all again."""

import dataclasses
import hashlib
import json

import m3u8

from ..common.result import RenditionResult
from ..hls.check import Files
from ..storage import names
from ..storage.seam import Staging

MADE, DIGESTS, FAILED = "result", "sha256", "failed"


def read(staging: Staging, name: str) -> dict:
    found = staging.read(names.staging_record(name))
    return json.loads(found) if found else {}


def write_made(staging: Staging, made: RenditionResult, checked: list[str]) -> None:
    """The record of a rendition in the package; `checked` are the digests of the files its check read."""
    record = {MADE: dataclasses.asdict(made), DIGESTS: checked}
    staging.write(names.staging_record(made.name), json.dumps(record).encode())


def write_failed(staging: Staging, name: str, reason: str) -> None:
    staging.write(names.staging_record(name), json.dumps({FAILED: reason}).encode())


def made(staging: Staging, name: str) -> RenditionResult | None:
    record = read(staging, name)
    return RenditionResult(**record[MADE]) if MADE in record else None


def failure(staging: Staging, name: str) -> str | None:
    return read(staging, name).get(FAILED)


def unchanged(staging: Staging, name: str, files: Files) -> RenditionResult | None:
    """The rendition's checked figures when its playlist and every segment it lists in
    `files` are the very bytes that were checked; None when anything differs or is
    missing, and the rendition must be checked again."""
    record = read(staging, name)
    try:
        same = MADE in record and record.get(DIGESTS) == digests(files, name)
    except (OSError, ValueError):  # a file gone, or a playlist that is not text
        return None
    return RenditionResult(**record[MADE]) if same else None


def digests(files: Files, name: str) -> list[str]:
    """SHA-256 of the playlist, then of each segment in the order it lists them."""
    playlist = files.read(names.playlist(name))
    segments = [segment.uri for segment in m3u8.loads(playlist.decode()).segments]
    return [hashlib.sha256(data).hexdigest() for data in (playlist, *(files.read(segment) for segment in segments))]
