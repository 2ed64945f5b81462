"""Where a spread job's workers find its key: the key folder every worker shares (one
machine, or a shared disk), or a private prefix of a bucket (KESTRAVA_KEY_STORE) for
workers that share nothing else. A key in a bucket goes there once, from the submit
step; each step that needs it fetches it into a private folder of its own, for as long
as it needs it. Messages name a key by its name alone, never its bytes or a path."""

import contextlib
import json
import pathlib
import re
import shutil
import tempfile
from collections.abc import Iterator

from ..settings import KEY_STORE, OUTPUT_ROOT, settings
from . import keys
from .own_files import create_new
from .s3_location import S3Location, is_s3, s3_location

NAME = re.compile(r"^[0-9a-f]{32}$")


def check_key_name(name: object) -> str:
    if not isinstance(name, str) or not NAME.match(name):
        raise ValueError("a key is named by 32 hexadecimal digits")
    return name


def store_in_bucket(package_location: str) -> S3Location | None:
    """The deployment's key store when it is a bucket's prefix; ValueError when it lies
    where packages are served from: under the package or an output root."""
    store = settings.key_store
    if not is_s3(store):
        return None
    where = s3_location(store, KEY_STORE, need_key=False)
    inside = [root for root in (package_location, *settings.output_roots) if is_s3(root) and (
        where == s3_location(root, OUTPUT_ROOT, need_key=False) or where.under(s3_location(root, OUTPUT_ROOT,
                                                                                         need_key=False)))]
    if inside:
        raise ValueError(f"{KEY_STORE}={store} lies under {inside[0]}, where packages are served from")
    return where


def put_key(key: keys.KeyInfo, key_dir: pathlib.Path, package_location: str) -> None:
    """The key into the deployment's key store, and then only there: in the key folder it
    is there already; put into a bucket, this machine's copy is removed."""
    store = store_in_bucket(package_location)
    if store is not None:
        from .bucket_state import put_private  # the s3 extra's
        put_private(store.child(keys.key_name(package_location) + ".json"), json.dumps(
            {"uri": key.uri, "key": key.key.hex(), "iv": key.iv}).encode())
        keys.discard(key_dir, package_location)


def key_location(name: str, package_location: str) -> str | None:
    """Where the key is kept when it is kept in a bucket, as results name it."""
    store = store_in_bucket(package_location)
    return None if store is None else str(store.child(name + ".json"))


def remove_key(name: str, package_location: str) -> None:
    store = store_in_bucket(package_location)
    if store is not None:
        from .bucket_state import remove_private
        remove_private(store.child(name + ".json"))


@contextlib.contextmanager
def fetched_key(name: str, key_dir: pathlib.Path, package_location: str) -> Iterator[pathlib.Path]:
    """The key info file of the key named `name`, for the block: in the key folder, or
    fetched from the bucket into a private folder removed at the block's end, whatever
    the way out."""
    store = store_in_bucket(package_location)
    if store is None:
        yield keys.key_info_named(key_dir, name)
        return
    from .bucket_state import get_private
    folder = pathlib.Path(tempfile.mkdtemp(prefix="kestrava-key-", dir=settings.scratch))  # 0700
    try:
        record = json.loads(get_private(store.child(name + ".json")))
        create_new(folder / "key", bytes.fromhex(record["key"]))
        lines = [record["uri"], str(folder / "key"), *([record["iv"]] if record["iv"] else [])]
        create_new(folder / "keyinfo", ("\n".join(lines) + "\n").encode())
        yield folder / "keyinfo"
    finally:
        shutil.rmtree(folder, ignore_errors=True)
