"""Outputs are written in place into the bytes object returned: whole, exact
and owned by the caller alone, at every size."""

import base64
import random
import sys

import pytest

import velmora

MIB = 1 << 20
HEAD = b"<!DOCTYPE html><html><head><title>t</title></head><body>"


def page(size):
    # No "<" in the body, so its bytes are text whatever they are.
    return HEAD + bytes(random.Random(size).choices(b"abc xyz>&\"'\n", k=size))


@pytest.mark.parametrize("size", [0, 1, 2, 3, 4096, 65537, 3 * MIB + 1])
def test_every_output_at_every_size(size):
    doc, store = page(size), random.Random(-size).randbytes(size)
    at = doc.index(b"</head>")
    href = "h&" * size
    element = b'<script type="application/c2pa">' + base64.b64encode(store) + b"</script>"
    link = b'<link rel="c2pa-manifest" href="' + b"h&amp;" * size + b'" type="application/c2pa">'
    embedded = velmora.embed(doc, store)
    referenced = velmora.embed_reference(doc, href)
    removed = velmora.remove(embedded)
    extracted = velmora.extract(embedded)["store"]
    assert embedded == doc[:at] + element + doc[at:]
    assert referenced == doc[:at] + link + doc[at:]
    assert removed == doc == velmora.remove(referenced) == velmora.remove(doc)
    assert extracted == store
    assert velmora.remove(doc) is not doc
    # Fresh objects held by their names alone (and the call's argument), bar
    # the interpreter's shared empty bytes.
    assert sys.getrefcount(embedded) == sys.getrefcount(referenced) == 2
    assert size == 0 or sys.getrefcount(removed) == sys.getrefcount(extracted) == 2


def test_empty_outputs():
    assert velmora.remove(b"") == b""
    assert velmora.extract(velmora.embed(HEAD, b""))["store"] == b""
