"""Reading and writing the manifest association: extract, embed,
embed_reference, remove, and the Base64 codec underneath them."""

import base64
import os
import random

import pytest

import velmora

HEAD_END = b"</head>"
DOC = b"<!DOCTYPE html><html><head><title>t</title></head><body><p>x</p></body></html>"
NO_HEAD = "the document has no head element to embed into"
BAD_BASE64 = "the C2PA manifest element is malformed: script content is not valid Base64"
NO_HREF = "the C2PA manifest element is malformed: link has no href to resolve"
MULTIPLE = "more than one C2PA manifest element found [manifest.html.multipleManifests]"


def script(text):
    return b'<script type="application/c2pa">' + text + b"</script>"


def with_head(element):
    return b"<html><head>" + element + b"</head><body></body></html>"


def message(excinfo):
    assert type(excinfo.value) is ValueError
    (text,) = excinfo.value.args
    return text


# --- Base64, through embed and extract ---------------------------------------


@pytest.mark.parametrize("n", range(0, 300))
def test_encoding_matches_the_standard_library_for_every_length(n):
    store = os.urandom(n)
    out = velmora.embed(DOC, store)
    start = DOC.index(HEAD_END)
    text = base64.b64encode(store)
    assert out == DOC[:start] + script(text) + DOC[start:]
    assert velmora.extract(out) == {
        "start": start,
        "length": 41 + len(text),
        "kind": "embedded",
        "store": store,
    }


@pytest.mark.parametrize("n", [1 << 10, (1 << 16) + 1, (1 << 20) + 2, 4 << 20])
def test_large_stores_round_trip(n):
    store = random.Random(n).randbytes(n)
    out = velmora.embed(DOC, store)
    assert base64.b64encode(store) in out
    assert velmora.extract(out)["store"] == store


@pytest.mark.parametrize("n", range(0, 130))
def test_decoding_matches_the_standard_library(n):
    text = base64.b64encode(os.urandom(n))
    assert velmora.extract(with_head(script(text)))["store"] == base64.b64decode(text)


@pytest.mark.parametrize(
    "text",
    [
        b"Zh==",
        b"Zm9=",
        b"Zg",
        b"Zm8",
        b"Z",
        b"Zg==Zg==",
        b"Z===",
        b"====",
        b"=Zm9",
        b"Z=m9",
        b"Zm=9",
        b"Zm9vYmFy=",
        b"Zm9v\nYmFy",
        b"Zm9v YmFy",
        b"Zm9v\tYmFy",
        b"Zm9v\rYmFy",
        b"Zm9vYmF-",
        b"Zm9vYmF_",
        b"Zm9vYm\xc3\xa9",
        b"Zm9vYmF\x00",
        b"Zm9v\x0bYmFy",
    ],
)
def test_strict_decoder_rejects_non_canonical_text(text):
    with pytest.raises(ValueError) as caught:
        velmora.extract(with_head(script(text)))
    assert message(caught) == BAD_BASE64


def test_strict_decoder_agrees_with_validating_standard_decoder_on_one_byte_changes():
    valid = base64.b64encode(bytes(range(40)))
    rng = random.Random(7)
    for _ in range(400):
        i = rng.randrange(len(valid))
        text = valid[:i] + bytes([rng.randrange(256)]) + valid[i + 1 :]
        try:
            expected = base64.b64decode(text, validate=True)
            canonical = base64.b64encode(expected) == text
        except ValueError:
            canonical = False
        html = with_head(script(text))
        if canonical:
            assert velmora.extract(html)["store"] == expected
        else:
            with pytest.raises(ValueError):
                velmora.extract(html)


@pytest.mark.parametrize(
    "text, store",
    [
        (b"Zg==", b"f"),
        (b"Zm8=", b"fo"),
        (b"Zm9v", b"foo"),
        (b"\n    Zm9vYmFy\n  ", b"foobar"),
        (b"\t\x0c\r Zm9v \n", b"foo"),
        (b"", b""),
        (b" \n\t ", b""),
    ],
)
def test_script_text_is_trimmed_of_html_space_before_decoding(text, store):
    assert velmora.extract(with_head(script(text)))["store"] == store


# --- extract ------------------------------------------------------------------


def test_document_without_manifest_gives_none():
    assert velmora.extract(DOC) is None
    assert velmora.extract(b"") is None


