"""The deployment's settings: one object whose every setting is read from the environment
when it is used, so that a process sees the value it has now, a setting that one kind of
job does not use cannot stop it, and a test can change one without re-importing."""

import os
import pathlib
import re
import tempfile

BROKER_URL = "KESTRAVA_BROKER_URL"
VISIBILITY_TIMEOUT = "KESTRAVA_VISIBILITY_TIMEOUT"
KEY_DIR = "KESTRAVA_KEY_DIR"
SOURCE_ROOTS = "KESTRAVA_SOURCE_ROOTS"
OUTPUT_ROOT = "KESTRAVA_OUTPUT_ROOT"
ALLOW_URLS = "KESTRAVA_ALLOW_URL_SOURCES"
SCRATCH = "KESTRAVA_SCRATCH"
MAX_SOURCE_BYTES = "KESTRAVA_MAX_SOURCE_BYTES"
CLAIM_LEASE = "KESTRAVA_CLAIM_LEASE"
KEY_STORE = "KESTRAVA_KEY_STORE"
# Where keys go when neither the caller nor the deployment names a folder.
DEFAULT_KEY_DIR = "~/.local/state/kestrava/keys"


def _roots(variable: str) -> list[str]:
    """Folders as real paths, and s3://bucket/prefix entries as they are; separated by ':'
    (the one in s3:// does not separate)."""
    entries = re.split(r":(?!//)", os.environ.get(variable, ""))
    return [root if root.startswith("s3://") else os.path.realpath(root) for root in entries if root]


class Settings:
    @property
    def broker_url(self) -> str:
        """KESTRAVA_BROKER_URL: the Celery broker, which is also the result store. Every
        worker and every sender names the same one; default a Redis on this machine."""
        return os.environ.get(BROKER_URL, "redis://127.0.0.1:6379/0")

    @property
    def visibility_timeout(self) -> int:
        """KESTRAVA_VISIBILITY_TIMEOUT: seconds before Redis hands an unacknowledged job to
        another worker. It must outlast the longest job, or a job still running is started
        a second time elsewhere. Default 12 hours."""
        return int(os.environ.get(VISIBILITY_TIMEOUT, 12 * 3600))

    @property
    def key_dir(self) -> pathlib.Path:
        """KESTRAVA_KEY_DIR: the folder keys are made in. It must lie outside every folder a
        web server serves packages from, or the server would hand the keys out. Default
        the service user's XDG state folder ($XDG_STATE_HOME, else ~/.local/state)."""
        configured = os.environ.get(KEY_DIR)
        if configured:
            return pathlib.Path(configured)
        state = os.environ.get("XDG_STATE_HOME") or pathlib.Path.home() / ".local" / "state"
        return pathlib.Path(state) / "kestrava" / "keys"

    @property
    def key_store(self) -> str:
        """KESTRAVA_KEY_STORE: where a spread job's workers find its key: the key folder
        (the default), or an s3://bucket/prefix of its own for workers that share no disk,
        outside every package's prefix and output root."""
        return os.environ.get(KEY_STORE) or str(self.key_dir)

    @property
    def key_roots(self) -> list[str]:
        """What a broker message's key_info must lie under: KESTRAVA_KEY_DIR, when it is set."""
        return _roots(KEY_DIR)

    @property
    def source_roots(self) -> list[str]:
        """KESTRAVA_SOURCE_ROOTS: folders (separated by ':') a broker message's source must
        lie under, as real paths: any program that reaches the broker can send one."""
        return _roots(SOURCE_ROOTS)

    @property
    def output_roots(self) -> list[str]:
        """KESTRAVA_OUTPUT_ROOT: folders a broker message's package folder must lie under."""
        return _roots(OUTPUT_ROOT)

    @property
    def allow_url_sources(self) -> bool:
        """KESTRAVA_ALLOW_URL_SOURCES: "1" lets a broker message name an http or https
        source; other protocols are never accepted from a message."""
        return os.environ.get(ALLOW_URLS) == "1"

    @property
    def scratch(self) -> str:
        """KESTRAVA_SCRATCH: the folder of this machine where a job whose package or source
        lies in a bucket makes its private work folder; default the system's temporary one."""
        return os.environ.get(SCRATCH) or tempfile.gettempdir()

    @property
    def max_source_bytes(self) -> int:
        """KESTRAVA_MAX_SOURCE_BYTES: the largest source a job downloads from a bucket; default 20 GB."""
        return int(os.environ.get(MAX_SOURCE_BYTES, 20 * 1000**3))

    @property
    def claim_lease(self) -> float:
        """KESTRAVA_CLAIM_LEASE: seconds a job's claim on a package in a bucket holds
        without being renewed; a job renews it a few times each lease while it lives, and
        a claim left longer than this is a dead job's. Default 60."""
        return float(os.environ.get(CLAIM_LEASE, 60))


# Holds nothing itself: each setting is read from the environment as it is asked for.
settings = Settings()
