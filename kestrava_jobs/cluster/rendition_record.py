"""What a spread job's rendition task leaves in the staging area, `<name>.json`: the
rendition's figures as its check measured them, with the fingerprint of each file the
task put once checked; or why the rendition failed for good; or, while a rendition is
published as it grows, the figures of its segments in the package so far.

The fingerprints let the job's end tell that the files in the package are, byte for
byte, those that passed the check, without decrypting and demuxing them all again, or
downloading them from a bucket."""

import dataclasses
import json

import m3u8

from ..common.result import RenditionResult
from ..storage import names
from ..storage.seam import Package, Staging

MADE, DIGESTS, FAILED, GROWING = "result", "fingerprints", "failed", "growing"


def read(staging: Staging, name: str) -> dict:
    found = staging.read(names.staging_record(name))
    return json.loads(found) if found else {}


def write_made(staging: Staging, made: RenditionResult, checked: list[str]) -> None:
    """The record of a rendition in the package; `checked`, the fingerprints of its files as put."""
    record = {MADE: dataclasses.asdict(made), DIGESTS: checked}
    staging.write(names.staging_record(made.name), json.dumps(record).encode())


def write_growing(staging: Staging, so_far: RenditionResult) -> None:
    staging.write(names.staging_record(so_far.name), json.dumps({GROWING: dataclasses.asdict(so_far)}).encode())


def growing(staging: Staging, name: str) -> RenditionResult | None:
    record = read(staging, name)
    return RenditionResult(**record[GROWING]) if GROWING in record else None


def write_failed(staging: Staging, name: str, reason: str) -> None:
    staging.write(names.staging_record(name), json.dumps({FAILED: reason}).encode())


def made(staging: Staging, name: str) -> RenditionResult | None:
    record = read(staging, name)
    return RenditionResult(**record[MADE]) if MADE in record else None


def failure(staging: Staging, name: str) -> str | None:
    return read(staging, name).get(FAILED)


def unchanged(staging: Staging, name: str, files: Package) -> RenditionResult | None:
    """The rendition's checked figures when its playlist and every segment it lists in
    the package stand as they did when they were put, checked; None when anything
    differs or is missing, and the rendition must be checked again."""
    record = read(staging, name)
    try:
        same = MADE in record and record.get(DIGESTS) == digests(files, name)
    except (OSError, ValueError):  # a file gone, or a playlist that is not text
        return None
    return RenditionResult(**record[MADE]) if same else None


def digests(files: Package, name: str) -> list[str]:
    """The playlist's fingerprint in the package, then each segment's in the order it
    lists them."""
    playlist = files.read(names.playlist(name))
    segments = [names.file_name(segment.uri) for segment in m3u8.loads(playlist.decode()).segments]
    return files.fingerprints([names.playlist(name), *segments])