def test_referenced_dict_shape_and_key_order():
    link = b'<link rel="c2pa-manifest" href="https://a.example/m.c2pa">'
    html = with_head(link)
    result = velmora.extract(html)
    assert list(result) == ["start", "length", "kind", "href"]
    assert result == {
        "start": html.index(link),
        "length": len(link),
        "kind": "referenced",
        "href": "https://a.example/m.c2pa",
    }


def test_embedded_dict_key_order():
    assert list(velmora.extract(with_head(script(b"Zg==")))) == ["start", "length", "kind", "store"]


@pytest.mark.parametrize(
    "elements",
    [
        [script(b"Zg=="), script(b"Zm8=")],
        [script(b"!!"), script(b"??")],  # both malformed: the count decides first
        [b"<link rel=c2pa-manifest>", b"<link rel=c2pa-manifest>"],
        [script(b"Zg=="), b"<link rel=c2pa-manifest href=x>", script(b"")],
    ],
)
def test_several_elements_are_rejected(elements):
    with pytest.raises(ValueError) as caught:
        velmora.extract(with_head(b"\n".join(elements)))
    assert message(caught) == MULTIPLE


@pytest.mark.parametrize(
    "link", [b"<link rel=c2pa-manifest>", b"<link rel=c2pa-manifest href>", b"<link rel=c2pa-manifest href=''>"]
)
def test_link_without_href_is_malformed(link):
    with pytest.raises(ValueError) as caught:
        velmora.extract(with_head(link))
    assert message(caught) == NO_HREF


@pytest.mark.parametrize(
    "written, href",
    [
        (b"'  '", "  "),
        (b"'a&amp;b'", "a&amp;b"),
        (b'"x\xff\xfey"', "x\ufffd\ufffdy"),
        (b'"\xe2\x82"', "\ufffd"),
        (b'"\xf0\x9f\x98\x80"', "\U0001F600"),
        (b'"\xed\xa0\x80"', "\ufffd\ufffd\ufffd"),
        (b"caf\xc3\xa9", "caf\u00e9"),
    ],
)
def test_href_comes_back_as_written(written, href):
    html = with_head(b"<link rel=c2pa-manifest href=" + written + b">")
    assert velmora.extract(html)["href"] == href


def test_unterminated_script_takes_the_rest_of_the_document():
    html = b"<head>" + b'<script type="application/c2pa">Zm9v'
    assert velmora.extract(html) == {"start": 6, "length": len(html) - 6, "kind": "embedded", "store": b"foo"}
    with pytest.raises(ValueError) as caught:
        velmora.extract(html + b"</head>")
    assert message(caught) == BAD_BASE64


# --- remove -------------------------------------------------------------------


def test_remove_without_elements_returns_equal_bytes():
    assert velmora.remove(DOC) == DOC
    assert velmora.remove(b"") == b""


def test_remove_takes_out_only_the_elements():
    head = (
        b"\n  <link rel=c2pa-manifest href=a>\n  "
        + script(b"Zg==")
        + b"\n  <script>x</script><link rel=stylesheet href=s.css>\n"
    )
    html = b"<html><head>" + head + b"</head><body>" + script(b"Zg==") + b"</body></html>"
    expected = (
        b"<html><head>\n  \n  \n  <script>x</script><link rel=stylesheet href=s.css>\n"
        b"</head><body>" + script(b"Zg==") + b"</body></html>"
    )
    assert velmora.remove(html) == expected


def test_remove_of_unterminated_script_cuts_to_the_end():
    html = b"<head><title>t</title>" + b'<script type="application/c2pa">Zm9v</head><body>'
    assert velmora.remove(html) == b"<head><title>t</title>"


# --- embed and embed_reference -----------------------------------------------


def test_embed_inserts_before_the_head_end_tag_and_nothing_else(fixture_page):
    page = fixture_page
    if velmora.locate_all(page):
        pytest.skip("fixture already carries a manifest")
    out = velmora.embed(page, b"store")
    found = velmora.extract(out)
    assert found["store"] == b"store"
    start, length = found["start"], found["length"]
    assert out[:start] + out[start + length :] == page
    assert velmora.remove(out) == page
    assert velmora.locate_all(out) == [(start, length)]


