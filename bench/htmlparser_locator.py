"""The anchor for locate_all and extract: the locator someone would write with
the standard library's html.parser, reporting the same (start, length) spans.

The document is decoded as Latin-1 so that every character is one byte and the
parser's positions are byte offsets. Parsing stops as soon as the head region
ends, so the anchor pays for the head only, never for the body.
"""

from __future__ import annotations

import base64
import re
from dataclasses import dataclass
from html.parser import HTMLParser

SCRIPT_TYPE = "application/c2pa"
LINK_REL = "c2pa-manifest"
_HTML_SPACE = " \t\n\f\r"
_TOKEN_SEPARATORS = re.compile(f"[{_HTML_SPACE}]+")
_CHUNK = 64 * 1024


@dataclass
class Element:
    start: int
    end: int
    href: str | None = None  # links only
    content: tuple[int, int] | None = None  # scripts only: the text between the tags


class _HeadEnded(Exception):
    pass


def _first(attrs: list[tuple[str, str | None]], name: str) -> str | None:
    return next((value or "" for key, value in attrs if key == name), None)


class _Locator(HTMLParser):
    def __init__(self, html: bytes) -> None:
        super().__init__()
        self.html = html
        self.elements: list[Element] = []
        self._in_head = False
        self._open_script: Element | None = None
        self._line_starts = [0]

    def _offset(self) -> int:
        line, column = self.getpos()
        while len(self._line_starts) < line:
            self._line_starts.append(self.html.index(b"\n", self._line_starts[-1]) + 1)
        return self._line_starts[line - 1] + column

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "head" and not self._in_head:
            self._in_head = True
        elif not self._in_head:
            return
        elif tag == "body":
            raise _HeadEnded
        elif tag == "link" and self._is_manifest_link(attrs):
            start = self._offset()
            tag_text = self.get_starttag_text() or ""
            self.elements.append(Element(start, start + len(tag_text), href=_first(attrs, "href")))
        elif tag == "script" and self._is_manifest_script(attrs):
            start = self._offset()
            content_start = start + len(self.get_starttag_text() or "")
            # Without an end tag the element runs to the end of the document.
            end = len(self.html)
            self._open_script = Element(start, end, content=(content_start, end))
            self.elements.append(self._open_script)

    def handle_endtag(self, tag: str) -> None:
        if tag == "script" and self._open_script:
            end_tag_start = self._offset()
            self._open_script.end = self.html.index(b">", end_tag_start) + 1
            self._open_script.content = (self._open_script.content[0], end_tag_start)
            self._open_script = None
        elif self._in_head and tag in ("head", "html"):
            raise _HeadEnded

    @staticmethod
    def _is_manifest_link(attrs: list[tuple[str, str | None]]) -> bool:
        rel = _first(attrs, "rel") or ""
        return LINK_REL in _TOKEN_SEPARATORS.split(rel.lower())

    @staticmethod
    def _is_manifest_script(attrs: list[tuple[str, str | None]]) -> bool:
        kind = _first(attrs, "type")
        return kind is not None and kind.strip(_HTML_SPACE).lower() == SCRIPT_TYPE


def elements(html: bytes) -> list[Element]:
    """The manifest elements of the head, fed to the parser chunk by chunk."""
    locator = _Locator(html)
    try:
        for at in range(0, len(html), _CHUNK):
            locator.feed(html[at : at + _CHUNK].decode("latin-1"))
        locator.close()
    except _HeadEnded:
        pass
    return locator.elements


def locate_all(html: bytes) -> list[tuple[int, int]]:
    return [(e.start, e.end - e.start) for e in elements(html)]


def extract(html: bytes) -> dict | None:
    """The same dictionary as velmora.extract for a document with one element."""
    found = elements(html)
    if not found:
        return None
    if len(found) > 1:
        raise ValueError("more than one C2PA manifest element found")
    (element,) = found
    result: dict = {"start": element.start, "length": element.end - element.start}
    if element.content is None:
        return result | {"kind": "referenced", "href": element.href}
    text = html[element.content[0] : element.content[1]].strip(_HTML_SPACE.encode())
    return result | {"kind": "embedded", "store": base64.b64decode(text, validate=True)}
