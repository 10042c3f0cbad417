"""velmora's view of a page's head beside the view of browsers (`velmora check`).

velmora finds the head by a simple fixed rule. Browsers build a tree by HTML's
tree construction, which closes the head at the first thing that cannot stand
in one, and reads some markup (comments, raw text) a little differently. This
module parses the page as browsers do, with scripting off and on, and names
every place where the two views part, with its cause and byte offset.

Byte offsets for the browser's nodes come from marking the page: every start
tag gets an attribute named after the offset of its "<", inserted right after
the tag name. The same bytes are marked wherever browsers read them as text,
comment or attribute value instead, so the mark is made to be inert there too:
see `marked`. The marked page builds the tree of the page itself.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any, Iterator, List, Optional

import velmora

Element = dict[str, Any]  # one manifest element as a report lists it

# What a command that checks is told without the parser, after its own name.
INSTALL_HINT = (
    'needs an HTML parser that builds the tree browsers build: pip install "velmora[check]"'
)
MARK = "data-velmora-at-"  # followed by the offset, it names the mark's attribute
BOM = b"\xef\xbb\xbf"
IN_HEAD = "in the head"
IN_BODY = "in the body"
SPACE = "\t\n\x0c\r "
# A start tag's name as browsers read it: after "<" and a letter, up to white space, "/" or
# ">". A "/" between "<" and a letter is taken in too: in a tag it merely follows the name
# (that of the rare `<b</x>` is "b<"), but in raw text it starts an end tag, such as the
# `</script>` after `a<b}` in a script, whose name the mark must follow rather than split.
START_TAG_NAME = re.compile(rb"<[A-Za-z](?:[^\t\n\x0c\r />]|(?<=<)/(?=[A-Za-z]))*")
# Where a mark after a name would change what browsers read, the name goes unmarked (none is
# that of an element that matters): after an "=" (in a tag, the mark would become the value
# it starts, and that value an attribute of its own) or a quote (which may close a doctype's identifier, after
# which anything but white space makes the page quirky); between a comment's "--" or "--!"
# and its ">", those of a script's escaped text ("-->", "<!-->") and CDATA's "]]" and ">";
# and before white space and "=" (which begin an attribute's name after a tag name, but its
# value after an attribute's name, such as the mark's).
UNMARKABLE = re.compile(rb"(?<=[=\"'])|(?<=--|]])(?=>)|(?<=--!)(?=>)|(?=[\t\n\x0c\r ]+=)")
# The elements the check asks about wherever they stand: those that can be manifest elements
# or hide one (in a template), and those that place the head.
ALWAYS_MARKED_NAME = re.compile(
    rb"<(?:script|link|template|noscript|head)(?=[\t\n\x0c\r />]|\Z)", re.IGNORECASE
)
# Comment ends that browsers honour and velmora does not.
ABRUPT_COMMENT = re.compile(rb"<!---?>")
BANG_COMMENT_END = re.compile(rb"--!>")
TABLE_START = re.compile(rb"<table[\t\n\x0c\r />]", re.IGNORECASE)
FRAMESET_START = re.compile(rb"<frameset[\t\n\x0c\r />]", re.IGNORECASE)
# What opens markup that, cut short, browsers read as text or as a comment: a comment (bogus
# or not), a doctype or an end tag. And what may follow the "&" of a character reference cut
# short: a number, decimal or hexadecimal, or a name.
OPENER = re.compile(rb"<[!/]")
REFERENCE_SO_FAR = re.compile(rb"#(?:[Xx][0-9A-Fa-f]*|[0-9]*)|[0-9A-Za-z]*")


# Every cause a difference can name: what closes the head early ("iframe"; an
# element inside "noscript" with scripting off; any other "element"; content
# "before-head"; "text"; an "end-tag"), why an element is not one for browsers
# ("comment", "raw-text", "double-escape", "template", "lost"), and why velmora
# misses one browsers see ("comment", "unseen").
CAUSES = (
    "iframe",
    "noscript",
    "element",
    "before-head",
    "text",
    "end-tag",
    "comment",
    "raw-text",
    "double-escape",
    "template",
    "unseen",
    "lost",
)


class ParserMissing(Exception):
    """The optional parser is not installed."""


def load_parser() -> Any:
    """The parser class, imported only when a check runs."""
    try:
        from selectolax.lexbor import LexborHTMLParser
    except ImportError:
        raise ParserMissing(INSTALL_HINT) from None
    return LexborHTMLParser


@dataclass
class Difference:
    """One place where velmora and browsers disagree. `subject` is what differs:
    "insertion" (where embed's element goes), "element" (one velmora finds) or
    "unseen" (one only browsers find); `cause` is a short key for counting;
    `scripting` lists the modes ("off", "on") in which it occurs."""

    subject: str
    cause: str
    offset: int
    message: str
    scripting: List[str] = field(default_factory=list)

    def describe(self) -> str:
        only = f" (scripting {self.scripting[0]} only)" if len(self.scripting) == 1 else ""
        return self.message + only


@dataclass
class BrowserView:
    scripting: str
    elements: List[Element]
    insertion: Optional[str]  # where embed's element lands; None when embed fails
    differences: List[Difference]


@dataclass
class Report:
    elements: List[Element]
    insertion: Optional[int]  # the page offset embed inserts at
    embed_error: Optional[str]
    views: List[BrowserView]
    differences: List[Difference]

    def data(self) -> dict[str, Any]:
        return {
            "velmora": {
                "elements": self.elements,
                "insertion": self.insertion,
                "embed_error": self.embed_error,
            },
            "browsers": {
                f"scripting_{view.scripting}": {
                    "elements": view.elements,
                    "insertion": view.insertion,
                    "insertion_in_head": (
                        None if view.insertion is None else view.insertion == IN_HEAD
                    ),
                }
                for view in self.views
            },
            "differences": [vars(difference) for difference in self.differences],
        }

    def text(self) -> str:
        lines = ["velmora:", f"  manifest elements in the head: {listing(self.elements)}"]
        if self.insertion is None:
            lines.append(f"  embed fails: {self.embed_error}")
        else:
            lines.append(f"  embed inserts before </head> at byte {self.insertion:,}")
        for view in self.views:
            lines.append(f"browsers, scripting {view.scripting}:")
            lines.append(f"  manifest elements in the head: {listing(view.elements)}")
            if view.insertion is not None:
                lines.append(f"  an element embed inserts is {view.insertion}")
        if not self.differences:
            lines.append("no differences")
        lines += [f"difference: {difference.describe()}" for difference in self.differences]
        return "\n".join(lines)


def listing(elements: List[Element]) -> str:
    return "; ".join(f"{e['kind']} at byte {e['start']:,}" for e in elements) or "none"


# ---------------------------------------------------------------------------
# The browser's tree.


def as_browsers_read(page: bytes) -> bytes:
    """The bytes the tree is built from: the decoder drops a UTF-8 byte order mark."""
    return page[len(BOM) :] if page.startswith(BOM) else page


def marked(page: bytes, until: Optional[int] = None) -> bytes:
    """The page with a mark after each start tag's name (but those UNMARKABLE lists): "/"
    and the attribute name MARK and the offset. In a tag, "/" before a letter merely ends
    the name; in text, comments and attribute values the mark adds a few bytes holding no
    white space, quote, "=", "<", ">" or "--", so that nothing there ends, starts or splits
    where it did not.

    Given `until`, only the tags before it and those of ALWAYS_MARKED_NAME are marked. A
    mark on every tag of a long body makes the parse slow beyond measure: each formatting
    element is compared with those still open, which no two with marks of their own ever
    equal, and the parser keeps every distinct attribute name."""
    mark = MARK.encode()
    pieces, copied = [], 0
    for name in start_tag_names(page, until):
        if not UNMARKABLE.match(page, name.end()):
            pieces += [page[copied : name.end()], b"/%s%d" % (mark, name.start())]
            copied = name.end()
    pieces.append(page[copied:])
    return as_browsers_read(b"".join(pieces))


def start_tag_names(page: bytes, until: Optional[int]) -> Iterator[re.Match[bytes]]:
    """The names to mark: all, or those before `until` and then those of
    ALWAYS_MARKED_NAME. One of these inside a longer name (`<a<script`) ends where that name
    ends, so that its mark goes where the longer name's would."""
    resume = 0
    for name in START_TAG_NAME.finditer(page):
        if until is not None and name.start() >= until:
            break
        yield name
        resume = name.end()
    else:
        return
    yield from ALWAYS_MARKED_NAME.finditer(page, max(until, resume))


def walk(node: Any) -> Iterator[Any]:
    """The node and its descendants in document order, without recursion."""
    stack = [node]
    while stack:
        node = stack.pop()
        yield node
        children = []
        child = node.child
        while child is not None:
            children.append(child)
            child = child.next
        stack.extend(reversed(children))


def offset_of(node: Any) -> Optional[int]:
    """The offset of the node's start tag, from the mark that is its first attribute (a
    later one marks a tag-like piece inside its tag, such as the `<b` of `<a <b>`)."""
    first = next(iter(node.attributes), "") if node.is_element_node else ""
    offset = first[len(MARK) :] if first.startswith(MARK) else ""
    return int(offset) if offset.isascii() and offset.isdigit() else None


def at_byte(offset: Optional[int]) -> str:
    """" at byte N" for an offset known, nothing for an element the page has no mark for."""
    return f" at byte {offset:,}" if offset is not None else ""


def start_tag(node: Any, offset: int) -> str:
    name = node.tag
    article = "an" if name[:1] in "aeiou" else "a"
    return f"{article} {name} start tag at byte {offset:,}"


def unmarked_start_tag(page: bytes, node: Any, end: int) -> Optional[int]:
    """The offset of the start tag of `node`, an element without a mark whose tag ended
    at `end`, or None when an end tag made it (only `</p>` and `</br>` make one). A mark
    would have changed what browsers read there (`<div=>`, `<p =x>`). Of the places the
    name is written, the first after the tag before it: later ones are in its attributes."""
    before = page[: end + 1].lower()
    # The parser gives a NUL of the name as U+FFFD.
    name = rb"(?:\0|\xef\xbf\xbd)".join(re.escape(p.encode()) for p in node.tag.split("\ufffd"))
    tags = list(re.finditer(rb"<(/?)" + name + rb"(?=[\t\n\x0c\r />])", before))
    while len(tags) > 1 and page.rfind(b">", tags[-2].end(), tags[-1].start()) < 0:
        tags.pop()  # no ">" between them: the later one is inside the earlier one's tag
    if not tags or (tags[-1].group(1) and node.tag in ("p", "br")):
        return None
    return tags[-1].start()


def is_manifest_element(node: Any) -> Optional[str]:
    """The kind ("script" or "link") of an element velmora's rules recognise, else None."""
    attributes = node.attributes if node.is_element_node else {}
    if node.tag == "script":
        kind = (attributes.get("type") or "").strip(SPACE)
        return "script" if kind.lower() == "application/c2pa" else None
    if node.tag == "link":
        rel = attributes.get("rel") or ""
        tokens = re.split("[\t\n\x0c\r ]", rel)
        return "link" if any(t.lower() == "c2pa-manifest" for t in tokens) else None
    return None


def inside(node: Any, ancestor: Any) -> bool:
    while node is not None:
        if node.mem_id == ancestor.mem_id:
            return True
        node = node.parent
    return False


class Tree:
    """One parse of a marked page, with the questions the check asks of it."""

    def __init__(
        self, parser: Any, page: bytes, scripting: bool, until: Optional[int] = None, reach: int = 0
    ) -> None:
        """Parses `page`, marked up to `until`, as far as it decides the head and at least
        to `reach`, where the elements asked about end."""
        self.page = deciding_prefix(parser, page, scripting, reach)
        self.document = parser(marked(self.page, until), scripting=scripting)
        self.head = self.document.head
        self.scripting, self.until = scripting, until

    def manifest_elements(self) -> List[Element]:
        found = []
        for node in self.head.css("script, link"):
            kind = is_manifest_element(node)
            if kind is not None and offset_of(node) is not None:
                found.append({"kind": kind, "start": offset_of(node)})
        return found

    def place(self, offset: int) -> tuple[str, str]:
        """Where the start tag at `offset` ends up: a cause key ("" for the head)
        and a phrase."""
        selector = f"[{MARK}{offset}]"
        node = self.document.root.css_first(selector)
        if node is not None and offset_of(node) == offset:
            return ("", IN_HEAD) if inside(node, self.head) else ("body", IN_BODY)
        for fragment in self.document.root.template_fragments():
            node = fragment.css_first(selector)
            if node is not None and offset_of(node) == offset:
                where = at_byte(offset_of(fragment.parent))
                return "template", f"inert inside the template element{where}"
        return self.hidden_place(offset)

    def hidden_place(self, offset: int) -> tuple[str, str]:
        """Where a start tag that browsers read as text or comment ended up."""
        mark = re.compile(re.escape(f"{MARK}{offset}") + "(?![0-9])")
        for node in walk(self.document.root):
            if node.is_comment_node and mark.search(node.comment_content or ""):
                return "comment", "inside a comment"
            if node.is_text_node and mark.search(node.text_content or ""):
                name = node.parent.tag
                where = at_byte(offset_of(node.parent))
                # A "<!--<script" inside a script keeps it open past its first end tag.
                cause = "double-escape" if name == "script" else "raw-text"
                return cause, f"text of the {name} element{where}"
        return "lost", "not an element"

    def first_in_body(self) -> Optional[Any]:
        body = self.document.body
        return body.child if body is not None else None


# ---------------------------------------------------------------------------
# The check.


def velmora_elements(page: bytes, found: List[tuple[int, int]]) -> List[Element]:
    return [
        {"kind": "script" if page[start + 1 : start + 2] in b"sS" else "link", "start": start}
        for start, _ in found
    ]


@dataclass
class VelmoraView:
    """The manifest elements velmora finds, and what embed would write."""

    elements: List[Element]
    reach: int = 0  # where the last of them ends
    insertion: Optional[int] = None  # where embed inserts, as an offset into the page
    embed_error: Optional[str] = None
    written: Optional[bytes] = None  # embed's output
    written_at: int = 0  # where its element starts in that output
    written_end: int = 0  # and where it ends


def velmora_view(page: bytes) -> VelmoraView:
    found = velmora.locate_all(page)
    reach = max((start + length for start, length in found), default=0)
    view = VelmoraView(velmora_elements(page, found), reach)
    try:
        view.written = velmora.embed(page, b"")
    except ValueError as error:
        view.embed_error = str(error)
        return view
    view.written_at, length = velmora.locate_all(view.written)[0]
    view.written_end = view.written_at + length
    # Every element removal takes out stands before the insertion point.
    view.insertion = view.written_at + sum(length for _, length in found)
    return view


# How far past the end of the elements asked about a parse first reaches; it reaches twice as
# far each time the body has no node yet.
PREFIX_STEP = 1 << 16


def deciding_prefix(parser: Any, page: bytes, scripting: bool, reach: int) -> bytes:
    """The page up to a point where the body already has a node (without the markup its end
    cuts short), or the whole page: past that point nothing joins the head or leaves it,
    unless a frameset start tag follows, which can take the body away. A browser's parser
    may take time more than linear in what follows (deeply nested markup), which a page's
    body need not pay for."""
    if FRAMESET_START.search(page):  # anywhere: a cut may fall inside its tag
        return page
    length = reach + PREFIX_STEP
    while length < len(page):
        prefix = page[: settled_length(page, length)]
        if body_has_node(parser, prefix, scripting):
            return prefix
        length *= 2
    return page


def body_content_at(parser: Any, page: bytes, scripting: bool) -> int:
    """The offset of the byte whose arrival gives the body its first node: the last of a
    tag, or of the token that begins the text. Found by bisection on prefixes, as the body
    only ever gains nodes as more of the page arrives, once each prefix is read without the
    token it cuts short."""
    # Part of a byte order mark is text, all of it nothing: the search starts past it.
    low, high = len(BOM) if page.startswith(BOM) else 0, len(page)
    while low < high:
        middle = (low + high) // 2
        if body_has_node(parser, page[: settled_length(page, middle + 1)], scripting):
            high = middle
        else:
            low = middle + 1
    return low


def body_has_node(parser: Any, prefix: bytes, scripting: bool) -> bool:
    body = parser(as_browsers_read(prefix), scripting=scripting).body
    return body is not None and body.child is not None


def text_start(parser: Any, page: bytes, arrival: int, scripting: bool) -> int:
    """Where the text whose byte at `arrival` gave the body its first node begins: with the
    token cut short before it where that token, ended there, is text already (`&amp`),
    else at `arrival` (`&#32` gives white space, which stays in the head)."""
    if body_has_node(parser, page[:arrival], scripting):
        return settled_length(page, arrival)
    return arrival


def settled_length(page: bytes, end: int) -> int:
    """The length of `page[:end]` without the markup or character reference its end cuts
    short. At the end of the input browsers read "<" and "</" as text, which closes a head,
    and "<!D" or "</<" as a comment, which gives a body a node, where the whole page may go
    on to make them a tag, a doctype (ignored) or white space (`&#32;`). Markup opened since
    the last ">" is all left out: cut short, none of it is text."""
    opener = OPENER.search(page, page.rfind(b">", 0, end) + 1, end)
    if opener is not None:
        return opener.start()
    if page.endswith(b"<", 0, end):  # a "<" before it is text, whatever follows
        return end - 1
    ampersand = page.rfind(b"&", 0, end)
    if ampersand >= 0 and REFERENCE_SO_FAR.fullmatch(page, ampersand + 1, end):
        return ampersand
    return end


@dataclass
class Closer:
    """What closes the head for browsers before velmora's head ends."""

    cause: str
    offset: Optional[int]
    phrase: str


def open_noscript(parser: Any, tree: Tree, page: bytes, closer: int) -> Optional[Any]:
    """The noscript element the head was closed in by the tag at `closer`, if it was: one
    that holds the head's last element, or is it, and is still open where that tag starts."""
    last = None
    for node in walk(tree.head):
        if node.is_element_node:
            last = node
    while last is not None and last.mem_id != tree.head.mem_id:
        if last.tag == "noscript":
            return last if still_open_noscript(parser, page, closer, tree.scripting) else None
        last = last.parent
    return None


def still_open_noscript(parser: Any, page: bytes, end: int, scripting: bool) -> bool:
    """Whether the page up to `end` leaves a noscript element open: a link start tag put
    there lands inside it, where the head would take it in otherwise. The parser decides,
    as its end tag may stand in a comment or an attribute value."""
    probe = b"<link " + MARK.encode() + b"probe>"
    prefix = as_browsers_read(page[: settled_length(page, end)])
    document = parser(prefix + probe, scripting=scripting)
    link = document.root.css_first(f"[{MARK}probe]")
    return link is not None and link.parent is not None and link.parent.tag == "noscript"


def ignored_head_start(tree: Tree, page: bytes, before: int) -> Optional[int]:
    """The page's head start tag, when it comes after `before` and browsers
    therefore ignore it (their head is then one they supplied)."""
    if offset_of(tree.head) is not None:
        return None
    found = re.search(rb"<head[\t\n\x0c\r />]", page, re.IGNORECASE)
    return found.start() if found is not None and found.start() > before else None


def element_ending_at(tree: Tree, page: bytes, end: int) -> Optional[Any]:
    """The marked element of the body whose start tag ends with the ">" at `end`, the first
    byte to give the body a node, if one does. Any such element started before `end` is that
    one; its tag is looked for at the last few "<", as some may stand in its attributes."""
    if page[end : end + 1] != b">":
        return None
    start = end
    for _ in range(8):
        start = page.rfind(b"<", 0, start)
        if start < 0:
            break
        node = tree.document.root.css_first(f"[{MARK}{start}]")
        if node is not None and offset_of(node) == start and inside(node, tree.document.body):
            return node
    return None


def text_closer(page: bytes, offset: int) -> Closer:
    # The text runs to the next tag; it may itself begin with a "<" that starts none.
    shown = page[offset : offset + 24]
    text = (shown[:1] + shown[1:].split(b"<")[0]).decode("utf-8", "replace").strip()
    return Closer("text", offset, f'the text "{text}" at byte {offset:,}')


def head_closer(parser: Any, tree: Tree, page: bytes, scripting: bool) -> Closer:
    first = tree.first_in_body()
    if first is None:  # an end tag such as </body> closed it, with nothing after it yet
        return Closer("end-tag", None, "an end tag before it")
    offset = offset_of(first)
    # A table moves what follows it in front of it: the first node is then not the first
    # to come, which the arrival of the body's first node tells.
    if offset is None or TABLE_START.search(page, 0, offset):
        arrival = body_content_at(parser, tree.page, scripting)
        came_first = element_ending_at(tree, page, arrival)
        if came_first is not None:
            first, offset = came_first, offset_of(came_first)
        elif offset is None and not first.is_element_node:
            return text_closer(page, text_start(parser, page, arrival, scripting))
        elif offset is None:
            offset = unmarked_start_tag(page, first, arrival)
            if offset is None:
                return Closer("end-tag", arrival, f"the end tag ending at byte {arrival:,}")
    assert offset is not None  # each branch above that leaves it unknown has returned
    phrase = start_tag(first, offset)
    noscript = open_noscript(parser, tree, page, offset)
    if noscript is not None:
        where = at_byte(offset_of(noscript))
        return Closer("noscript", offset, f"{phrase} inside the noscript{where}")
    head_start = ignored_head_start(tree, page, offset)
    if head_start is not None:
        return Closer(
            "before-head",
            offset,
            f"{phrase}, before the head start tag at byte {head_start:,} "
            "(which browsers then ignore),",
        )
    return Closer("iframe" if first.tag == "iframe" else "element", offset, phrase)


def comment_hiding(page: bytes, offset: int) -> Optional[str]:
    """Why velmora passes over `offset` when it lies in a comment browsers end sooner."""
    opener = page.rfind(b"<!--", 0, offset)
    if opener < 0 or 0 <= page.find(b"-->", opener + 4) < offset:  # without one, to the end
        return None
    end = ABRUPT_COMMENT.match(page, opener) or BANG_COMMENT_END.search(page, opener + 4)
    if end is None or end.start() >= offset:
        return None
    return (
        f"velmora reads it as part of the comment at byte {opener:,}, which browsers end "
        f"with the {end[0].decode()!r} at byte {end.start():,}"
    )


def compare_in(parser: Any, page: bytes, scripting: bool, ours: VelmoraView) -> BrowserView:
    """The browser's view with scripting on or off, and how it differs from velmora's."""
    mode = "on" if scripting else "off"
    # What closes the head early stands before velmora's elements and its insertion point,
    # if only as the table that what follows it is moved in front of (see `head_closer`).
    ends = [element["start"] + 1 for element in ours.elements]
    reach = max(ours.insertion or 0, ours.reach)
    tree = Tree(parser, page, scripting, max([ours.insertion or 0, *ends]) + 1, reach)
    closer: Optional[Closer] = None

    def closes(subject: str, what: str) -> Difference:
        nonlocal closer
        closer = closer or head_closer(parser, tree, page, scripting)
        message = f"{closer.phrase} closes the head for browsers; {what} in the body"
        return Difference(subject, closer.cause, closer.offset or 0, message)

    differences = []
    for element in ours.elements:
        start, kind = element["start"], element["kind"]
        cause, place = tree.place(start)
        if cause == "body":
            what = f"the {kind} manifest element at byte {start:,} is"
            differences.append(closes("element", what))
        elif cause:
            message = f"the {kind} manifest element at byte {start:,} is {place} for browsers"
            differences.append(Difference("element", cause, start, message))

    insertion = None
    if ours.written is not None:
        # Only the new element is asked about, and the elements holding it.
        written = Tree(parser, ours.written, scripting, ours.written_end, ours.written_end)
        cause, insertion = written.place(ours.written_at)
        assert ours.insertion is not None
        what = f"a manifest element inserted before </head> at byte {ours.insertion:,} would be"
        if cause == "body":
            differences.append(closes("insertion", what))
        elif cause:
            message = f"{what} {insertion} for browsers"
            differences.append(Difference("insertion", cause, ours.insertion, message))

    elements = tree.manifest_elements()
    differences += unseen_elements(page, ours, elements)
    for difference in differences:
        difference.scripting = [mode]
    return BrowserView(mode, elements, insertion, differences)


def unseen_elements(page: bytes, ours: VelmoraView, theirs: List[Element]) -> List[Difference]:
    """The manifest elements in the browsers' head that velmora does not find."""
    seen = {element["start"] for element in ours.elements}
    differences = []
    for element in theirs:
        start, kind = element["start"], element["kind"]
        if start in seen:
            continue
        reason = comment_hiding(page, start)
        message = f"the {kind} manifest element at byte {start:,} is in the head for browsers"
        message += f", but {reason}" if reason else ", but velmora does not find it there"
        differences.append(Difference("unseen", "comment" if reason else "unseen", start, message))
    return differences


def merged(views: List[BrowserView]) -> List[Difference]:
    """Each difference once, with the scripting modes it occurs in, by offset."""
    by_message: dict[str, Difference] = {}
    for view in views:
        for difference in view.differences:
            known = by_message.setdefault(difference.message, difference)
            if known is not difference:
                known.scripting = known.scripting + difference.scripting
    return sorted(by_message.values(), key=lambda d: (d.offset, d.message))


def check(page: bytes) -> Report:
    """Compare velmora's view of `page` with that of browsers; raises
    ParserMissing without the optional parser."""
    parser = load_parser()
    ours = velmora_view(page)
    views = [compare_in(parser, page, scripting, ours) for scripting in (False, True)]
    return Report(ours.elements, ours.insertion, ours.embed_error, views, merged(views))
