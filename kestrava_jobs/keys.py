"""Key material for a package. The key stays outside the package folder: served
beside the segments it would defeat the encryption."""

import pathlib
import secrets
from dataclasses import dataclass


@dataclass(frozen=True)
class KeyInfo:
    path: pathlib.Path  # the key info file handed to the module (absolute paths inside)
    key: bytes
    iv: str | None  # 32 hex digits, or None: the muxer then uses each segment's sequence number


def beside(out_dir: pathlib.Path, suffix: str) -> pathlib.Path:
    """<parent>/<name><suffix>: the job's own files next to its folder."""
    return out_dir.with_name(out_dir.name + suffix)


def fresh_key_info(out_dir: pathlib.Path, key_uri: str) -> KeyInfo:
    key, iv = secrets.token_bytes(16), secrets.token_hex(16)
    key_path = beside(out_dir, ".key")
    key_path.write_bytes(key)
    key_path.chmod(0o600)
    info = beside(out_dir, ".keyinfo")
    info.write_text(f"{key_uri}\n{key_path}\n{iv}\n")
    return KeyInfo(info, key, iv)


def caller_key_info(out_dir: pathlib.Path, given: str | pathlib.Path) -> KeyInfo:
    """The caller's key info file, copied beside the folder with its key path made
    absolute: the job runs with the package folder as its working directory."""
    lines = pathlib.Path(given).read_text().splitlines()
    if len(lines) < 2:
        raise ValueError(f"{given}: a key info file holds a key URI and a key file path, one a line")
    key_path = pathlib.Path(lines[1]).expanduser().resolve()
    key = key_path.read_bytes()[:16]
    iv = lines[2].strip() if len(lines) > 2 and lines[2].strip() else None
    info = beside(out_dir, ".keyinfo")
    info.write_text("\n".join([lines[0], str(key_path), *([iv] if iv else [])]) + "\n")
    return KeyInfo(info, key, iv)
