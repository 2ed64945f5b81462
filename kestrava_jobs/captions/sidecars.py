"""The caller's caption files, read and refused before any encoding: a sidecar that is no
text subtitle file at all (binary data, a media file, an oversized one) is a bad argument."""

import codecs
import os
import pathlib
from dataclasses import dataclass

from ..text import check_text
from .languages import check_tag

MAX_BYTES = 10 * 1024 * 1024
# Text has few control characters besides tab and the line ends; media and binary data many.
MAX_CONTROL_SHARE = 0.01


@dataclass(frozen=True)
class Sidecar:
    language: str  # BCP-47
    path: str
    text: str


def check_sidecars(captions: object, charset: object) -> list[Sidecar]:
    """{language: path} read and decoded, or TypeError / ValueError / FileNotFoundError."""
    if captions is None:
        return []
    if not isinstance(captions, dict):
        raise TypeError(f"captions must map languages to files, not {type(captions).__name__}")
    if charset is not None and not isinstance(charset, str):
        raise TypeError(f"charset must be an encoding's name, not {type(charset).__name__}")
    if charset is not None:
        codecs.lookup(charset)  # LookupError, a ValueError, for a name Python does not know
    return [read_sidecar(check_tag(language), path, charset) for language, path in captions.items()]


def read_sidecar(language: str, given: object, charset: str | None) -> Sidecar:
    if not isinstance(given, (str, os.PathLike)):
        raise TypeError(f"the caption file for {language} must be a path, not {type(given).__name__}")
    path = pathlib.Path(check_text(os.fspath(given), "a caption file's path")).expanduser().resolve()
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such caption file")
    if path.stat().st_size > MAX_BYTES:
        raise ValueError(f"{path}: a caption file of over {MAX_BYTES // 1024 // 1024} MB is no subtitle file")
    return Sidecar(language, str(path), decoded(path, path.read_bytes(), charset))


def decoded(path: pathlib.Path, data: bytes, charset: str | None) -> str:
    """UTF-8 (with or without its BOM) or UTF-16 by their BOM, else `charset`, else UTF-8;
    a file that does not decode, or that reads as binary, is refused. NUL bytes mean binary
    data only where no charset is named: UTF-16 without its BOM is full of them."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        encoding = "utf-16"
    elif data.startswith(codecs.BOM_UTF8):
        encoding = "utf-8-sig"
    elif charset is None and b"\x00" in data:
        raise ValueError(f"{path}: binary data, not a subtitle file")
    else:
        encoding = charset or "utf-8"
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError:
        raise ValueError(f"{path}: not {encoding} text; name its encoding with charset "
                         "(cp1252 or latin-1 for most older Western files)") from None
    controls = sum(1 for c in text if ord(c) < 32 and c not in "\t\r\n") + text.count("\ufffd")
    if "\x00" in text or controls > MAX_CONTROL_SHARE * max(len(text), 1):
        raise ValueError(f"{path}: binary data, not a subtitle file")
    return text
