"""The native scanner against the literal model in reference.py, on markup
built from the pieces where scanning goes wrong: head, html and body tags in
any order, raw text, comments, quotes, and both manifest forms."""

import base64
import binascii

import pytest

from hypothesis import given, settings, strategies as st

import reference
import velmora

PIECES = [
    b"<head>", b"<HEAD >", b"</head>", b"</HEAD\t>", b"<html lang=en>", b"</html>", b"<body>",
    b"<Body class=x>", b"<title>", b"</title>", b"<style>", b"</style>", b"<textarea>",
    b"</textarea>", b"<script>", b"</script>", b"</script/>", b"</scriptx>", b"<!--", b"-->",
    b"<!-->", b"-", b"--", b"->", b"<!DOCTYPE html>", b"<?pi?>", b"<![CDATA[", b"]]>", b"<", b"</", b">", b"=",
    b"'", b'"', b" ", b"\n", b"/", b"a", b"\xff", b"\xc3\xa9", b"<a href='x'>", b"<p>", b"</p>",
    b"<link rel=c2pa-manifest href=x>", b'<link rel="alternate C2PA-MANIFEST" href="a&amp;b">',
    b"<link rel=c2pa-manifest>", b"<link rel=c2pa-manifest href=''>", b"<link rel=stylesheet>",
    b'<link rel=c2pa-manifest href="\xe2\x82">', b'<script type="application/c2pa">',
    b'<SCRIPT TYPE=" application/C2PA ">', b"<script type=application/c2pa>Zm9v</script>",
    b"Zg==", b"Zm8=", b"<meta charset=utf-8>", b"<link rel=c2pa-manifest rel=x href=y href=z>",
]

documents = st.lists(st.sampled_from(PIECES), max_size=40).map(b"".join)


def strict_b64decode(text: bytes):
    try:
        decoded = base64.b64decode(text, validate=True)
    except binascii.Error:
        return None
    return decoded if base64.b64encode(decoded) == text else None


def expected_extract(doc):
    found = reference.candidates(doc)
    if not found:
        return None
    if len(found) > 1:
        return "more than one C2PA manifest element found [manifest.html.multipleManifests]"
    start, end, kind, payload = found[0]
    result = {"start": start, "length": end - start}
    if kind == "link":
        if not payload:
            return "the C2PA manifest element is malformed: link has no href to resolve"
        return {**result, "kind": "referenced", "href": payload}
    store = strict_b64decode(payload.strip(b"\t\n\x0c\r "))
    if store is None:
        return "the C2PA manifest element is malformed: script content is not valid Base64"
    return {**result, "kind": "embedded", "store": store}


def actual_extract(doc):
    try:
        return velmora.extract(doc)
    except ValueError as error:
        return str(error)


@settings(max_examples=1500, deadline=None)
@given(documents)
def test_locate_all_and_extract_match_the_literal_model(doc):
    expected = [(s, e - s) for s, e, _, _ in reference.candidates(doc)]
    assert velmora.locate_all(doc) == expected
    assert actual_extract(doc) == expected_extract(doc)


@settings(max_examples=800, deadline=None)
@given(documents)
def test_remove_and_insertion_point_match_the_literal_model(doc):
    ranges = reference.candidates(doc)
    kept, previous = b"", 0
    for start, end, _, _ in ranges:
        kept += doc[previous:start]
        previous = end
    kept += doc[previous:]
    assert velmora.remove(doc) == kept
    close = reference.insertion_point(kept)
    try:
        out = velmora.embed_reference(doc, "r")
    except ValueError as error:
        if close is None:
            assert str(error) == "the document has no head element to embed into"
        else:  # removal joined the bytes around an element into a new one
            assert reference.candidates(kept) and str(error).startswith("more than one")
    else:
        assert not reference.candidates(kept)
        element = b'<link rel="c2pa-manifest" href="r" type="application/c2pa">'
        assert out == kept[:close] + element + kept[close:]


@given(st.binary(max_size=300))
def test_arbitrary_bytes_match_the_literal_model(doc):
    assert velmora.locate_all(doc) == [(s, e - s) for s, e, _, _ in reference.candidates(doc)]


LINK = b"<link rel=c2pa-manifest href=x>"


@pytest.mark.parametrize(
    "doc",
    [
        b"<html>" + LINK + b"<body>" + LINK,  # no head start tag
        b"<body>" + LINK + b"<head>" + LINK + b"</head>" + LINK,  # head start tag after the body
        b"</head>" + LINK + b"<head>" + LINK + b"</head>",  # head end tag before the head start tag
        b"<head>" + LINK + b"</head><head>" + LINK + b"</head>",  # several head tags
        b"<head>" + LINK + b"<body>" + LINK + b"</head>" + LINK,  # body before the head end tag
        b"<html><head>" + LINK + b"</html></head>",
        LINK + b"<html>" + LINK + b"</html><html>" + LINK,
    ],
)
def test_documents_where_stopping_early_could_go_wrong(doc):
    assert velmora.locate_all(doc) == [(s, e - s) for s, e, _, _ in reference.candidates(doc)]
    close = reference.insertion_point(velmora.remove(doc))
    if close is None:
        with pytest.raises(ValueError):
            velmora.embed(doc, b"")
    else:
        assert velmora.embed(doc, b"").index(b'<script type="application/c2pa">') == close


# Searches inside the scanner test several bytes at a time, so each construct
# is tried with its delimiter at every offset within and across those steps,
# and with the document ending at every point inside it.
CONSTRUCTS = [
    b"<!--%s-->", b"<!--%s->-->", b"<!--%s--!>-->", b"<!--%s- ->-->", b"<!--%s",
    b"<!%s>", b"<?%s>", b'<link title="%s" rel=c2pa-manifest>', b"<link title='%s'>",
    b"<script>%s</script>", b"<script>%s</scrip</script >", b"<style>%s<</style>",
    b"<title>%s</title", b"%s<link rel=c2pa-manifest>",
]


@pytest.mark.parametrize("construct", CONSTRUCTS)
def test_delimiters_at_every_offset_match_the_literal_model(construct):
    for filler in (b"-", b"x", b"->", b">"):
        for count in range(40):
            piece = construct.replace(b"%s", filler * count)
            doc = b"<head>" + piece + LINK + b"</head>"
            for end in [len(doc)] + list(range(6, 6 + len(piece) + 2)):
                cut = doc[:end]
                expected = [(s, e - s) for s, e, _, _ in reference.candidates(cut)]
                assert velmora.locate_all(cut) == expected, cut


@pytest.mark.parametrize("count", [15, 16, 17, 31, 63, 64, 65, 200])
def test_heads_with_many_links_and_scripts_match_the_literal_model(count):
    # Short tag lists are kept in place and long ones spill to the heap.
    pieces = [
        b"<link rel=stylesheet href=a%d.css>",
        b'<script type="application/c2pa">Zm9v</script>',
        b"<link rel=c2pa-manifest href=m%d rel=x href=y>",
        b"<script src=s%d.js type=text/javascript></script>",
    ]
    head = b"".join(pieces[i % 4].replace(b"%d", b"%d" % i) for i in range(count))
    doc = b"<html><head>" + head + b"</head><body></body></html>"
    expected = [(s, e - s) for s, e, _, _ in reference.candidates(doc)]
    assert velmora.locate_all(doc) == expected and len(expected) == (count + 2) // 4 + (count + 1) // 4
