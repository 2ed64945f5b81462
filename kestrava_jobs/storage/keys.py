"""Key material for a package. Keys live in a key folder of their own, never in or
beside the package folder: a web server that serves the packages would serve them."""

import hashlib
import os
import pathlib
import secrets
import stat
from dataclasses import dataclass, field

from ..settings import settings
from ..text import CONTROL, check_text
from .own_files import create_new, remove_own

KEY_BYTES = 16
# The URI the playlists name the key by, unless the caller gives one: where a key server answers.
DEFAULT_KEY_URI = "enc.key"


@dataclass(frozen=True)
class KeyInfo:
    path: pathlib.Path  # the key info file handed to the module (absolute paths inside)
    key_file: pathlib.Path
    uri: str  # the key's URI as the playlists name it
    key: bytes = field(repr=False)
    iv: str | None = field(repr=False)  # 32 hex digits, or None: each segment's sequence number


def check_key_uri(uri: object) -> str:
    """The key's URI as the playlists will name it: it goes into a key info line and a
    quoted playlist attribute, so no control characters, quotes or spaces."""
    if not isinstance(uri, str):
        raise TypeError(f"key_uri must be a str, not {type(uri).__name__}")
    if not uri or CONTROL.search(uri) or any(c in uri for c in "\"' \\"):
        raise ValueError("key_uri must be a URI without control characters, quotes or spaces")
    return uri


def ready_key_dir(key_dir: pathlib.Path | None) -> pathlib.Path:
    """The key folder (the deployment's when None), made 0700 if missing; refused unless
    it is this user's own folder."""
    key_dir = pathlib.Path(os.path.abspath(key_dir if key_dir is not None else settings.key_dir))
    key_dir.mkdir(mode=0o700, parents=True, exist_ok=True)
    found = os.lstat(key_dir)
    if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.geteuid():
        raise PermissionError(f"{key_dir}: the key folder must be a folder of this user's own")
    if found.st_mode & 0o077:
        os.chmod(key_dir, 0o700)
    return key_dir


def key_name(location: str | os.PathLike) -> str:
    """One key per package, named by a digest of the package's full location: two
    packages of one name elsewhere get keys of their own, and any name fits."""
    return hashlib.sha256(os.fsencode(location)).hexdigest()[:32]


def key_file(key_dir: pathlib.Path, location: str | os.PathLike) -> pathlib.Path:
    return key_dir / (key_name(location) + ".key")


def key_info_file(key_dir: pathlib.Path, location: str | os.PathLike) -> pathlib.Path:
    return key_info_named(key_dir, key_name(location))


def key_info_named(key_dir: pathlib.Path, name: str) -> pathlib.Path:
    return key_dir / (name + ".keyinfo")


def discard(key_dir: pathlib.Path, location: str | os.PathLike) -> None:
    """Removes the key and key info file of a package that was not made."""
    for path in (key_file(key_dir, location), key_info_file(key_dir, location)):
        remove_own(path)


def fresh_key_info(key_dir: pathlib.Path, location: str | os.PathLike, key_uri: str) -> KeyInfo:
    key, iv = secrets.token_bytes(KEY_BYTES), secrets.token_hex(16)
    key_path, info = key_file(key_dir, location), key_info_file(key_dir, location)
    # An earlier attempt at this folder that did not finish left them; its package is gone.
    discard(key_dir, location)
    create_new(key_path, key)
    create_new(info, f"{key_uri}\n{key_path}\n{iv}\n".encode())
    return KeyInfo(info, key_path, key_uri, key, iv)


def read_key_info(given: pathlib.Path) -> KeyInfo:
    """A key info file with every line checked, its key read."""
    lines = pathlib.Path(given).read_text().splitlines()
    if len(lines) < 2:
        raise ValueError(f"{given}: a key info file holds a key URI and a key file path, one a line")
    uri = check_key_uri(lines[0])
    named = pathlib.Path(check_text(lines[1], "the key file path")).expanduser().resolve()
    key = named.read_bytes()
    if len(key) != KEY_BYTES:
        raise ValueError(f"{given}: its key file must hold {KEY_BYTES} bytes")
    iv = lines[2].strip() if len(lines) > 2 and lines[2].strip() else None
    if iv is not None and (len(iv.removeprefix("0x")) != 32 or
                           any(c not in "0123456789abcdefABCDEF" for c in iv.removeprefix("0x"))):
        raise ValueError(f"{given}: its IV must be 32 hexadecimal digits")
    return KeyInfo(pathlib.Path(given), named, uri, key, iv)


def caller_key_info(key_dir: pathlib.Path, location: str | os.PathLike, given: pathlib.Path) -> KeyInfo:
    """The caller's key info file, copied into the key folder with its key path made
    absolute (the job works in the package folder) and every line checked."""
    caller = read_key_info(given)
    info = key_info_file(key_dir, location)
    remove_own(info)
    lines = [caller.uri, str(caller.key_file), *([caller.iv] if caller.iv else [])]
    create_new(info, ("\n".join(lines) + "\n").encode())
    return KeyInfo(info, caller.key_file, caller.uri, caller.key, caller.iv)


def job_key(key_dir: pathlib.Path, location: str, given: pathlib.Path | None, key_uri: str) -> KeyInfo:
    """The package's key: the caller's key info copied in, or a fresh key."""
    if given is not None:
        return caller_key_info(key_dir, location, given)
    return fresh_key_info(key_dir, location, key_uri)
