"""`velmora check` and the browser-view warnings of embed and reference: the causes
and offsets named for hand-read pages, and the command's statuses as a real process."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
from unittest import mock

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import velmora

pytest.importorskip("selectolax", reason="the check extra is not installed")
from velmora_cli import browsers  # noqa: E402

LINK = b"<link rel=c2pa-manifest href=a>"
IFRAME = b"<html><head><title>t</title><iframe src=x></iframe></head><body>x</body></html>"
PLAIN = b"<!DOCTYPE html><html><head><title>t</title></head><body>x</body></html>"


def found(page: bytes) -> set:
    assert {d.cause for d in browsers.check(page).differences} <= set(browsers.CAUSES)
    return {
        (d.subject, d.cause, d.offset, tuple(d.scripting)) for d in browsers.check(page).differences
    }


BOTH = ("off", "on")


@pytest.mark.parametrize(
    "page, expected",
    [
        (PLAIN, set()),
        (b"\xef\xbb\xbf" + PLAIN, set()),  # browsers' decoders drop the byte order mark
        (b"<head>" + LINK + b"<script type=application/c2pa>Zg==</script></head>", set()),
        (IFRAME, {("insertion", "iframe", 28, BOTH)}),
        (
            b"<head><noscript><img src=a></noscript>" + LINK + b"</head>",
            {("insertion", "noscript", 16, ("off",)), ("element", "noscript", 16, ("off",))},
        ),
        (
            b"<head><noscript>" + LINK + b"</noscript></head>",
            {("element", "raw-text", 16, ("on",))},
        ),
        (b"<p>x</p><head></head>", {("insertion", "before-head", 0, BOTH)}),
        # a template with no mark, a noscript closed before the iframe, a comment never closed
        (b"<html><head><template =x></head><body>x", {("insertion", "template", 25, BOTH)}),
        (
            b"<head><noscript><link rel=stylesheet></noscript><iframe src=x></iframe></head>",
            {("insertion", "iframe", 48, BOTH)},
        ),
        (  # an end tag in a comment closes nothing
            b"<head><noscript><!--</noscript>--><div>" + LINK + b"</head>",
            {
                ("insertion", "noscript", 34, ("off",)), ("element", "noscript", 34, ("off",)),
                ("insertion", "text", 31, ("on",)), ("element", "text", 31, ("on",)),
            },
        ),
        (b"<head><!-->" + LINK + b"</head>", {("unseen", "comment", 11, BOTH)}),
        (b"<head>\n  hello</head>", {("insertion", "text", 9, BOTH)}),
        # the search for the text passes prefixes cut in a tag and in a reference to a space
        (b"<head>" + b"<meta name=aaaa>" * 4 + b"x</head>", {("insertion", "text", 70, BOTH)}),
        (b"<head><meta>&#32;<meta>&#32;< y</head>", {("insertion", "text", 28, BOTH)}),
        # start tags that cannot carry a mark, and an end tag that makes an element
        (b"<head><div=></head>", {("insertion", "element", 6, BOTH)}),
        (b"<head><iframe =x></iframe></head>", {("insertion", "iframe", 6, BOTH)}),
        (b"<head></br></head>", {("insertion", "end-tag", 10, BOTH)}),
        (b'<head><p =x title="<p" t="</p>"></head>', {("insertion", "element", 6, BOTH)}),
        (b"<head>&#32x</head>", {("insertion", "text", 10, BOTH)}),  # the space stays
        (b"<head><!--<x-->" + LINK + b"</head>", set()),  # marks keep the comment's end
        (
            b"<head><!-->" + LINK + b"--></head>",
            {("unseen", "comment", 11, BOTH), ("insertion", "text", 42, BOTH)},
        ),
        (b"<head><template>" + LINK + b"</template></head>", {("element", "template", 16, BOTH)}),
        (
            b"<head><script>a='<!--<script>'</script>" + LINK + b"</script></head>",
            {("element", "double-escape", 39, BOTH)},
        ),
        (
            b"<head><xmp>" + LINK + b"</xmp></head>",
            {("element", "raw-text", 11, BOTH), ("insertion", "element", 6, BOTH)},
        ),
    ],
)
def test_differences_are_named_with_cause_and_offset(page, expected):
    assert found(page) == expected


def test_the_report_names_the_closing_tag_and_the_insertion_point():
    report = browsers.check(IFRAME)
    assert report.insertion == IFRAME.index(b"</head>") and report.elements == []
    (difference,) = report.differences
    assert difference.message == (
        "an iframe start tag at byte 28 closes the head for browsers; a manifest element "
        "inserted before </head> at byte 51 would be in the body"
    )


def test_offsets_of_existing_elements_are_in_the_page_before_removal():
    page = b"<head>" + LINK + b"<iframe></iframe></head>"
    report = browsers.check(page)
    assert report.elements == [{"kind": "link", "start": 6}]
    assert report.insertion == page.index(b"</head>")


PIECES = [
    *(f"<{name}>".encode() for name in ("html", "head", "body", "title", "script", "noscript")),
    *(f"</{name}>".encode() for name in ("head", "title", "script", "noscript", "template")),
    *(b"<template>", b"<iframe>", b"<xmp>", b"<img src=a>", b"<p>", b"<table>", b"<svg>"),
    *(b"<!--", b"-->", b"<!-->", b"--!>", b"<!DOCTYPE html>", b"\xef\xbb\xbf", b"&lt;"),
    *(b"<a title='", b"<a href=x", b"'", b'"', b"=", b">", b"/", b"<", b"</", b"<b "),
    *(b" ", b"\n", b"x", LINK, b"<script type=application/c2pa>Zg==</script>"),
    *(b"--", b"<![CDATA[", b"]]>", b'<!DOCTYPE html PUBLIC "', b"<font ", b" color"),
]


def shape(document) -> list:
    """The tree without attributes or text: each node's depth and name, and for
    text whether it is white space, which decides where the head ends."""
    nodes = []
    for node in browsers.walk(document.root):
        depth, parent = 0, node.parent
        while parent is not None:
            depth, parent = depth + 1, parent.parent
        text = (node.text_content or "").strip(browsers.SPACE) if node.is_text_node else None
        nodes.append((depth, node.tag, None if text is None else bool(text)))
    return nodes


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=30).map(b"".join), st.booleans())
@example(b"<noscript><b</noscript><title>", True)
@example(b"<x</head>", False)
@example(b"<head><script>a<b}</script><link rel=x></head>", False)
@example(b"<!--<x--><title>", False)  # a mark there would split the comment's end
@example(b"<!--<x--!><title>", False)
@example(b"<script><a<!--><script></script>x</script>", False)
@example(b"<script><!--<script</script><title>", False)
@example(b"<script</x><title>a</title>", False)
@example(b"<svg><![CDATA[<a]]>x</svg>y", False)
@example(b'<!DOCTYPE html PUBLIC "<a"><p><table>', False)  # quirks or not
@example(b"<svg><font <b= color>", False)
@example(b"<svg><g title=<br/>x", False)
@example(b"<svg><b</>x", False)
@example(b"<b ='<html>", False)
def test_marking_start_tags_leaves_the_browsers_tree_as_it_was(page, scripting):
    parser = browsers.load_parser()
    plain = parser(browsers.as_browsers_read(page), scripting=scripting)
    document = browsers.Tree(parser, page, scripting).document
    assert shape(document) == shape(plain)
    for node in browsers.walk(document.root):  # each mark names its own element's start tag
        offset = browsers.offset_of(node)
        assert offset is None or page[offset:].lower().startswith(f"<{node.tag}".encode().lower())


def body_gains_a_node(parser, page: bytes, end: int) -> bool:
    return browsers.body_has_node(parser, page[: browsers.settled_length(page, end)], False)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.sampled_from(PIECES + [b"&", b"&#3", b"2;", b"&amp", b"<meta>", b"\0"])))
@example([b"</", b"<html>"])  # a comment
@example([b"</", b"&", b"<html>"])
@example([b"\0", b"<!DOCTYPE html>"])  # a body without a node, and a doctype it ignores
def test_prefixes_read_without_a_cut_token_give_the_body_a_node_once_and_for_good(pieces):
    page, parser = b"<head>" + b"".join(pieces[:24]), browsers.load_parser()
    gains = [body_gains_a_node(parser, page, end) for end in range(len(page) + 1)]
    assert gains == sorted(gains)  # which the search for the text that closes the head needs


def run(folder: pathlib.Path, *args: str, blocked: bool = False) -> subprocess.CompletedProcess:
    env = None
    if blocked:  # a package that fails to import stands in for the missing parser
        (folder / "selectolax").mkdir(exist_ok=True)
        (folder / "selectolax" / "__init__.py").write_text("raise ImportError('not here')\n")
        env = {**os.environ, "PYTHONPATH": str(folder)}
    return subprocess.run(
        [sys.executable, "-m", "velmora_cli", *args],
        capture_output=True,
        cwd=folder,
        env=env,
        timeout=60,
    )


@pytest.fixture
def folder(tmp_path: pathlib.Path) -> pathlib.Path:
    (tmp_path / "plain.html").write_bytes(PLAIN)
    (tmp_path / "iframe.html").write_bytes(IFRAME)
    return tmp_path


def test_check_exits_0_when_the_views_agree_and_1_when_they_differ(folder):
    agree, differ = run(folder, "check", "plain.html"), run(
        folder, "check", "--json", "iframe.html"
    )
    assert (agree.returncode, agree.stderr) == (0, b"")
    assert agree.stdout.decode().endswith("no differences\n")
    assert (differ.returncode, differ.stderr) == (1, b"")
    data = json.loads(differ.stdout)
    assert data["velmora"] == {"elements": [], "insertion": 51, "embed_error": None}
    assert data["browsers"]["scripting_off"]["insertion_in_head"] is False
    assert [d["offset"] for d in data["differences"]] == [28]


def test_embed_and_reference_warn_and_strict_refuses(folder):
    warned = run(folder, "reference", "iframe.html", "h")
    assert warned.returncode == 0 and warned.stdout == velmora.embed_reference(IFRAME, "h")
    assert warned.stderr.startswith(b"velmora: warning: an iframe start tag at byte 28")
    strict = run(folder, "embed", "--strict", "iframe.html", "plain.html", "-o", "out.html")
    assert (strict.returncode, strict.stdout) == (2, b"")
    assert not (folder / "out.html").exists()
    assert run(folder, "embed", "--strict", "plain.html", "plain.html").returncode == 0


PARSER_OUT_OF_MEMORY = """
import sys
from velmora_cli import browsers, cli
def out_of_memory(page):
    raise MemoryError
