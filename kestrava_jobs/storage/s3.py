"""Object storage as every S3-compatible server speaks it (AWS S3, Ceph RGW, MinIO,
SeaweedFS): one client per process from the standard AWS chain, and the server's
refusals in one plain line that names no secret.

Only what they all do is used: PUT, GET, HEAD, LIST, DELETE, multipart uploads, and
conditional writes (If-None-Match: *, If-Match); never ACL headers. Checksums are sent
only where an operation requires one, since some servers refuse what boto3 adds."""

import functools
import hashlib
import os

import boto3
from botocore.client import BaseClient
from botocore.config import Config
from botocore.exceptions import BotoCoreError, ClientError, NoCredentialsError

from .s3_location import SCHEME
from .time_bound import refuse_when_passed
# Transient failures (5xx, throttling, a reset connection, a server restarting) are tried
# again with back-off, capped at 20 s a wait: about a minute in all before one fails.
ATTEMPTS = 10
CONNECT_SECONDS, READ_SECONDS = 5, 60
PARALLEL_REQUESTS = 16
DEFAULT_REGION = "us-east-1"
# Codes by which servers say the credentials or the policy do not allow a request.
DENIED = {"AccessDenied", "InvalidAccessKeyId", "SignatureDoesNotMatch", "InvalidToken", "ExpiredToken", "403"}
MISSING_BUCKET = {"NoSuchBucket"}
MISSING_KEY = {"NoSuchKey", "404", "NotFound"}
PRECONDITION_FAILED = {"PreconditionFailed", "412", "ConditionalRequestConflict", "409"}


def client() -> BaseClient:
    """The process's client for the endpoint and credentials the environment names now."""
    names = ("AWS_ENDPOINT_URL", "AWS_ENDPOINT_URL_S3", "AWS_PROFILE", "AWS_ACCESS_KEY_ID", "AWS_REGION",
             "AWS_DEFAULT_REGION", "AWS_SHARED_CREDENTIALS_FILE", "AWS_CONFIG_FILE")
    # The secret counts by its digest: changed credentials get a client of their own.
    secret = hashlib.sha256(os.environ.get("AWS_SECRET_ACCESS_KEY", "").encode()).hexdigest()
    return _client(tuple(os.environ.get(name) for name in names), secret)


@functools.lru_cache(maxsize=4)
def _client(environment: tuple, secret_digest: str) -> BaseClient:
    session = boto3.session.Session()
    custom_endpoint = environment[0] or environment[1]
    config = Config(signature_version="s3v4", retries={"mode": "standard", "max_attempts": ATTEMPTS},
                    connect_timeout=CONNECT_SECONDS, read_timeout=READ_SECONDS,
                    max_pool_connections=PARALLEL_REQUESTS,
                    s3={"addressing_style": "path" if custom_endpoint else "auto"},
                    request_checksum_calculation="when_required", response_checksum_validation="when_required")
    s3 = session.client("s3", region_name=session.region_name or DEFAULT_REGION, config=config)
    # Every attempt, the first and each retry, within the job's time-out.
    s3.meta.events.register("before-send.s3", refuse_when_passed)
    return s3


def code_of(error: ClientError) -> str:
    return str(error.response.get("Error", {}).get("Code") or error.response.get("ResponseMetadata", {}).get(
        "HTTPStatusCode", ""))


def refusal(error: Exception, where: object) -> OSError:
    """The server's refusal as one plain line naming the location and the server's code,
    never a secret: FileNotFoundError for a missing bucket or object, PermissionError for
    credentials or a policy that do not allow it, ConnectionError for no answer."""
    if isinstance(error, NoCredentialsError):
        return PermissionError(f"{where}: no credentials for the object store (AWS_ACCESS_KEY_ID and "
                               "AWS_SECRET_ACCESS_KEY, AWS_PROFILE or a credentials file)")
    if isinstance(error, ClientError):
        code = code_of(error)
        if code in MISSING_BUCKET:
            return FileNotFoundError(f"{SCHEME}{str(where)[len(SCHEME):].partition('/')[0]}: no such bucket")
        if code in MISSING_KEY:
            return FileNotFoundError(f"{where}: no such object")
        if code in DENIED:
            return PermissionError(f"{where}: the object store refused access ({code}); check the credentials "
                                   "and the bucket's policy")
        return OSError(f"{where}: the object store refused the request ({code})")
    if isinstance(error, BotoCoreError):
        return ConnectionError(f"{where}: the object store could not be reached ({type(error).__name__})")
    return OSError(f"{where}: {error}")


def missing(error: ClientError) -> bool:
    return code_of(error) in MISSING_KEY


def precondition_failed(error: ClientError) -> bool:
    return code_of(error) in PRECONDITION_FAILED
