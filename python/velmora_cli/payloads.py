"""The page an HTTP response carries, with its transfer and content codings undone.

Crawls keep each response as the server sent it, chunked and compressed. Decoding streams
the held payload through the codings one block at a time into the page, so that a response
costs its payload and its page whatever the compression ratio, and a payload that does not
decode is refused with a short message: the caller goes on with the next response.
"""

from __future__ import annotations

import functools
import io
import itertools
import zlib
from collections.abc import Iterable, Iterator
from typing import Callable, Optional, Union

Piece = Union[bytes, memoryview]
Decoder = Callable[[Iterator[Piece]], Iterator[Piece]]

BLOCK = 1 << 16  # the most one step of a decompressor gives at once
MAX_LINE = 8192  # a chunk size line with its extensions, or a trailer line
QUOTED = 24  # the most bytes of a payload a message shows
GZIP_MAGIC = b"\x1f\x8b"


class UndecodableError(ValueError):
    """A payload that does not hold under the codings its headers name."""

    def __init__(self, coding: str, detail: str) -> None:
        super().__init__(f"undecodable {coding} payload: {detail}")


def decoded(
    payload: bytes, headers: Iterable[tuple[str, str]], limit: Optional[int] = None
) -> bytes:
    """The page in `payload`, the body of a response with these HTTP `headers` (name, value).

    Undoes `chunked` (the last transfer coding), then the other codings the server applied,
    last first: `gzip` (`x-gzip`), `deflate` (zlib-wrapped or raw) and `br` (with the
    `brotli` module). Bytes after the end of a gzip or deflate stream or of the last chunk
    are passed over, as browsers do. An empty payload is an empty page. A page decoded from
    its codings is refused as soon as it grows past `limit` bytes; a payload with none is
    the caller's to bound. Raises `UndecodableError`.
    """
    headers = list(headers)
    transfer = codings(headers, "transfer-encoding")
    chunked = transfer[-1:] == ["chunked"]
    if chunked:
        transfer.pop()
    if "chunked" in transfer:
        raise UndecodableError("chunked", "chunked is not the last transfer coding")
    applied = codings(headers, "content-encoding") + transfer
    if not payload or not (chunked or applied):
        return payload
    pieces: Iterator[Piece] = dechunked(payload) if chunked else iter((payload,))
    for coding in reversed(applied):
        pieces = decoder(coding)(pieces)
    return joined(pieces, applied[0] if applied else "chunked", limit)


def codings(headers: list[tuple[str, str]], name: str) -> list[str]:
    """The codings of every `name` header, in the order the server applied them."""
    found = (value.split(",") for key, value in headers if key.lower() == name)
    named = (coding.strip().lower() for coding in itertools.chain.from_iterable(found))
    return [coding for coding in named if coding not in ("", "identity")]


def decoder(coding: str) -> Decoder:
    try:
        return DECODERS[coding]
    except KeyError:
        raise UndecodableError(coding[:QUOTED], "not a coding velmora decodes") from None


def joined(pieces: Iterator[Piece], coding: str, limit: Optional[int]) -> bytes:
    page = io.BytesIO()
    for piece in pieces:
        page.write(piece)
        if limit is not None and page.tell() > limit:
            raise UndecodableError(coding, f"the page grows past the {limit} bytes read of one")
    return page.getvalue()  # BytesIO's own buffer, not a copy of it


def quoted(data: bytes) -> str:
    return repr(data[:QUOTED]) + ("..." if len(data) > QUOTED else "")


# --- chunked ------------------------------------------------------------------


def dechunked(payload: bytes) -> Iterator[memoryview]:
    """The data of each chunk, up to the last chunk and its trailers."""
    view = memoryview(payload)
    position = 0
    while True:
        line, data_start = next_line(payload, position, "a chunk size line")
        size = chunk_size(line, position)
        if size == 0:
            break
        position = data_start + size
        if position > len(payload):
            left = len(payload) - data_start
            detail = f"a chunk of {size} bytes at byte {data_start}, where {left} are left"
            raise UndecodableError("chunked", detail)
        yield view[data_start:position]
        line, position = next_line(payload, position, "the line end after a chunk")
        if line:
            raise UndecodableError("chunked", f"a chunk runs on past its size: {quoted(line)}")
    position = data_start
    while True:  # the trailers, up to the empty line that ends them
        trailer, position = next_line(payload, position, "the trailers")
        if not trailer:
            break


