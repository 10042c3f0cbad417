"""Properties that hold for every input, checked on generated documents: the
invariants the fuzz harnesses check below the Python boundary, here through
the module's own functions and against hashlib and base64 as oracles."""

import base64
import hashlib

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora

ALGS = ("sha256", "sha384", "sha512")
SCRIPT_OPEN = b'<script type="application/c2pa">'
SCRIPT_CLOSE = b"</script>"
MULTIPLE = "more than one C2PA manifest element found [manifest.html.multipleManifests]"
MALFORMED = "data hash exclusion range is malformed [assertion.dataHash.malformed]"
MISMATCH = "data hash does not match the document content [assertion.dataHash.mismatch]"

# Markup that steers generated documents to heads, manifest elements and
# everything that can hide or cut them short.
TOKENS = [
    b"<html>", b"<head>", b"</head>", b"<HEAD >", b"</head/>", b"<body>", b"</html>",
    b"<script>", b"</script>", b"</SCRIPT >", SCRIPT_OPEN, b"<script type=' APPLICATION/C2PA '>",
    b"<link rel=c2pa-manifest href=m>", b'<link rel="x C2PA-MANIFEST">', b"<link rel=c2pa-manifest",
    b"<!--", b"-->", b"<!-->", b"<!x>", b"<?x>", b"<title>", b"</title>", b"<style>",
    b"<textarea>", b"</textarea>", b'"', b"'", b"=", b" ", b"\n", b">", b"<", b"/",
    b"AAAA", b"AA==", b"\xc3\xa9", b"\xff",
]

documents = st.lists(
    st.one_of(st.sampled_from(TOKENS), st.binary(max_size=6)), max_size=30
).map(b"".join)
heads_without_elements = st.tuples(documents, documents).map(
    lambda parts: b"<html><head>" + parts[0] + b"</head><body>" + parts[1]
)

fast = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def cut(html: bytes, ranges: list) -> bytes:
    """The document without the (start, length) ranges."""
    kept, position = [], 0
    for start, length in ranges:
        kept.append(html[position:start])
        position = start + length
    kept.append(html[position:])
    return b"".join(kept)


def assert_in_order_inside(html: bytes, ranges: list) -> None:
    position = 0
    for start, length in ranges:
        assert position <= start and length > 0 and start + length <= len(html)
        assert html[start : start + 1] == b"<"
        position = start + length


@fast
@given(documents)
def test_ranges_lie_inside_the_document_in_order_without_overlap(html):
    assert_in_order_inside(html, velmora.locate_all(html))


@fast
@given(documents)
def test_remove_cuts_out_exactly_the_located_ranges(html):
    assert velmora.remove(html) == cut(html, velmora.locate_all(html))


@fast
@given(documents)
def test_extract_reads_the_single_located_element(html):
    ranges = velmora.locate_all(html)
    try:
        found = velmora.extract(html)
    except ValueError as error:
        expected = MULTIPLE if len(ranges) > 1 else "the C2PA manifest element is malformed: "
        assert ranges and str(error).startswith(expected)
        return
    if found is None:
        assert ranges == []
        return
    assert ranges == [(found["start"], found["length"])]
    element = html[found["start"] : found["start"] + found["length"]]
    if found["kind"] == "embedded":
        assert base64.b64encode(found["store"]) in element
    else:
        assert found["href"]


def embedding(embed, html, payload):
    """The output, or None when the document has no head to embed into."""
    try:
        return embed(html, payload)
    except ValueError as error:
        assert str(error) == "the document has no head element to embed into"
        return None


def inserted_at(html, out):
    """Where embedding put its element, which is then the only one in the head.
    `out` is None when the generated markup left no head to embed into."""
    if out is None:
        return None
    ((at, length),) = velmora.locate_all(out)
    assert out == html[:at] + out[at : at + length] + html[at:]
    assert html[at : at + 6].lower() == b"</head"
    return at


