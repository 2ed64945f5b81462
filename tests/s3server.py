"""A real S3 server for the tests: SeaweedFS's `weed mini` on free ports of 127.0.0.1, with
credentials made for the run that reach it through a config file, never its command line."""

import contextlib
import functools
import json
import os
import pathlib
import secrets
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import boto3
from botocore.client import BaseClient
from botocore.config import Config
from botocore.credentials import Credentials
from botocore.exceptions import BotoCoreError, ClientError

from fault_proxy import FaultProxy, fault_proxy
from media import free_port, wait_for
from sigv4 import resign

WEED = pathlib.Path(sys.executable).parent / "weed"
REGION = "us-east-1"
# Every port weed mini opens, named by its flag: one left out would take its default and
# clash with another run's server.
PORT_FLAGS = ("master.port", "master.port.grpc", "volume.port", "volume.port.grpc", "filer.port",
              "filer.port.grpc", "s3.port", "s3.port.grpc", "admin.port", "admin.port.grpc")
# Written by weed mini once every part of it is up; stopping it before then leaves its
# sockets in /tmp.
READY_FILE = "mini.options"
START_SECONDS = 30
STOP_SECONDS = 15
PORT_ATTEMPTS = 5


class PortTaken(RuntimeError):
    """One of the ports picked was taken by someone else before weed bound it."""


