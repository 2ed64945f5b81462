"""What a worker accepts from a broker message: any program that reaches the broker
can send one, so its paths are held to the folders the deployment names."""

import dataclasses
import os
import pathlib

from ..job.request import JobOptions
from ..job.validate import url_scheme
from ..settings import ALLOW_URLS, KEY_DIR, OUTPUT_ROOT, SOURCE_ROOTS, settings
from ..storage.locations import check_scheme
from ..storage.s3_location import is_s3, s3_location
from ..text import check_text

# The options a message may carry; the rest (key_dir, job_id, ...) are the worker's.
MESSAGE_OPTIONS = tuple(field.name for field in dataclasses.fields(JobOptions) if field.name != "key_dir")


def _under(path: str, roots: list[str]) -> bool:
    return any(path != root and os.path.commonpath([path, root]) == root for root in roots if not is_s3(root))


def _real_path(text: object, what: str) -> str:
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a str")
    check_text(text, what)
    if not os.path.isabs(text):
        raise ValueError(f"{what} must be an absolute path")
    return os.path.realpath(text)


def confine(source: object, out_dir: object, options: dict) -> tuple[str, str, dict]:
    """The source, folder and options as the worker will use them, or ValueError
    (TypeError for the wrong kinds) naming what the message may not do."""
    unknown = set(options) - set(MESSAGE_OPTIONS)
    if unknown:
        raise ValueError(f"options a message may not give: {sorted(unknown)}")
    if is_s3(source):
        real_source = confined_object(source, settings.source_roots, SOURCE_ROOTS, "the source")
    elif isinstance(source, str) and (scheme := url_scheme(source)) is not None:
        if not settings.allow_url_sources or scheme not in ("http", "https"):
            raise ValueError(f"URL sources are not accepted here (http and https only, with {ALLOW_URLS}=1)")
        real_source = check_text(source, "the source")
    else:
        real_source = _real_path(source.removeprefix("file:") if isinstance(source, str) else source, "the source")
        if not _under(real_source, settings.source_roots):
            raise ValueError(f"{source}: the source is not under {SOURCE_ROOTS}")
    out_path = confined_out_dir(out_dir)
    if options.get("key_info") is not None:
        key_info = _real_path(options["key_info"], "key_info")
        if not _under(key_info, settings.key_roots):
            raise ValueError(f"{options['key_info']}: key_info is not under {KEY_DIR}")
        options = {**options, "key_info": key_info}
    if options.get("captions") is not None:
        options = {**options, "captions": confined_captions(options["captions"])}
    return real_source, out_path, options


def confined_out_dir(out_dir: object) -> str:
    if is_s3(out_dir):
        return confined_object(out_dir, settings.output_roots, OUTPUT_ROOT, "out_dir")
    out_path = _real_path(check_scheme(out_dir) if isinstance(out_dir, str) else out_dir, "out_dir")
    if os.path.islink(out_dir) or not _under(out_path, settings.output_roots):
        raise ValueError(f"{out_dir}: out_dir is not a folder under {OUTPUT_ROOT}")
    return str(pathlib.Path(out_path))


def confined_object(location: str, roots: list[str], variable: str, what: str) -> str:
    """An s3:// location held to the s3:// roots the deployment names: a plain key (no
    '..', no empty part, no control character) under one of them, in its bucket."""
    where = s3_location(check_text(location, what), what)
    if not any(where.under(s3_location(root, variable, need_key=False)) for root in roots if is_s3(root)):
        raise ValueError(f"{location}: {what} is not under an s3:// location in {variable}")
    return str(where)


def confined_captions(captions: object) -> dict[str, str]:
    """Caption files are read like sources: only below the source roots."""
    if not isinstance(captions, dict):
        raise TypeError("captions must map languages to files")
    confined = {}
    for language, path in captions.items():
        confined[language] = _real_path(path, "a caption file")
        if not _under(confined[language], settings.source_roots):
            raise ValueError(f"{path}: the caption file is not under {SOURCE_ROOTS}")
    return confined