def next_line(payload: bytes, position: int, what: str) -> tuple[bytes, int]:
    """The line at `position` without its end (LF, or CRLF), and where the next one starts."""
    end = payload.find(b"\n", position, position + MAX_LINE)
    if end < 0:
        if len(payload) - position < MAX_LINE:
            raise UndecodableError("chunked", f"the payload ends in {what} at byte {position}")
        start = quoted(payload[position : position + QUOTED + 1])
        detail = f"no line end within {MAX_LINE} bytes"
        raise UndecodableError("chunked", f"{detail} in {what} at byte {position}: {start}")
    line = payload[position:end]
    return (line[:-1] if line.endswith(b"\r") else line), end + 1


def chunk_size(line: bytes, position: int) -> int:
    digits = len(line) - len(line.lstrip(b"0123456789abcdefABCDEF"))
    extensions = line[digits:].lstrip(b" \t")
    if not 0 < digits <= 16 or (extensions and not extensions.startswith(b";")):
        raise UndecodableError("chunked", f"no chunk size at byte {position}: {quoted(line)}")
    return int(line[:digits], 16)


# --- compression ----------------------------------------------------------------


def gunzipped(pieces: Iterator[Piece]) -> Iterator[bytes]:
    return inflated(pieces, 16 + zlib.MAX_WBITS, "gzip", members=True)


def deflated(pieces: Iterator[Piece]) -> Iterator[bytes]:
    """Servers send deflate both as the zlib format asks and raw, as browsers read it."""
    head, pieces = peeked(pieces, 2)
    wrapped = len(head) == 2 and head[0] & 0x0F == 8 and int.from_bytes(head, "big") % 31 == 0
    return inflated(pieces, zlib.MAX_WBITS if wrapped else -zlib.MAX_WBITS, "deflate")


def inflated(
    pieces: Iterator[Piece], wbits: int, coding: str, members: bool = False
) -> Iterator[bytes]:
    """`members`: a gzip body may hold members one after another, as `gzip.decompress` reads;
    other bytes after the end of the stream are passed over."""
    inflater = zlib.decompressobj(wbits)
    try:
        for piece in slices(pieces):
            data: Piece = piece
            while data:
                if inflater.eof:
                    # A piece may end inside the next member's magic number.
                    if not (members and GZIP_MAGIC.startswith(bytes(data[:2]))):
                        return
                    inflater = zlib.decompressobj(wbits)
                yield inflater.decompress(data, BLOCK)
                data = inflater.unconsumed_tail or inflater.unused_data
        while not inflater.eof:  # output the last input still holds back
            rest = inflater.decompress(b"", BLOCK)
            if not rest:
                raise UndecodableError(coding, "the compressed stream ends early")
            yield rest
    except zlib.error as error:
        raise UndecodableError(coding, str(error)) from None


def slices(pieces: Iterator[Piece]) -> Iterator[memoryview]:
    """`pieces` in slices of at most `BLOCK` bytes: a decompressor that stops at `BLOCK` bytes
    of output copies the input it has left, which must stay short."""
    for piece in pieces:
        view = memoryview(piece)
        for start in range(0, len(view), BLOCK):
            yield view[start : start + BLOCK]


def peeked(pieces: Iterator[Piece], size: int) -> tuple[bytes, Iterator[Piece]]:
    """The first `size` bytes of `pieces` (fewer if there are not as many), and all of them."""
    taken: list[Piece] = []
    head = b""
    for piece in pieces:
        taken.append(piece)
        head += bytes(piece[: size - len(head)])
        if len(head) == size:
            break
    return head, itertools.chain(taken, pieces)


def unbrotlied(pieces: Iterator[Piece]) -> Iterator[bytes]:
    try:
        import brotli  # type: ignore[import-untyped]  # comes with FastWARC
    except ImportError:
        raise UndecodableError("br", "needs the brotli module: pip install brotli") from None
    decompressor = brotli.Decompressor()
    step = decompressor.process
    if hasattr(decompressor, "can_accept_more_data"):  # brotli 1.2 and later bound each step
        step = functools.partial(step, output_buffer_limit=BLOCK)
    try:
        for piece in slices(pieces):
            output = step(piece)
            yield output
            while output:  # what a bounded step held back
                output = step(b"")
                yield output
        if not decompressor.is_finished():
            raise UndecodableError("br", "the compressed stream ends early")
    except brotli.error as error:
        raise UndecodableError("br", str(error)) from None


DECODERS: dict[str, Decoder] = {
    "gzip": gunzipped,
    "x-gzip": gunzipped,
    "deflate": deflated,
    "br": unbrotlied,
}