@dataclass
class S3Server:
    folder: pathlib.Path
    access_key: str = field(repr=False)
    secret_key: str = field(repr=False)
    ports: dict[str, int] = field(default_factory=dict)
    process: subprocess.Popen | None = field(default=None, repr=False)
    _session: boto3.session.Session = field(init=False, repr=False)
    _session_lock: threading.Lock = field(default_factory=threading.Lock, init=False, repr=False)

    def __post_init__(self) -> None:
        # One session for all clients: a session of its own costs each client 60 ms.
        self._session = boto3.session.Session(aws_access_key_id=self.access_key,
                                              aws_secret_access_key=self.secret_key, region_name=REGION)

    @property
    def endpoint(self) -> str:
        return f"http://127.0.0.1:{self.ports['s3.port']}"

    def client(self, *, endpoint: str | None = None, **config: Any) -> BaseClient:
        """A boto3 S3 client of this server's (through `endpoint`, a proxy, when given); the
        caller closes it. `config` adds to or overrides the botocore Config settings."""
        settings: dict[str, Any] = {"signature_version": "s3v4", "s3": {"addressing_style": "path"},
                                    "request_checksum_calculation": "when_required",
                                    "response_checksum_validation": "when_required", **config}
        with self._session_lock:
            return self._session.client("s3", endpoint_url=endpoint or self.endpoint, config=Config(**settings))

    def environment(self, *, endpoint: str | None = None) -> dict[str, str]:
        """What a child process's boto3 needs to reach this server (through `endpoint` when given)."""
        return {"AWS_ACCESS_KEY_ID": self.access_key, "AWS_SECRET_ACCESS_KEY": self.secret_key,
                "AWS_ENDPOINT_URL": endpoint or self.endpoint, "AWS_DEFAULT_REGION": REGION}

    def new_bucket(self, name: str | None = None) -> str:
        bucket = name or f"test-{secrets.token_hex(8)}"
        with contextlib.closing(self.client()) as s3:
            s3.create_bucket(Bucket=bucket)
        return bucket

    def objects(self, bucket: str) -> dict[str, bytes]:
        """Every object of `bucket`, key to bytes; one that a running job removes between the
        listing and its reading (a probe, a claim) is left out."""
        with contextlib.closing(self.client()) as s3:
            pages = s3.get_paginator("list_objects_v2").paginate(Bucket=bucket)
            keys = [item["Key"] for page in pages for item in page.get("Contents", [])]
            found = {}
            for key in keys:
                with contextlib.suppress(s3.exceptions.NoSuchKey):
                    found[key] = s3.get_object(Bucket=bucket, Key=key)["Body"].read()
            return found

    def proxy(self) -> contextlib.AbstractContextManager[FaultProxy]:
        """A fault proxy in front of this server that signs a request again as this server's
        client when it drops a header from it."""
        credentials = Credentials(self.access_key, self.secret_key)
        return fault_proxy(self.ports["s3.port"], functools.partial(resign, credentials=credentials))

    def write_config(self) -> None:
        """The identity the tests sign as; without a config weed would take anonymous writes."""
        identity = {"name": "tests", "credentials": [{"accessKey": self.access_key, "secretKey": self.secret_key}],
                    "actions": ["Admin", "Read", "List", "Tagging", "Write"]}
        config = self.folder / "s3.json"
        with os.fdopen(os.open(config, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as file:
            json.dump({"identities": [identity]}, file)

    def start(self) -> None:
        """Starts weed on this server's ports and folder, and waits until S3 answers a signed call."""
        if self.process is not None:
            raise RuntimeError("the S3 server is already running")
        # Left by the last start, the file would say the server is up before it is.
        (self.folder / READY_FILE).unlink(missing_ok=True)
        with open(self.folder / "weed.out", "ab") as output:
            self.process = subprocess.Popen(self._command(), stdout=output, stderr=output,
                                            stdin=subprocess.DEVNULL, cwd=self.folder)
        try:
            wait_for(self._up, START_SECONDS, "weed mini to bring up all its parts")
            wait_for(self._volumes_known, START_SECONDS, "the master to learn the volumes on disk")
            wait_for(self._answers, START_SECONDS, "the S3 server to answer")
        except BaseException:
            self.stop()
            raise

    def stop(self) -> None:
        """SIGTERM, which lets weed remove its sockets; a kill if it does not end in time."""
        if self.process is None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        finally:
            self.process = None
            self._remove_stray_sockets()

    @contextlib.contextmanager
    def outage(self) -> Iterator[None]:
        """The server down for the length of the block, and up again (data kept) after it."""
        self.stop()
        try:
            yield
        finally:
            self.start()

    def _command(self) -> list[str]:
        folder = self.folder
        return [str(WEED), f"-logdir={folder}", "mini", f"-dir={folder}", "-ip=127.0.0.1", "-ip.bind=127.0.0.1",
                "-master.telemetry=false", *(f"-{flag}={port}" for flag, port in self.ports.items()),
                "-admin.ui=false", "-webdav=false", "-s3.port.iceberg=0", "-s3.port.lance=0",
                f"-s3.config={folder / 's3.json'}", f"-filer.localSocket={folder / 'filer.sock'}",
                f"-s3.localSocket={folder / 's3.sock'}"]

    def _up(self) -> bool:
        if self.process.poll() is not None:
            raise self._start_failure()
        return (self.folder / READY_FILE).exists()

    def _start_failure(self) -> RuntimeError:
        output = (self.folder / "weed.out").read_text(errors="replace")
        failure = PortTaken if "is not available" in output or "address already in use" in output else RuntimeError
        return failure(f"weed mini ended with {self.process.returncode} at start-up:\n{output[-2000:]}")

    def _volumes_known(self) -> bool:
        """The master learns of the volume server and its volumes from its heartbeat, which may
        come after S3 answers, and after a restart now and then only with the next one, 5 s on:
        until then, objects kept cannot be read, nor new ones written."""
        status = f"http://127.0.0.1:{self.ports['master.port']}/dir/status"
        try:
            with urllib.request.urlopen(status, timeout=2) as answer:
                topology = json.load(answer)["Topology"]
        except OSError:
            return False
        nodes = [node for centre in topology.get("DataCenters") or [] for rack in centre.get("Racks") or []
                 for node in rack.get("DataNodes") or []]
        on_disk = len(list(self.folder.glob("*.dat")))
        return bool(nodes) and sum(node.get("Volumes", 0) for node in nodes) >= on_disk

    def _answers(self) -> bool:
        probe = self.client(retries={"total_max_attempts": 1}, connect_timeout=1, read_timeout=2)
        with contextlib.closing(probe):
            try:
                probe.list_buckets()
                return True
            except (BotoCoreError, ClientError):
                return False

    def _remove_stray_sockets(self) -> None:
        """weed puts its gRPC parts' sockets in /tmp, whatever TMPDIR says, and only a
        graceful end removes them."""
        for flag, port in self.ports.items():
            if flag.endswith(".grpc"):
                part = flag.split(".")[0]
                pathlib.Path(f"/tmp/seaweedfs-{part}-grpc-{port}.sock").unlink(missing_ok=True)


def _free_ports() -> dict[str, int]:
    ports: set[int] = set()
    while len(ports) < len(PORT_FLAGS):
        ports.add(free_port())
    return dict(zip(PORT_FLAGS, ports))


def _start_on_free_ports(server: S3Server) -> None:
    """Another process may take a port between its pick and weed binding it: new ports then."""
    for attempt in range(PORT_ATTEMPTS):
        server.ports = _free_ports()
        try:
            server.start()
            return
        except PortTaken:
            if attempt == PORT_ATTEMPTS - 1:
                raise
            time.sleep(0.1)


@contextlib.contextmanager
def s3_server(folder: pathlib.Path) -> Iterator[S3Server]:
    """A SeaweedFS S3 server with its data, logs and sockets in `folder`, for the block's length."""
    server = S3Server(folder, access_key=secrets.token_hex(10), secret_key=secrets.token_hex(20))
    server.write_config()
    _start_on_free_ports(server)
    try:
        yield server
    finally:
        server.stop()
