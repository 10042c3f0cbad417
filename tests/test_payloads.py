"""Decoding of chunked and compressed payloads against the standard library's decoders."""

from __future__ import annotations

import gzip
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora_cli.payloads import UndecodableError, decoded
from warc_writer import chunked

# The coding's name, an encoder, the oracle, and how many bytes of header the oracle and
# velmora read alike (damage there only tells the two readers' header checks apart).
FORMATS = {
    "gzip": ("gzip", gzip.compress, gzip.decompress, 10),
    "zlib": ("deflate", zlib.compress, zlib.decompress, 2),
}
ERRORS: tuple[type[Exception], ...] = (OSError, EOFError, zlib.error)
try:
    import brotli
except ImportError:
    pass
else:
    FORMATS["brotli"] = ("br", brotli.compress, brotli.decompress, 0)
    ERRORS += (brotli.error,)


@settings(max_examples=300, deadline=None)
@given(
    st.binary(max_size=5000),
    st.sampled_from(sorted(FORMATS)),
    st.integers(1, 700),
    st.integers(0, 1 << 32),
    st.integers(0, 255),
    st.booleans(),
)
def test_whole_or_damaged_payloads_decode_as_the_oracle_does(page, form, size, at, xor, cut):
    coding, compress, decompress, header = FORMATS[form]
    body = bytearray(compress(page))
    at = header + at % (len(body) - header)
    if cut:
        del body[at:]
    else:
        body[at] ^= xor
    try:
        expected = decompress(bytes(body))
    except ERRORS:
        expected = None
    headers = [("Transfer-Encoding", "chunked"), ("Content-Encoding", coding)]
    try:
        found = decoded(chunked(bytes(body), size), headers)
    except UndecodableError as error:
        assert len(str(error)) < 200
        found = None
    assert found == expected


BODY = b"<html><head></head><body>" + b"x" * 3000 + b"</body></html>"
FIRST = gzip.compress(BODY[:1000])


@pytest.mark.parametrize(
    "payload, headers",
    [  # what browsers pass over after a complete body
        (gzip.compress(BODY) + b"\r\n", [("Content-Encoding", "gzip")]),
        (zlib.compress(BODY) + b"\n", [("Content-Encoding", "deflate")]),
        (chunked(BODY) + b"\r\n", [("Transfer-Encoding", "chunked")]),
        # a second member whose magic number is split between two chunks
        (
            chunked(FIRST + gzip.compress(BODY[1000:]), size=len(FIRST) + 1),
            [("Transfer-Encoding", "chunked"), ("Content-Encoding", "gzip")],
        ),
    ],
    ids=["gzip", "deflate", "chunked", "split-member"],
)
def test_bytes_after_a_complete_body_are_passed_over(payload, headers):
    assert decoded(payload, headers) == BODY


def test_a_page_growing_past_the_limit_is_refused():
    bomb = gzip.compress(b" " * 10_000_000)
    with pytest.raises(UndecodableError, match="grows past the 1000000 bytes"):
        decoded(bomb, [("Content-Encoding", "gzip")], limit=1_000_000)
    assert decoded(bomb, [("Content-Encoding", "gzip")], limit=10_000_000) == b" " * 10_000_000
