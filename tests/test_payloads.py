"""Decoding of chunked and compressed payloads against the standard library's decoders."""

from __future__ import annotations

import gzip
import zlib

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
