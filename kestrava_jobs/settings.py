"""The deployment's settings, each read from the environment when it is used, so that a
process sees the value it has now and a test can change one without re-importing.

KESTRAVA_BROKER_URL          the Celery broker and result store. Every worker and every
                             sender names the same one; default a Redis on this machine.
KESTRAVA_VISIBILITY_TIMEOUT  seconds before Redis hands an unacknowledged job to another
                             worker: it must outlast the longest job, or a job still running
                             is started a second time elsewhere. Default 12 hours.
KESTRAVA_KEY_DIR             the folder keys are made in and read from. It must lie outside
                             every folder a web server serves packages from, or the server
                             would hand out the keys. Default the service user's XDG state
                             folder ($XDG_STATE_HOME or ~/.local/state, then kestrava/keys).
                             A message's key_info must lie under it.
KESTRAVA_SOURCE_ROOTS        folders (separated by ':') a broker message's source must lie
                             under: any program that reaches the broker can send one.
KESTRAVA_OUTPUT_ROOT         folders a broker message's package folder must lie under.
KESTRAVA_ALLOW_URL_SOURCES   "1" lets a broker message name an http or https source; other
                             protocols are never accepted from a message.
"""

import os
import pathlib
from dataclasses import dataclass

KEY_DIR = "KESTRAVA_KEY_DIR"
SOURCE_ROOTS = "KESTRAVA_SOURCE_ROOTS"
OUTPUT_ROOT = "KESTRAVA_OUTPUT_ROOT"
ALLOW_URLS = "KESTRAVA_ALLOW_URL_SOURCES"
BROKER_URL = "KESTRAVA_BROKER_URL"
VISIBILITY_TIMEOUT = "KESTRAVA_VISIBILITY_TIMEOUT"


@dataclass(frozen=True)
class Settings:
    broker_url: str
    visibility_timeout: int  # seconds
    key_dir: pathlib.Path
    key_roots: list[str]  # what a message's key_info must lie under: the configured key folder, if any
    source_roots: list[str]  # real paths
    output_roots: list[str]
    allow_url_sources: bool


def _roots(variable: str) -> list[str]:
    return [os.path.realpath(root) for root in os.environ.get(variable, "").split(os.pathsep) if root]


def _key_dir() -> pathlib.Path:
    configured = os.environ.get(KEY_DIR)
    if configured:
        return pathlib.Path(configured)
    state = os.environ.get("XDG_STATE_HOME") or pathlib.Path.home() / ".local" / "state"
    return pathlib.Path(state) / "kestrava" / "keys"


def settings() -> Settings:
    """The settings as the environment gives them now."""
    return Settings(broker_url=os.environ.get(BROKER_URL, "redis://127.0.0.1:6379/0"),
                    visibility_timeout=int(os.environ.get(VISIBILITY_TIMEOUT, 12 * 3600)),
                    key_dir=_key_dir(), key_roots=_roots(KEY_DIR), source_roots=_roots(SOURCE_ROOTS), output_roots=_roots(OUTPUT_ROOT),
                    allow_url_sources=os.environ.get(ALLOW_URLS) == "1")
