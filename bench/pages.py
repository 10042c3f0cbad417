"""Synthetic inputs for the benchmark, built deterministically to an exact size.

Pages have a head like a news site's (title, meta, link, style and script
elements, a conditional comment, JSON-LD) and a body of ordinary markup:
paragraphs with links, lists, figures, tables, comments and inline scripts.
Hostile documents are the shapes that push a tag scanner to its worst case.
"""

from __future__ import annotations

import base64
import random
from typing import Callable

KIB = 1024
MIB = 1024 * KIB

_WORDS = (
    "the a of and to in provenance manifest content credential camera capture edit "
    "publish source trust chain signed claim asset report article editor harbour "
    "ferry night council budget school river market weather season café naïve "
    "Brücke 東京 — vote record study archive photo video league final"
).split()

_HEAD_CLOSE = b"</head>"


def _words(rng: random.Random, count: int) -> str:
    return " ".join(rng.choice(_WORDS) for _ in range(count))


def _slug(rng: random.Random) -> str:
    return "-".join(rng.choice(_WORDS[:30]) for _ in range(3))


# --- head pieces ----------------------------------------------------------------


def _meta(rng: random.Random) -> str:
    name = rng.choice(["description", "keywords", "author", "robots", "twitter:card"])
    return f'<meta name="{name}" content="{_words(rng, 12)}">\n'


def _open_graph(rng: random.Random) -> str:
    prop = rng.choice(["og:title", "og:type", "og:url", "og:image", "article:section"])
    return f'<meta property="{prop}" content="https://news.example/{_slug(rng)}">\n'


def _link(rng: random.Random) -> str:
    rel = rng.choice(["stylesheet", "preload", "icon", "canonical", "preconnect", "alternate"])
    return f'<link rel="{rel}" href="/static/{_slug(rng)}.css?v={rng.randrange(99)}">\n'


def _style(rng: random.Random) -> str:
    rules = "".join(
        f".{_slug(rng)} > a:hover {{ color: #{rng.randrange(1 << 24):06x}; margin: "
        f"{rng.randrange(40)}px; }}\n"
        for _ in range(rng.randrange(2, 6))
    )
    return f'<style>\n{rules}.lede::before {{ content: "</head>"; }}\n</style>\n'


def _script(rng: random.Random) -> str:
    return (
        "<script>\nwindow.dataLayer = window.dataLayer || [];\n"
        f'if (a < b && "</head>" !== c) {{ dataLayer.push({{"event": "{_slug(rng)}"}}); }}\n'
        f"for (var i = 0; i < {rng.randrange(9)}; i++) {{ q.push('<div>' + i + '</div>'); }}\n"
        "</script>\n"
    )


def _conditional_comment(rng: random.Random) -> str:
    return f'<!--[if lt IE 9]><script src="/static/{_slug(rng)}.js"></script><![endif]-->\n'


def _json_ld(rng: random.Random) -> str:
    return (
        '<script type="application/ld+json">{"@context": "https://schema.org", '
        f'"@type": "NewsArticle", "headline": "{_words(rng, 8)}"}}</script>\n'
    )


_HEAD_PIECES: list[Callable[[random.Random], str]] = [
    _meta,
    _meta,
    _open_graph,
    _link,
    _link,
    _style,
    _script,
    _conditional_comment,
    _json_ld,
]


def _head(rng: random.Random, budget: int, head_tag: bool) -> bytes:
    start = '<!DOCTYPE html>\n<html lang="en">\n' + ("<head>\n" if head_tag else "")
    parts = [
        start.encode(),
        f'<meta charset="utf-8">\n<title>{_words(rng, 7)} — News</title>\n'.encode(),
    ]
    used = sum(map(len, parts))
    while True:
        piece = rng.choice(_HEAD_PIECES)(rng).encode()
        if used + len(piece) > budget:
            break
        parts.append(piece)
        used += len(piece)
    if head_tag:
        parts.append(_HEAD_CLOSE + b"\n")
    return b"".join(parts)


# --- body blocks ----------------------------------------------------------------


def _paragraph(rng: random.Random) -> str:
    link = f'<a href="/{_slug(rng)}?id={rng.randrange(10**6)}&amp;ref=home">{_words(rng, 3)}</a>'
    return (
        f"<p>{_words(rng, rng.randrange(20, 60))} {link}, <em>{_words(rng, 2)}</em> "
        f"<strong>{_words(rng, 3)}</strong> {_words(rng, rng.randrange(10, 40))}.</p>\n"
    )


