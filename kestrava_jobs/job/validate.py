"""Checks of a job's arguments, made before any file is: each failure names its cause
in one line and leaves nothing behind."""

import math
import os
import pathlib
import re
from collections.abc import Sequence

from .. import ladder
from ..storage.s3_location import is_s3, s3_location
from ..text import check_text

# What the module's binding takes, and what x264's rate control works with (kb/s).
MIN_BITRATE, MAX_BITRATE = 1_000, 2**31 - 1
# What FFmpeg opens through a protocol rather than as a file: a scheme and a colon
# ("https://…", but also "concat:a|b" or "subfile:…"). "file:" names a local file.
URL_SCHEME = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*):")


def url_scheme(source: str) -> str | None:
    """The source's scheme in lower case when FFmpeg would read it as a URL, else None."""
    found = URL_SCHEME.match(source)
    return found.group(1).lower() if found and found.group(1).lower() != "file" else None


def check_source(source: object) -> str:
    """A URL as it is, an object in a bucket by its s3:// location, or the absolute path
    of an existing file."""
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"source must be a path or a URL, not {type(source).__name__}")
    text = check_text(os.fspath(source), "the source")
    if is_s3(text):
        return str(s3_location(text, "the source"))
    if url_scheme(text) is not None:
        return text
    path = pathlib.Path(text.removeprefix("file:")).expanduser().resolve()
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such source file")
    if not path.is_file():
        raise IsADirectoryError(f"{path}: the source is not a file")
    return str(path)


def check_names(resolution: object) -> list[str] | None:
    if resolution is None:
        return None
    if isinstance(resolution, (str, bytes)) or not isinstance(resolution, Sequence):
        raise TypeError("resolution must be a list of rendition names, not a single "
                        f"{type(resolution).__name__}")
    names = list(resolution)
    if not names:
        raise ValueError("resolution is empty: name at least one rendition")
    if not all(isinstance(name, str) for name in names):
        raise TypeError("resolution must hold rendition names (str)")
    unknown = [name for name in names if name not in ladder.BY_NAME]
    if unknown:
        raise ValueError(f"unknown rendition names {unknown}: choose from {list(ladder.BY_NAME)}")
    if len(set(names)) != len(names):
        raise ValueError(f"resolution names a rendition twice: {names}")
    return names


def check_bitrates(bitrate: object, names: list[str]) -> list[int] | None:
    if bitrate is None:
        return None
    if isinstance(bitrate, (str, bytes)) or not isinstance(bitrate, Sequence):
        raise TypeError(f"bitrate must be a list of integers, not {type(bitrate).__name__}")
    rates = list(bitrate)
    if not all(isinstance(rate, int) and not isinstance(rate, bool) for rate in rates):
        raise TypeError("bitrate must hold integers (bits per second)")
    if not all(MIN_BITRATE <= rate <= MAX_BITRATE for rate in rates):
        raise ValueError(f"bit rates must lie from {MIN_BITRATE} to {MAX_BITRATE} bits per second")
    if len(rates) > len(names):
        raise ValueError(f"{len(rates)} bit rates for {len(names)} renditions")
    return rates


def check_timeout(timeout: object) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not math.isfinite(timeout) or timeout <= 0:
        raise ValueError("timeout must be a finite, positive number of seconds")
    return float(timeout)


def check_key_info(key_info: object) -> pathlib.Path | None:
    if key_info is None:
        return None
    if not isinstance(key_info, (str, os.PathLike)):
        raise TypeError(f"key_info must be a path, not {type(key_info).__name__}")
    path = pathlib.Path(check_text(os.fspath(key_info), "the key info path")).expanduser().resolve()
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such key info file")
    return path