browsers.check = out_of_memory
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("strict", [[], ["--strict"]])
def test_a_check_that_cannot_run_leaves_embed_to_go_on_unless_strict(folder, strict):
    words = ["embed", *strict, "iframe.html", "plain.html", "-o", "out.html"]
    done = subprocess.run(
        [sys.executable, "-c", PARSER_OUT_OF_MEMORY, *words], cwd=folder, capture_output=True,
        timeout=60,
    )
    reason = "the head could not be compared with browsers' view (MemoryError)"
    if strict:
        expected = (2, f"velmora: {reason}; nothing written (--strict)\n")
    else:
        expected = (0, f"velmora: warning: {reason}\n")
    assert (done.returncode, done.stderr.decode()) == expected
    written = (folder / "out.html").read_bytes() if (folder / "out.html").exists() else None
    assert written == (None if strict else velmora.embed(IFRAME, PLAIN))


def test_without_the_parser_check_says_how_to_install_it(folder):
    done = run(folder, "check", "plain.html", blocked=True)
    assert (done.returncode, done.stdout) == (2, b"")
    assert done.stderr.decode() == f"velmora: check {browsers.INSTALL_HINT}\n"
    quiet = run(folder, "embed", "iframe.html", "plain.html", "-o", "out.html", blocked=True)
    assert (quiet.returncode, quiet.stderr) == (0, b"")
    strict = run(
        folder, "embed", "--strict", "iframe.html", "plain.html", "-o", "strict.html", blocked=True
    )
    hint = f"velmora: --strict {browsers.INSTALL_HINT}; nothing written\n"
    assert (strict.returncode, strict.stderr.decode()) == (2, hint)
    assert not (folder / "strict.html").exists()


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.sampled_from(PIECES + [b"<table>", b"<i>", b"</table>", b"<td>"]), max_size=40),
    st.integers(1, 64),
)
@example([b"<table>", b"<script type=application/c2pa>Zg==</script>", b"<body>", b"<i>"], 1)
@example([b"<b>", b"</head>", b"<frameset>"], 1)  # a frameset takes the body away
@example([b"</head>", LINK, b"<p>", LINK], 1)  # the first link joins the head, the second not
@example([browsers.BOM, b"-->", b"<html>", b"</head>"], 1)  # part of a byte order mark is text
@example([b"<div>", LINK, b"</head>", b" " * 40, b"<frameset>"], 1)  # a cut in its tag
def test_marking_and_parsing_less_gives_the_report_of_the_whole_page(pieces, step):
    # Marks on every tag of a long body made the parse quadratic, and so can a body's markup:
    # fewer marks, and a parse that stops once the body has a node, must change nothing.
    page = b"".join(pieces)
    reports = [browsers.check(page)]
    every = browsers.marked
    with mock.patch.object(browsers, "marked", lambda page, until=None: every(page)):
        with mock.patch.object(browsers, "PREFIX_STEP", len(page) + 1):
            reports.append(browsers.check(page))
    with mock.patch.object(browsers, "PREFIX_STEP", step):
        reports.append(browsers.check(page))
    assert all(r.data() == reports[0].data() and r.text() == reports[0].text() for r in reports)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.sampled_from(PIECES + [b"<table>", b"<meta>", b"&#32", b"x", b"<td>"])))
@example([b"<table>", b"<meta>", LINK])  # the meta is moved in front of the table
@example([b"<table>", b"x", LINK])
def test_nothing_of_the_body_comes_before_what_is_named_to_close_the_head(pieces):
    page, parser = b"<head>" + b"".join(pieces[:30]) + b"</head>", browsers.load_parser()
    closers = ("iframe", "element", "noscript", "before-head", "text", "end-tag")
    for difference in browsers.check(page).differences:
        if difference.cause in closers and difference.offset is not None:
            scripting = difference.scripting[0] == "on"
            assert not browsers.body_has_node(parser, page[: difference.offset], scripting)
