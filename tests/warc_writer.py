"""Writes small WARC files the way crawls ship them: one gzip member per record."""

from __future__ import annotations

import gzip
import uuid
from collections.abc import Iterable, Sequence
from dataclasses import dataclass


@dataclass(frozen=True)
class Response:
    uri: str
    body: bytes
    content_type: str = "text/html; charset=utf-8"
    http_status: int = 200
    # More HTTP headers; with a Transfer-Encoding, the response has no Content-Length.
    headers: Sequence[tuple[str, str]] = ()


def record(kind: str, block: bytes, headers: Sequence[tuple[str, str]] = ()) -> bytes:
    lines = [
        "WARC/1.0",
        f"WARC-Type: {kind}",
        f"WARC-Record-ID: <urn:uuid:{uuid.uuid4()}>",
        "WARC-Date: 2026-01-01T00:00:00Z",
        *(f"{name}: {value}" for name, value in headers),
        f"Content-Length: {len(block)}",
    ]
    return "\r\n".join(lines).encode() + b"\r\n\r\n" + block + b"\r\n\r\n"


def http_response(response: Response) -> bytes:
    fields = [("Content-Type", response.content_type), *response.headers]
    if not any(name == "Transfer-Encoding" for name, _ in response.headers):
        fields.append(("Content-Length", str(len(response.body))))
    head = f"HTTP/1.1 {response.http_status} X\r\n" + "".join(f"{n}: {v}\r\n" for n, v in fields)
    return record(
        "response",
        head.encode() + b"\r\n" + response.body,
        [("WARC-Target-URI", response.uri), ("Content-Type", "application/http; msgtype=response")],
    )


def http_request(uri: str) -> bytes:
    block = f"GET {uri} HTTP/1.1\r\nHost: example\r\n\r\n".encode()
    return record(
        "request",
        block,
        [("WARC-Target-URI", uri), ("Content-Type", "application/http; msgtype=request")],
    )


def write_warc(path: str, responses: Iterable[Response]) -> list[int]:
    """Writes a warcinfo record, then a request and a response per page; returns each
    response's offset in the compressed file."""
    offsets = []
    with open(path, "wb") as file:
        file.write(gzip.compress(record("warcinfo", b"software: velmora tests\r\n")))
        for response in responses:
            file.write(gzip.compress(http_request(response.uri)))
            offsets.append(file.tell())
            file.write(gzip.compress(http_response(response)))
    return offsets


def chunked(body: bytes, size: int = 64) -> bytes:
    """`body` in chunks of `size` bytes, with an extension and a trailer, as servers send it."""
    pieces = (body[start : start + size] for start in range(0, len(body), size))
    return b"".join(b"%x;n=1\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\nX-End: 1\r\n\r\n"
