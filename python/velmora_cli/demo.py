"""`velmora demo`: hash, sign, embed, extract, compute and verify a bundled page, step by step."""

from __future__ import annotations

from importlib import resources
from typing import NoReturn

import velmora

from . import reports

ALG = "sha256"
PAGE_RESOURCE = "demo.html"
STAND_IN_LABEL = b"velmora demo stand-in, NOT a signed manifest store; c2pa.hash.data sha256="


def load_page() -> bytes:
    return resources.files(__package__).joinpath(PAGE_RESOURCE).read_bytes()


def stand_in_store(digest: bytes) -> bytes:
    """What a signer would hand back, minus everything that makes it one.

    A real manifest store is built and signed by a C2PA signer around a data-hash
    assertion holding `digest`; this only wraps the digest so the rest of the
    sequence has bytes to embed.
    """
    return STAND_IN_LABEL + digest.hex().encode("ascii")


def fail(failure: str) -> NoReturn:
    # The demo doubles as a smoke test: a wrong figure must not print as success.
    raise RuntimeError(f"velmora demo: {failure}")


def say(text: str) -> None:
    # Through the tool's own output, which fails on a closed standard output
    # where print() would quietly drop every line.
    reports.show_text(text)


def step(number: int, title: str, call: str, *lines: str) -> None:
    say(f"{number}. {title:<24}{call}")
    for line in lines:
        say(f"   {line}")


def changed_one_byte(page: bytes, after: int) -> tuple[bytes, int]:
    """The page with the first letter of the article's first paragraph flipped in case."""
    position = page.index(b"<p>", after) + len(b"<p>")
    tampered = bytearray(page)
    tampered[position] ^= 0x20
    return bytes(tampered), position


def run() -> None:
    page = load_page()
    say(f"velmora demo: a {len(page):,}-byte article page bundled with velmora\n")

    digest = velmora.inline_hash_before_embed(page, ALG)
    step(1, "hash before embedding", f'inline_hash_before_embed(page, "{ALG}")', digest.hex())

    store = stand_in_store(digest)
    step(
        2,
        "sign (stand-in)",
        "your C2PA signer's job, not velmora's",
        f"a real signer puts this hash in a signed manifest store; the demo only wraps it "
        f"into {len(store)} bytes",
    )

    signed = velmora.embed(page, store)
    ((start, length),) = velmora.locate_all(signed)
    step(
        3,
        "embed",
        "embed(page, store)",
        f"the page grows from {len(page):,} to {len(signed):,} bytes; "
        f"manifest element at start {start}, length {length}",
    )

    found = velmora.extract(signed)
    if found is None or found["kind"] != "embedded" or found["store"] != store:
        fail("the extracted store differs from the embedded one")
    step(
        4,
        "extract",
        "extract(signed_page)",
        f"an embedded store of {len(found['store'])} bytes, the very bytes embedded",
    )

    computed = velmora.compute_data_hash(signed, ALG)
    if computed["hash"] != digest:
        fail("the binding differs from the hash before embedding")
    exclusions = " ".join(f"{s}:{n}" for s, n in computed["exclusions"])
    step(
        5,
        "compute",
        f'compute_data_hash(signed_page, "{ALG}")',
        f"{computed['hash'].hex()} excluding {exclusions}",
        "the same hash as before embedding: the manifest element is all that was added",
    )

    velmora.verify_data_hash(signed, computed["hash"], computed["exclusions"], ALG)
    step(6, "verify", "verify_data_hash(signed_page, hash, exclusions)", "verified")

    tampered, position = changed_one_byte(signed, start + length)
    before, after = chr(signed[position]), chr(tampered[position])
    try:
        velmora.verify_data_hash(tampered, computed["hash"], computed["exclusions"], ALG)
    except ValueError as error:
        rejection = str(error)
    else:
        fail("verification accepted a changed page")
    step(
        7,
        "change one byte",
        f"byte {position}: {before!r} becomes {after!r}, then verify again",
        f"rejected: {rejection}",
    )
    say("\nOn your own files: velmora hash, velmora embed, velmora binding, velmora verify")
    say("(velmora COMMAND --help for each).")
