"""The S3 test server and the fault proxy do what the storage cases rely on: the server keeps
anonymous clients out and its secrets off its command line, honours conditional writes and
keeps its data over a restart; the proxy's faults reach the client and are counted."""

import contextlib
import os
import pathlib
import socket
import stat
import urllib.error
import urllib.request

import pytest
from botocore.exceptions import ClientError, ConnectionClosedError, EndpointConnectionError

RETRYING = {"retries": {"total_max_attempts": 3, "mode": "standard"}}
ONCE = {"retries": {"total_max_attempts": 1}}


def test_anonymous_clients_are_refused_and_secrets_stay_off_the_command_line(s3, bucket):
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="private", Body=b"secret bytes")
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(f"{s3.endpoint}/{bucket}/private", timeout=5)
    refused.value.close()
    assert refused.value.code == 403
    command_line = pathlib.Path(f"/proc/{s3.process.pid}/cmdline").read_bytes()
    assert s3.secret_key.encode() not in command_line and s3.access_key.encode() not in command_line
    assert stat.S_IMODE(os.stat(s3.folder / "s3.json").st_mode) == 0o600


def test_a_proxy_that_drops_if_none_match_lets_a_create_overwrite(s3, bucket):
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="taken", Body=b"first")
        with pytest.raises(ClientError) as refused:
            client.put_object(Bucket=bucket, Key="taken", Body=b"second", IfNoneMatch="*")
    assert refused.value.response["ResponseMetadata"]["HTTPStatusCode"] == 412
    with s3.proxy() as proxy, contextlib.closing(s3.client(endpoint=proxy.endpoint)) as client:
        proxy.drop_header("If-None-Match")
        client.put_object(Bucket=bucket, Key="taken", Body=b"third", IfNoneMatch="*")
    assert s3.objects(bucket) == {"taken": b"third"}


def test_failed_requests_reach_the_client_and_a_retrying_client_gets_through(s3, bucket):
    with s3.proxy() as proxy:
        with contextlib.closing(s3.client(endpoint=proxy.endpoint, **ONCE)) as client:
            proxy.fail_next(1)
            with pytest.raises(ClientError) as failed:
                client.put_object(Bucket=bucket, Key="once", Body=b"x")
        assert failed.value.response["ResponseMetadata"]["HTTPStatusCode"] == 503
        with contextlib.closing(s3.client(endpoint=proxy.endpoint, **RETRYING)) as client:
            proxy.fail_next(2)
            client.put_object(Bucket=bucket, Key="retried", Body=b"payload")
        assert (proxy.requests, proxy.faults_left) == (1 + 3, 0)
    assert s3.objects(bucket) == {"retried": b"payload"}


def test_reset_connections_reach_the_client_and_a_retrying_client_gets_through(s3, bucket):
    with s3.proxy() as proxy:
        proxy.reset_next(1)
        with socket.create_connection(("127.0.0.1", proxy.port), timeout=5) as raw, \
                pytest.raises(ConnectionResetError):
            raw.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            raw.recv(1)  # a connection closed gracefully would give b"" here, not a reset
        with contextlib.closing(s3.client(endpoint=proxy.endpoint, **ONCE)) as client:
            proxy.reset_next(1)
            with pytest.raises((ConnectionClosedError, EndpointConnectionError)):
                client.put_object(Bucket=bucket, Key="once", Body=b"x")
        with contextlib.closing(s3.client(endpoint=proxy.endpoint, **RETRYING)) as client:
            proxy.reset_next(1)
            client.put_object(Bucket=bucket, Key="retried", Body=b"payload")
        assert (proxy.requests, proxy.faults_left) == (1 + 1 + 2, 0)
    assert s3.objects(bucket) == {"retried": b"payload"}


def test_a_restart_keeps_the_objects(s3, bucket):
    with contextlib.closing(s3.client()) as client:
        client.put_object(Bucket=bucket, Key="kept", Body=b"kept bytes")
    with s3.outage(), contextlib.closing(s3.client(**ONCE)) as client, pytest.raises(EndpointConnectionError):
        client.list_buckets()
    assert s3.objects(bucket) == {"kept": b"kept bytes"}
