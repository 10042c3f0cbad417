"""A deliberately literal, slow model of the tag scanner, the head region and
manifest recognition, used as an oracle for the fast native code: it scans
every document to its end, keeps every tag and attribute, and applies
first-wins by searching the attributes read so far."""

from dataclasses import dataclass, field
from typing import List, Optional, Tuple

SPACE = b"\t\n\x0c\r "
RAW_TEXT = {b"script", b"style", b"title", b"textarea"}


def is_space(c: int) -> bool:
    return c in SPACE


def is_letter(c: int) -> bool:
    return 0x41 <= c <= 0x5A or 0x61 <= c <= 0x7A


def is_name_char(c: int) -> bool:
    return is_letter(c) or 0x30 <= c <= 0x39 or c in b"-.:_"


@dataclass
class Tag:
    name: bytes
    start: int
    end: int
    is_end: bool
    attributes: List[Tuple[bytes, bytes]] = field(default_factory=list)

    def attr(self, name: bytes) -> Optional[str]:
        for key, value in self.attributes:
            if key == name:
                return value.decode("utf-8", "replace")
        return None


def read_attributes(doc: bytes, j: int, attributes: list) -> int:
    n = len(doc)

    def add(name: bytes, value: bytes) -> None:
        name = name.lower()
        if all(existing != name for existing, _ in attributes):
            attributes.append((name, value))

    while True:
        if j >= n:
            return n
        c = doc[j]
        if is_space(c) or c == 0x2F:
            j += 1
            continue
        if c == 0x3E:
            return j + 1
        start = j
        while j < n and not (is_space(doc[j]) or doc[j] in b"/=>"):
            j += 1
        if j == start:
            j += 1
            continue
        name = doc[start:j]
        k = j
        while k < n and is_space(doc[k]):
            k += 1
        if k >= n or doc[k] != 0x3D:
            add(name, b"")
            continue
        k += 1
        while k < n and is_space(doc[k]):
            k += 1
        if k >= n:
            add(name, b"")
            return n
        if doc[k] in b"\"'":
            close = doc.find(doc[k : k + 1], k + 1)
            if close < 0:
                add(name, doc[k + 1 :])
                return n
            add(name, doc[k + 1 : close])
            j = close + 1
            continue
        v = k
        while v < n and not is_space(doc[v]) and doc[v] != 0x3E:
            v += 1
        add(name, doc[k:v])
        j = v


def raw_text_end(doc: bytes, m: int, name: bytes) -> int:
    n, size = len(doc), len(name)
    g = m
    while g + size + 2 <= n:
        after = g + size + 2
        if (
            doc[g : g + 2] == b"</"
            and doc[g + 2 : after].lower() == name
            and (after == n or is_space(doc[after]) or doc[after] in b"/>")
        ):
            return g
        g += 1
    return n


def tags(doc: bytes) -> List[Tag]:
    out: List[Tag] = []
    i, n = 0, len(doc)
    while i < n:
        if doc[i] != 0x3C:
            i += 1
            continue
        if doc.startswith(b"<!--", i):
            if n - (i + 4) < 3:
                break
            close = doc.find(b"-->", i + 4)
            if close < 0:
                break
            i = close + 3
            continue
        if n - i >= 2 and doc[i + 1] in b"!?":
            close = doc.find(b">", i + 1)
            if close < 0:
                break
            i = close + 1
            continue
        is_end = n - i >= 2 and doc[i + 1] == 0x2F
        name_start = i + (2 if is_end else 1)
        if name_start >= n or not is_letter(doc[name_start]):
            i += 1
            continue
        name_end = name_start
        while name_end < n and is_name_char(doc[name_end]):
            name_end += 1
        tag = Tag(doc[name_start:name_end].lower(), i, n, is_end)
        if name_end < n:
            tag.end = read_attributes(doc, name_end, tag.attributes)
        out.append(tag)
        i = raw_text_end(doc, tag.end, tag.name) if not is_end and tag.name in RAW_TEXT else tag.end
    return out


def head(doc: bytes, all_tags: List[Tag]):
    def first_start(name):
        return next((t for t in all_tags if not t.is_end and t.name == name), None)

    opener = first_start(b"head") or first_start(b"html")
    start = opener.end if opener else 0
    later = [t for t in all_tags if t.start >= start]
    ender = next(
        (t for t in later if (t.is_end and t.name in (b"head", b"html")) or (not t.is_end and t.name == b"body")),
        None,
    )
    close = next((t for t in later if t.is_end and t.name == b"head"), None)
    return start, ender.start if ender else len(doc), close.start if close else None


def has_token(value: Optional[str], token: str) -> bool:
    if value is None:
        return False
    pieces = value.replace("\t", " ").replace("\n", " ").replace("\x0c", " ").replace("\r", " ").split(" ")
    return any(len(p) == len(token) and p.lower() == token for p in pieces if p.isascii())


def candidates(doc: bytes):
    """(start, end, kind, payload): payload is the script text or the href."""
    all_tags = tags(doc)
    start, end, _ = head(doc, all_tags)
    found = []
    for i, t in enumerate(all_tags):
        if t.is_end or t.start < start or t.end > end:
            continue
        if t.name == b"link" and has_token(t.attr(b"rel"), "c2pa-manifest"):
            found.append((t.start, t.end, "link", t.attr(b"href")))
        elif t.name == b"script":
            kind = t.attr(b"type")
            kind = None if kind is None else kind.strip("\t\n\x0c\r ")
            if kind is None or not kind.isascii() or kind.lower() != "application/c2pa":
                continue
            nxt = all_tags[i + 1] if i + 1 < len(all_tags) else None
            if nxt is not None and nxt.is_end and nxt.name == b"script":
                found.append((t.start, nxt.end, "script", doc[t.end : nxt.start]))
            else:
                found.append((t.start, len(doc), "script", doc[t.end :]))
    return found


def insertion_point(doc: bytes) -> Optional[int]:
    """The head end tag, when it is the one that ends the head region."""
    _, end, close = head(doc, tags(doc))
    return close if close == end else None