@pytest.mark.parametrize(
    "existing",
    [
        [script(b"Zg==")],
        [b"<link rel=c2pa-manifest href=x>"],
        [script(b"Zg=="), b"<link rel=c2pa-manifest href=x>", script(b"bad")],
    ],
)
def test_embed_replaces_every_existing_element(existing):
    html = with_head(b"<title>t</title>" + b"".join(existing))
    out = velmora.embed(html, b"new")
    assert velmora.extract(out)["store"] == b"new"
    assert len(velmora.locate_all(out)) == 1
    ref = velmora.embed_reference(html, "r")
    assert velmora.extract(ref)["href"] == "r"
    assert len(velmora.locate_all(ref)) == 1


def test_new_element_takes_the_place_of_one_right_before_the_head_end_tag():
    html = b"<head><title>t</title>" + script(b"Zg==") + b"</head>"
    out = velmora.embed(html, b"foo")
    assert out == b"<head><title>t</title>" + script(b"Zm9v") + b"</head>"


def test_embed_with_empty_store_writes_the_empty_element():
    out = velmora.embed(DOC, b"")
    assert script(b"") in out and len(out) == len(DOC) + 41
    assert velmora.extract(out)["store"] == b""


@pytest.mark.parametrize(
    "href, written",
    [
        ("https://a.example/m.c2pa", "https://a.example/m.c2pa"),
        ('a"b&c<d>e\'f', "a&quot;b&amp;c&lt;d>e'f"),
        ("caf\u00e9 \U0001F600\n", "caf\u00e9 \U0001F600\n"),
        ("&amp;", "&amp;amp;"),
    ],
)
def test_embed_reference_layout_and_escaping(href, written):
    out = velmora.embed_reference(DOC, href)
    start = DOC.index(HEAD_END)
    element = b'<link rel="c2pa-manifest" href="' + written.encode() + b'" type="application/c2pa">'
    assert len(element) == 58 + len(written.encode())
    assert out == DOC[:start] + element + DOC[start:]
    assert velmora.extract(out) == {"start": start, "length": len(element), "kind": "referenced", "href": written}


def test_embed_reference_with_empty_href_is_written_but_unreadable():
    out = velmora.embed_reference(DOC, "")
    assert b'href=""' in out
    with pytest.raises(ValueError) as caught:
        velmora.extract(out)
    assert message(caught) == NO_HREF


@pytest.mark.parametrize(
    "html",
    [
        b"",
        b"<html><body>no head</body></html>",
        b"<html><head><title>t</title><body>relies on body</body></html>",
        b"<head><!-- </head> --><body>",
        b"<head><title></head></title><body>",
        b"<head><script>'</head>'</script><body>",
        b"<head><style></head></style><textarea></head></textarea>",
        # an unterminated manifest script swallows the head end tag
        b'<html><head><script type="application/c2pa">Zg==</head><body>',
        b'<script type="application/c2pa"></head>',
        # a head end tag after the head region ended would put the element in the body
        b"<head><title>t</title><body><p>x</p></head></body>",
        b"<head><body></head>",
        b"<html><head><link rel=c2pa-manifest href=a></html></head>",
    ],
)
def test_no_head_end_tag_ending_the_head_region_means_no_head(html):
    for call in (lambda: velmora.embed(html, b"s"), lambda: velmora.embed_reference(html, "h")):
        with pytest.raises(ValueError) as caught:
            call()
        assert message(caught) == NO_HEAD


def test_head_end_tag_without_head_start_tag_is_enough():
    html = b"<title>t</title></head><body>"
    out = velmora.embed(html, b"s")
    assert out == b"<title>t</title>" + script(b"cw==") + b"</head><body>"


def test_first_head_end_tag_is_the_insertion_point():
    html = b"<head><title>t</title></head><p></head>"
    assert velmora.embed(html, b"").index(script(b"")) == html.index(b"</head>")


def test_elements_joined_by_removal_make_embedding_fail():
    # One-pass removal joins "<" and "link ..." into a manifest element it leaves behind.
    html = b"<head><<script type=application/c2pa></script>link rel=c2pa-manifest href=a></head>"
    assert velmora.remove(html) == b"<head><link rel=c2pa-manifest href=a></head>"
    for call in (lambda: velmora.embed(html, b"s"), lambda: velmora.embed_reference(html, "h")):
        with pytest.raises(ValueError) as caught:
            call()
        assert message(caught) == MULTIPLE


def test_inputs_are_never_changed():
    html, store = bytes(DOC), b"\x00" * 10
    snapshot = (bytes(html), bytes(store))
    velmora.embed(html, store), velmora.remove(html), velmora.embed_reference(html, "x")
    assert (html, store) == snapshot
