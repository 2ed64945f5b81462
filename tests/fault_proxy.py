"""A fault-injecting HTTP proxy for the tests to put in front of a real server: it answers
chosen requests with an error status or a TCP reset instead of forwarding them, and can strip
request headers, as a server that ignores them would (signing the request again, when given
a way to, so that a signed header's absence does not make the request look forged).

Each connection carries one request (`Connection: close` goes to the server, and so comes
back), so that request bodies, chunked or not, and responses pass through as bytes and never
need parsing."""

import asyncio
import collections
import contextlib
import http
import socket
import struct
import threading
from collections.abc import Callable, Coroutine, Iterator
from dataclasses import dataclass
from typing import Any, Literal

HEAD_END = b"\r\n\r\n"
# How long a connection with a fault may take to send the rest of its request.
BODY_SECONDS = 5
RELAY_CHUNK = 64 * 1024
# Headers about this connection alone, which the proxy sets itself.
HOP_BY_HOP = {b"connection", b"keep-alive"}


@dataclass(frozen=True)
class Fault:
    kind: Literal["fail", "reset"]
    status: int = 503


class FaultProxy:
    def __init__(self, target_port: int, resign: Callable[[bytes], bytes] | None = None) -> None:
        self.target_port = target_port
        self._resign = resign
        self.port = 0
        self.requests = 0
        self._faults: collections.deque[Fault] = collections.deque()
        self._dropped: set[bytes] = set()
        self._lock = threading.Lock()
        self._loop = asyncio.new_event_loop()
        self._server: asyncio.AbstractServer | None = None
        self._connections: set[asyncio.Task] = set()
        self._thread = threading.Thread(target=self._loop.run_forever, name="fault-proxy", daemon=True)

    @property
    def endpoint(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def faults_left(self) -> int:
        """Faults armed and not yet dealt to a request."""
        with self._lock:
            return len(self._faults)

    def fail_next(self, count: int, status: int = 503) -> None:
        """The next `count` requests get `status` and an S3 error body, never reaching the server."""
        self._arm(Fault("fail", status), count)

    def reset_next(self, count: int) -> None:
        """The next `count` requests are read and then their connections reset (TCP RST)."""
        self._arm(Fault("reset"), count)

    def drop_header(self, name: str) -> None:
        """Requests reach the server without header `name` from now on."""
        with self._lock:
            self._dropped.add(name.lower().encode())

    def start(self) -> None:
        self._thread.start()
        try:
            self._call(self._open())
        except BaseException:
            self._end_loop()
            raise

    def stop(self) -> None:
        """Closes the listening socket and every connection, then ends the thread."""
        try:
            self._call(self._close())
        finally:
            self._end_loop()

    def _call(self, coroutine: Coroutine[Any, Any, None]) -> None:
        asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(10)

    def _end_loop(self) -> None:
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)
        self._loop.close()

    def _arm(self, fault: Fault, count: int) -> None:
        with self._lock:
            self._faults.extend([fault] * count)

    def _next_fault(self) -> Fault | None:
        with self._lock:
            self.requests += 1
            return self._faults.popleft() if self._faults else None

    # What follows runs on the proxy's own thread, in its event loop.

    async def _open(self) -> None:
        self._server = await asyncio.start_server(self._connection, "127.0.0.1", 0)
        self.port = self._server.sockets[0].getsockname()[1]

    async def _close(self) -> None:
        self._server.close()
        await self._server.wait_closed()
        for task in list(self._connections):
            task.cancel()
        await asyncio.gather(*self._connections, return_exceptions=True)

    async def _connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self._connections.add(asyncio.current_task())
        try:
            await self._serve(reader, writer)
        except (OSError, ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError):
            pass  # a client that went away or sent no sound request: nothing to answer
        finally:
            writer.close()
            self._connections.discard(asyncio.current_task())

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        head = await reader.readuntil(HEAD_END)
        fault = self._next_fault()
        if fault is None:
            await self._forward(head, reader, writer)
        elif fault.kind == "fail":
            await self._fail(fault.status, writer, reader)
        else:
            await self._reset(head, reader, writer)

    async def _forward(self, head: bytes, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            return _abort(writer)  # the server is down: a reset is as near as a proxy gets to a refusal
        try:
            upstream_writer.write(self._rewrite(head))
            upload = asyncio.ensure_future(_relay(reader, upstream_writer))
            try:
                await _relay(upstream_reader, writer)
            finally:
                upload.cancel()
                await asyncio.gather(upload, return_exceptions=True)
        finally:
            upstream_writer.close()

    def _rewrite(self, head: bytes) -> bytes:
        """The head without the dropped headers, asking the server to close after its answer."""
        request_line, *lines = head[:-len(HEAD_END)].split(b"\r\n")
        with self._lock:
            dropped = set(self._dropped)
        named = [(_name(line), line) for line in lines]
        kept = [line for name, line in named if name not in dropped | HOP_BY_HOP]
        rewritten = b"\r\n".join([request_line, *kept, b"Connection: close"]) + HEAD_END
        if self._resign and any(name in dropped for name, _ in named):
            return self._resign(rewritten)
        return rewritten

    async def _fail(self, status: int, writer: asyncio.StreamWriter, reader: asyncio.StreamReader) -> None:
        writer.write(_error_response(status))
        await writer.drain()
        # Closing with unread request bytes would make the kernel send a reset instead of the
        # answer: read what the client still sends until it closes.
        writer.write_eof()
        await asyncio.wait_for(_discard(reader), BODY_SECONDS)

    async def _reset(self, head: bytes, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        """Reads the body too when its length is known and the client sends it unasked, so the
        reset comes after the whole request, where the client cannot tell whether it was done."""
        length = int(_header(head, b"content-length") or 0)
        if length and _header(head, b"expect").lower() != b"100-continue":
            await asyncio.wait_for(reader.readexactly(length), BODY_SECONDS)
        _abort(writer)


async def _relay(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    """Bytes from `reader` to `writer` until the reader's side closes, then closes the writer's side."""
    while chunk := await reader.read(RELAY_CHUNK):
        writer.write(chunk)
        await writer.drain()
    if writer.can_write_eof() and not writer.is_closing():
        writer.write_eof()


async def _discard(reader: asyncio.StreamReader) -> None:
    while await reader.read(RELAY_CHUNK):
        pass


def _abort(writer: asyncio.StreamWriter) -> None:
    """Closes the connection with a TCP RST rather than a FIN."""
    writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


def _header(head: bytes, name: bytes) -> bytes:
    """The value of header `name` (lower case) in a request head; empty when it has none."""
    for line in head[:-len(HEAD_END)].split(b"\r\n")[1:]:
        if _name(line) == name:
            return line.partition(b":")[2].strip()
    return b""


def _name(line: bytes) -> bytes:
    return line.partition(b":")[0].strip().lower()


def _error_response(status: int) -> bytes:
    phrase = http.HTTPStatus(status).phrase
    body = (f'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>{phrase.replace(" ", "")}</Code>'
            f"<Message>{phrase} (injected by the test proxy)</Message></Error>").encode()
    head = (f"HTTP/1.1 {status} {phrase}\r\nContent-Type: application/xml\r\nContent-Length: {len(body)}\r\n"
            "Connection: close\r\n\r\n").encode()
    return head + body


@contextlib.contextmanager
def fault_proxy(target_port: int, resign: Callable[[bytes], bytes] | None = None) -> Iterator[FaultProxy]:
    """A FaultProxy on a free port of 127.0.0.1 in front of 127.0.0.1:target_port, served by
    a thread of its own for the length of the block; `resign` signs a request head again
    after a header was dropped from it."""
    proxy = FaultProxy(target_port, resign)
    proxy.start()
    try:
        yield proxy
    finally:
        proxy.stop()