def _list(rng: random.Random) -> str:
    items = "".join(
        f'<li class="item"><a href="/{_slug(rng)}">{_words(rng, 5)}</a></li>\n'
        for _ in range(rng.randrange(3, 9))
    )
    return f'<ul class="related">\n{items}</ul>\n'


def _inline_script(rng: random.Random) -> str:
    return (
        f"<script>var n = {rng.randrange(99)}; if (n < 10 && n > 2) "
        "{ document.write('<span>' + n + '</span>'); }</script>\n"
    )


def _figure(rng: random.Random) -> str:
    return (
        f'<figure><img src="/img/{_slug(rng)}.jpg" alt="{_words(rng, 4)}" width="640" '
        f'height="360" loading="lazy"><figcaption>{_words(rng, 9)}</figcaption></figure>\n'
    )


def _table(rng: random.Random) -> str:
    rows = "".join(
        f"<tr><td>{_words(rng, 2)}</td><td>{rng.randrange(10**4)}</td></tr>\n"
        for _ in range(rng.randrange(2, 6))
    )
    return f"<table>\n<tr><th>name</th><th>value</th></tr>\n{rows}</table>\n"


def _comment(rng: random.Random) -> str:
    return f"<!-- {_words(rng, 6)} <div class=ad></div> -->\n"


def _section(rng: random.Random) -> str:
    return f'<div class="section" id="{_slug(rng)}">\n<h2>{_words(rng, 5)}</h2>\n</div>\n'


_BODY_BLOCKS: list[Callable[[random.Random], str]] = [
    _paragraph,
    _paragraph,
    _paragraph,
    _list,
    _inline_script,
    _figure,
    _table,
    _comment,
    _section,
]
_BLOCK_POOL_SIZE = 512
_BODY_OPEN = b'<body class="article">\n'
_BODY_CLOSE = b"</body>\n</html>\n"


def _filler_paragraph(rng: random.Random, length: int) -> bytes:
    """Markup of exactly `length` bytes, closing the gap to the requested size."""
    room = length - len(b"<p></p>\n")
    if room < 0:
        return b"\n" * length
    # ASCII only, so that cutting the text cannot split a character.
    text = _words(rng, room).encode("ascii", "replace")[:room].ljust(room)
    return b"<p>" + text + b"</p>\n"


def page(size: int, seed: int = 0, head_tag: bool = True) -> bytes:
    """A page of exactly `size` bytes; with `head_tag` False, no head start or end tag."""
    rng = random.Random(f"{seed}:{size}:{head_tag}")
    head = _head(rng, min(max(size // 8, 512), 32 * KIB), head_tag)
    pool = [rng.choice(_BODY_BLOCKS)(rng).encode() for _ in range(_BLOCK_POOL_SIZE)]
    parts = [head, _BODY_OPEN]
    used = len(head) + len(_BODY_OPEN)
    limit = size - len(_BODY_CLOSE)
    while True:
        block = rng.choice(pool)
        if used + len(block) > limit:
            break
        parts.append(block)
        used += len(block)
    parts += [_filler_paragraph(rng, limit - used), _BODY_CLOSE]
    return b"".join(parts)


def store(size: int, seed: int = 0) -> bytes:
    """A random manifest store: its bytes only matter to the codec."""
    return random.Random(f"store:{seed}:{size}").randbytes(size)


def manifest_script(store_bytes: bytes) -> bytes:
    return b'<script type="application/c2pa">' + base64.b64encode(store_bytes) + b"</script>"


def embed_inline(document: bytes, store_bytes: bytes) -> bytes:
    """The page with an inline manifest just before its head end tag, the last
    "</head>" ahead of the body: earlier ones sit inside scripts and styles."""
    at = document.rindex(_HEAD_CLOSE, 0, document.index(_BODY_OPEN))
    return document[:at] + manifest_script(store_bytes) + document[at:]


# --- hostile documents ----------------------------------------------------------


def _repeat(unit: bytes, size: int) -> bytes:
    return (unit * (size // len(unit) + 1))[:size]


def _many_attributes(size: int) -> bytes:
    head, tail = b"<head><link", b" rel=c2pa-manifest href=m.c2pa>"
    return head + _repeat(b" a=b", size - len(head) - len(tail)) + tail


HOSTILE: dict[str, Callable[[int], bytes]] = {
    "`<` repeated": lambda size: _repeat(b"<", size),
    "one `<link>`, an attribute every 4 bytes": _many_attributes,
    "unterminated comment, `->` filler": lambda size: b"<head><!-- " + _repeat(b"->", size - 11),
    "unterminated `<script>`, `</scrip` filler": (
        lambda size: b"<head><script>" + _repeat(b"</scrip", size - 14)
    ),
    'every byte `"`': lambda size: _repeat(b'"', size),
}
