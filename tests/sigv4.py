"""Signing a changed S3 request again, so that a test proxy can take a header out of a request
and the server still takes the request as its client's: with AWS Signature Version 4 the
signature covers the headers, and a header simply dropped would make the request forged."""

import re

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

HEAD_END = b"\r\n\r\n"
# AWS4-HMAC-SHA256 Credential=KEY/DATE/REGION/SERVICE/aws4_request, SignedHeaders=a;b, Signature=hex
SCOPE = re.compile(r"Credential=[^/]+/\d{8}/([^/]+)/([^/]+)/aws4_request, *SignedHeaders=([^, ]+)")


class _Resigner(S3SigV4Auth):
    """Keeps the payload hash the client sent: the proxy forwards the body as it came."""

    def __init__(self, credentials: Credentials, service: str, region: str, payload_hash: str) -> None:
        super().__init__(credentials, service, region)
        self._payload_hash = payload_hash

    def payload(self, request: AWSRequest) -> str:
        return self._payload_hash


def resign(head: bytes, credentials: Credentials) -> bytes:
    """The request head signed anew over the signed headers it still has; a head not signed
    with SigV4 in its Authorization header comes back as it was."""
    request_line, *lines = head[:-len(HEAD_END)].decode("latin-1").split("\r\n")
    headers = [(name.strip(), value.strip()) for name, _, value in (line.partition(":") for line in lines)]
    found = {name.lower(): value for name, value in headers}
    authorization = found.get("authorization", "")
    scope = SCOPE.search(authorization)
    if not authorization.startswith("AWS4-HMAC-SHA256") or scope is None or "host" not in found:
        return head
    region, service, signed = scope.groups()
    method, target, _ = request_line.split(" ", 2)
    request = AWSRequest(method=method, url=f"http://{found['host']}{target}",
                         headers={name: found[name] for name in signed.split(";") if name in found})
    _Resigner(credentials, service, region, found.get("x-amz-content-sha256", "")).add_auth(request)
    renewed = {"authorization": request.headers["Authorization"], "x-amz-date": request.headers["X-Amz-Date"]}
    lines = [f"{name}: {renewed.get(name.lower(), value)}" for name, value in headers]
    return "\r\n".join([request_line, *lines]).encode("latin-1") + HEAD_END