@fast
@given(heads_without_elements, st.binary(max_size=300), st.sampled_from(ALGS))
def test_embed_extract_remove_and_hash_round_trip(html, store, alg):
    if velmora.locate_all(html):
        return
    out = embedding(velmora.embed, html, store)
    at = inserted_at(html, out)
    if at is None:
        return
    element = SCRIPT_OPEN + base64.b64encode(store) + SCRIPT_CLOSE
    assert out[at : at + len(element)] == element
    assert velmora.extract(out) == {
        "start": at, "length": len(element), "kind": "embedded", "store": store
    }
    assert velmora.remove(out) == html
    binding = velmora.compute_data_hash(out, alg)
    assert binding["hash"] == velmora.inline_hash_before_embed(html, alg)
    assert binding["hash"] == hashlib.new(alg, html).digest()
    assert binding["exclusions"] == [(at, len(element))]
    assert velmora.verify_data_hash(out, binding["hash"], binding["exclusions"], alg) is None


@fast
@given(heads_without_elements, st.text(min_size=1, max_size=40))
def test_references_round_trip_through_their_escapes(html, href):
    if velmora.locate_all(html):
        return
    out = embedding(velmora.embed_reference, html, href)
    at = inserted_at(html, out)
    if at is None:
        return
    found = velmora.extract(out)
    assert found["start"] == at
    unescaped = found["href"].replace("&quot;", '"').replace("&lt;", "<").replace("&amp;", "&")
    assert unescaped == href
    assert velmora.remove(out) == html
    assert velmora.compute_data_hash(out) == {
        "alg": "sha256", "hash": hashlib.sha256(out).digest(), "exclusions": []
    }


@fast
@given(st.binary(min_size=1, max_size=40).filter(lambda raw: b'"' not in raw))
def test_href_bytes_read_as_utf8_with_replacement(raw):
    html = b'<head><link rel="c2pa-manifest" href="' + raw + b'"></head>'
    assert velmora.extract(html)["href"] == raw.decode("utf-8", "replace")


@fast
@given(st.binary(max_size=600), st.sampled_from(ALGS))
def test_digests_match_hashlib(data, alg):
    assert velmora.inline_hash_before_embed(data, alg) == hashlib.new(alg, data).digest()


@fast
@given(st.binary(max_size=600))
def test_inline_text_is_the_standard_base64_of_the_store(store):
    out = velmora.embed(b"<head></head>", store)
    ((start, length),) = velmora.locate_all(out)
    assert out[start:start + length] == SCRIPT_OPEN + base64.b64encode(store) + SCRIPT_CLOSE
    assert velmora.extract(out)["store"] == store


# Ranges drawn near the document's own numbers, so that valid, touching,
# overlapping and overflowing ones all come up.
def numbers(size):
    return st.one_of(st.integers(0, size + 2), st.sampled_from([2**63, 2**64 - 1]))


@st.composite
def documents_with_exclusions(draw):
    """A document whose element surely lies in the head, and ranges that
    include the element's own one somewhere among others."""
    head = draw(st.binary(max_size=40)).replace(b"<", b"")
    html = velmora.embed(b"<html><head>" + head + b"</head><body>" + draw(documents),
                         draw(st.binary(max_size=40)))
    extra = draw(st.lists(st.tuples(numbers(len(html)), numbers(len(html))), max_size=4))
    exclusions = draw(st.permutations(velmora.locate_all(html) + extra))
    return html, exclusions, draw(st.sampled_from(ALGS))


def reference_gather(html, exclusions):
    """The bytes outside ascending, non-overlapping ranges inside the document."""
    cut_out, end = set(), 0
    for start, length in exclusions:
        if start < end or start + length > len(html):
            return None
        end = start + length
        cut_out.update(range(start, end))
    return bytes(byte for i, byte in enumerate(html) if i not in cut_out)


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(documents_with_exclusions(), st.booleans())
def test_verify_agrees_with_a_reference_gather(case, spoil):
    html, exclusions, alg = case
    kept = reference_gather(html, exclusions)
    digest = hashlib.new(alg, kept or b"").digest() + (b"!" if spoil else b"")
    try:
        outcome = velmora.verify_data_hash(html, digest, exclusions, alg)
    except ValueError as error:
        outcome = str(error)
    if kept is None:
        assert outcome == MALFORMED
    elif spoil:
        assert outcome == MISMATCH
    else:
        assert outcome is None
