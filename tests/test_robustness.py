"""Repetition, threads, hostile documents and odd argument objects: no path
leaks memory or references, concurrent calls answer as serial ones do, and
nothing crashes, hangs or reports anything but the documented outcome."""

from __future__ import annotations

import base64
import ctypes
import gc
import hashlib
import random
import resource
import sys
import threading
from dataclasses import dataclass, field
from typing import Callable

import pytest

import velmora
from test_properties import MALFORMED, assert_in_order_inside, cut

MIB = 1 << 20
U64_MAX = 2**64 - 1
NO_HEAD = "the document has no head element to embed into"

# Many tags and attributes, so that anything leaked per call (tag lists,
# copies of the document) is large enough to show.
DOC = (
    b"<!DOCTYPE html><html><head>"
    + b'<meta name="n" content="c">' * 300
    + b"</head><body>"
    + b"<p class=x>text</p>" * 300
    + b"</body></html>"
)
EMBEDDED = velmora.embed(DOC, bytes(range(256)) * 12)
REFERENCED = velmora.embed_reference(DOC, "https://example.com/m.c2pa?a=1&b=2")
BINDING = velmora.compute_data_hash(EMBEDDED)
OWN = BINDING["exclusions"][0]
HEAD_OPEN = b"<html><head>"
MULTIPLE = HEAD_OPEN + b"<link rel=c2pa-manifest href=a>" * 2 + b"</head>"
BAD_BASE64 = HEAD_OPEN + b"<script type=application/c2pa>A</script></head>"
NO_HREF = HEAD_OPEN + b"<link rel=c2pa-manifest></head>"
BODY_ONLY = b"<body>" + b"<p>x</p>" * 300
# Removal leaves "<" and "link ..." joined into a manifest element.
JOINED = b"<head><<script type=application/c2pa></script>link rel=c2pa-manifest href=a></head>"
# Of a valid length, so the store's storage is reserved before the bad character is met.
BAD_BASE64_LATE = HEAD_OPEN + b"<script type=application/c2pa>" + b"QUJD" * 3000 + b"QU!=</script>"


class Boom(Exception):
    pass


class Index:
    """An object whose __index__ does whatever it is told."""

    def __init__(self, index):
        self.index = index

    def __index__(self):
        return self.index()


def boom():
    raise Boom("from __index__")


@dataclass
class Path:
    """One call, and the exception it ends with, if any."""

    function: Callable[..., object]
    args: tuple
    kwargs: dict = field(default_factory=dict)
    raises: type[BaseException] | tuple[()] = ()

    def __call__(self):
        try:
            self.function(*self.args, **self.kwargs)
        except self.raises:
            pass


def exclusions(*pairs):
    """Fresh tuples of fresh ints, so their reference counts are their own."""
    return [(int(str(start)), int(str(length))) for start, length in pairs]


# Every function on its success path and on each of its error paths.
PATHS = {
    "locate_all": Path(velmora.locate_all, (EMBEDDED,)),
    "locate_all/type": Path(velmora.locate_all, ("text",), raises=TypeError),
    "locate_all/keyword": Path(velmora.locate_all, (), {"document": DOC}, raises=TypeError),
    "extract/embedded": Path(velmora.extract, (EMBEDDED,)),
    "extract/referenced": Path(velmora.extract, (REFERENCED,)),
    "extract/none": Path(velmora.extract, (DOC,)),
    "extract/multiple": Path(velmora.extract, (MULTIPLE,), raises=ValueError),
    "extract/base64": Path(velmora.extract, (BAD_BASE64,), raises=ValueError),
    "extract/base64-late": Path(velmora.extract, (BAD_BASE64_LATE,), raises=ValueError),
    "extract/href": Path(velmora.extract, (NO_HREF,), raises=ValueError),
    "extract/arity": Path(velmora.extract, (DOC, DOC), raises=TypeError),
    "remove": Path(velmora.remove, (EMBEDDED,)),
    "remove/type": Path(velmora.remove, (bytearray(DOC),), raises=TypeError),
    "embed": Path(velmora.embed, (EMBEDDED, bytes(3000))),
    "embed/no-head": Path(velmora.embed, (BODY_ONLY, bytes(3000)), raises=ValueError),
    "embed/multiple": Path(velmora.embed, (JOINED, bytes(3000)), raises=ValueError),
    "embed/type": Path(velmora.embed, (DOC, "store"), raises=TypeError),
    "embed/missing": Path(velmora.embed, (DOC,), raises=TypeError),
    "embed_reference": Path(velmora.embed_reference, (DOC, "a\"b&c<d" * 50)),
    "embed_reference/no-head": Path(velmora.embed_reference, (BODY_ONLY, "h"), raises=ValueError),
    "embed_reference/multiple": Path(velmora.embed_reference, (JOINED, "h"), raises=ValueError),
    "embed_reference/surrogate": Path(
        velmora.embed_reference, (DOC, "x\ud800"), raises=UnicodeEncodeError
    ),
    "embed_reference/type": Path(velmora.embed_reference, (DOC, b"h"), raises=TypeError),
    "compute_data_hash/sha256": Path(velmora.compute_data_hash, (EMBEDDED,)),
    "compute_data_hash/sha512": Path(velmora.compute_data_hash, (EMBEDDED, "sha512")),
    "compute_data_hash/alg": Path(velmora.compute_data_hash, (EMBEDDED, "md5"), raises=ValueError),
    "compute_data_hash/multiple": Path(velmora.compute_data_hash, (MULTIPLE,), raises=ValueError),
    "compute_data_hash/none": Path(velmora.compute_data_hash, (DOC,), raises=ValueError),
    "compute_data_hash/alg-type": Path(velmora.compute_data_hash, (DOC, 256), raises=TypeError),
    "verify_data_hash": Path(
        velmora.verify_data_hash, (EMBEDDED, BINDING["hash"], exclusions(OWN))
    ),
    "verify_data_hash/mismatch": Path(
        velmora.verify_data_hash, (EMBEDDED, bytes(32), exclusions(OWN)), raises=ValueError
    ),
    "verify_data_hash/malformed": Path(
        velmora.verify_data_hash,
        (EMBEDDED, BINDING["hash"], exclusions(OWN, (U64_MAX, 1))),
        raises=ValueError,
    ),
    "verify_data_hash/not-own": Path(
        velmora.verify_data_hash, (EMBEDDED, BINDING["hash"], exclusions()), raises=ValueError
    ),
    "verify_data_hash/document": Path(
        velmora.verify_data_hash, (MULTIPLE, b"", []), raises=ValueError
    ),
    "verify_data_hash/alg": Path(
        velmora.verify_data_hash, (EMBEDDED, b"", [], "sha1"), raises=ValueError
    ),
    "verify_data_hash/sequence": Path(
        velmora.verify_data_hash, (EMBEDDED, b"", {1: 2}), raises=TypeError
    ),
    "verify_data_hash/item": Path(
        velmora.verify_data_hash, (EMBEDDED, b"", exclusions(OWN) + [[1, 2]]), raises=TypeError
    ),
    "verify_data_hash/overflow": Path(
        velmora.verify_data_hash, (EMBEDDED, b"", exclusions((2**64, 0))), raises=OverflowError
    ),
    "verify_data_hash/index-raises": Path(
        velmora.verify_data_hash, (EMBEDDED, b"", [(Index(boom), 0)]), raises=Boom
    ),
    "verify_data_hash/index-type": Path(
        velmora.verify_data_hash, (EMBEDDED, b"", [(Index(lambda: 1.5), 0)]), raises=TypeError
    ),
    "inline_hash_before_embed": Path(velmora.inline_hash_before_embed, (EMBEDDED, "sha384")),
    "inline_hash_before_embed/alg": Path(
        velmora.inline_hash_before_embed, (DOC, "SHA256"), raises=ValueError
    ),
    "inline_hash_before_embed/type": Path(
        velmora.inline_hash_before_embed, (memoryview(DOC),), raises=TypeError
    ),
}


def test_every_function_is_covered():
    covered = {path.function.__name__ for path in PATHS.values()}
    assert covered == {name for name in velmora.__all__ if callable(getattr(velmora, name))}


def test_every_path_ends_as_stated():
    for name, path in PATHS.items():
        try:
            path.function(*path.args, **path.kwargs)
        except Exception as error:  # noqa: BLE001 - the type is what is checked
            assert path.raises and isinstance(error, path.raises), name
        else:
            assert not path.raises, name


# --- leaks ----------------------------------------------------------------------


def referenced_objects(path):
    """The arguments and everything inside the exclusions."""
    objects = [*path.args, *path.kwargs.values()]
    for argument in list(objects):
        if isinstance(argument, list):
            for item in argument:
                objects.append(item)
                if isinstance(item, tuple):
                    objects.extend(item)
    return objects


def is_immortal(obj):
    # Since Python 3.12 some objects (None, small ints, one-byte bytes) never die: their
    # counts are huge, and an extension built for the 3.9 stable ABI moves them freely.
    return sys.getrefcount(obj) >= 1 << 30


@pytest.mark.parametrize("name", PATHS)
def test_reference_counts_of_arguments_are_unchanged(name):
    path = PATHS[name]
    path()
    objects = [o for o in referenced_objects(path) if not is_immortal(o)]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        path()
    assert [sys.getrefcount(o) for o in objects] == before


def under_address_sanitizer():
    # Its quarantine holds freed memory back, so process memory grows anyway.
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd",
        "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost",
    )]


MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if MALLINFO2 is not None:
    MALLINFO2.restype = MallInfo2


def malloc_in_use():
    """Bytes the C allocator has handed out and not got back, where glibc
    tells; exact, unlike resident memory, which freed pages may stay in."""
    if MALLINFO2 is None:
        return 0
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def memory_now():
    gc.collect()
    return resident_bytes(), malloc_in_use(), sys.getallocatedblocks()


CALLS_PER_PATH = 6000


@pytest.mark.skipif(under_address_sanitizer(), reason="the sanitizer's allocator keeps memory")
@pytest.mark.parametrize("name", PATHS)
def test_repeated_calls_do_not_grow_memory(name):
    path = PATHS[name]
    for _ in range(300):
        path()
    rss, in_use, blocks = memory_now()
    for _ in range(CALLS_PER_PATH):
        path()
    rss_after, in_use_after, blocks_after = memory_now()
    # A leak of even a few bytes a call would exceed these.
    assert in_use_after - in_use < 32 * 1024
    assert blocks_after - blocks < 100
    assert rss_after - rss < 2 * MIB


# --- threads --------------------------------------------------------------------


def outcome(path):
    try:
        return "returned", path.function(*path.args, **path.kwargs)
    except Exception as error:  # noqa: BLE001 - the outcome is compared whole
        return type(error), str(error)


def test_concurrent_calls_give_serial_results():
    paths = list(PATHS.values())
    serial = [outcome(path) for path in paths]
    threads_count, rounds = 8, 15
    barrier = threading.Barrier(threads_count)
    results = [None] * threads_count

    def worker(k):
        order = random.Random(k).sample(range(len(paths)), len(paths))
        barrier.wait()
        results[k] = [
            {i: outcome(paths[i]) for i in order} for _ in range(rounds)
        ]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        workers = [threading.Thread(target=worker, args=(k,)) for k in range(threads_count)]
        for thread in workers:
            thread.start()
        for thread in workers:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    for per_thread in results:
        for by_index in per_thread:
            assert [by_index[i] for i in range(len(paths))] == serial


# --- hostile documents ------------------------------------------------------------


def check_consistent(html):
    """The answers every document gets: ranges in order inside it, remove
    cutting exactly those, and the digest of the whole document."""
    ranges = velmora.locate_all(html)
    assert_in_order_inside(html, ranges)
    assert velmora.remove(html) == cut(html, ranges)
    assert velmora.inline_hash_before_embed(html) == hashlib.sha256(html).digest()
    return ranges


@pytest.mark.parametrize(
    "html, embeddable",
    [
        (b"<" * (8 * MIB), False),
        (b"<!" * (4 * MIB), False),
        (b"</" * (4 * MIB), False),
        (b"<a " * (3 * MIB), False),
        (b"<head><" + b"<" * (8 * MIB) + b"</head>", True),
        (b"<head><script>" + b"</scrip" * MIB + b"</head>", False),
        (b"<head><title>" + b"<" * (8 * MIB), False),
        (b"<head><!--" + b"-" * (8 * MIB), False),
        (b"<head><!--" + b"-" * (8 * MIB) + b"></head>", True),
        (b"<head><textarea>" + b"x" * (16 * MIB) + b"</head>", False),
        (b"<head><a title='" + b"x" * (16 * MIB) + b"</head>", False),
    ],
    ids=["lt", "bang", "slash", "open-tags", "head-of-lt", "almost-end-tags", "title-of-lt",
         "open-comment", "comment", "textarea", "quote"],
)
def test_floods_of_markup(html, embeddable):
    assert check_consistent(html) == []
    assert velmora.extract(html) is None
    if embeddable:
        assert velmora.extract(velmora.embed(html, b"s"))["store"] == b"s"
    else:
        with pytest.raises(ValueError, match=NO_HEAD):
            velmora.embed(html, b"s")


def test_a_hundred_thousand_manifest_elements():
    html = HEAD_OPEN + b"<link rel=c2pa-manifest href=m>" * 100_000 + b"</head>"
    ranges = check_consistent(html)
    assert len(ranges) == 100_000
    with pytest.raises(ValueError, match="multipleManifests"):
        velmora.extract(html)
    assert velmora.remove(html) == HEAD_OPEN + b"</head>"
    assert velmora.extract(velmora.embed(html, b"s"))["store"] == b"s"


def one_tag(attributes):
    return HEAD_OPEN + b"<link " + b" ".join(attributes) + b"></head>"


def test_one_tag_with_two_hundred_thousand_attributes():
    many = [b"a%d=x" % i for i in range(200_000)]
    html = one_tag(many + [b"rel=c2pa-manifest", b"href=h"])
    assert velmora.extract(html)["href"] == "h"
    assert check_consistent(html) == [(12, len(html) - 12 - 7)]
    # The first of equal names wins, however many follow.
    shadowed = one_tag([b"rel=other"] + [b"rel=c2pa-manifest"] * 200_000)
    assert check_consistent(shadowed) == []


@pytest.mark.parametrize("end_tag", [b"</script>", b""])
def test_raw_text_of_many_megabytes(end_tag):
    store = random.Random(5).randbytes(48 * MIB + 1)
    element = b"<script type=application/c2pa>" + base64.b64encode(store) + end_tag
    html = HEAD_OPEN + element + (b"</head>" if end_tag else b"")
    assert velmora.extract(html)["store"] == store
    assert check_consistent(html) == [(len(HEAD_OPEN), len(element))]


def test_store_of_a_hundred_mebibytes():
    store = bytes(range(256)) * (100 * MIB // 256)
    html = velmora.embed(DOC, store)
    assert velmora.extract(html)["store"] == store
    binding = velmora.compute_data_hash(html)
    assert binding["hash"] == hashlib.sha256(DOC).digest()
    assert velmora.verify_data_hash(html, binding["hash"], binding["exclusions"]) is None
    assert velmora.remove(html) == DOC


@pytest.mark.parametrize(
    "extra",
    [
        [(U64_MAX, 0)],
        [(U64_MAX, 1)],
        [(U64_MAX, U64_MAX)],
        [(0, U64_MAX)],
        [(1, U64_MAX)],
        [(2**63, 2**63)],
        [(len(EMBEDDED), 1)],
        [(len(EMBEDDED) + 1, 0)],
    ],
)
def test_ranges_at_the_ends_of_the_u64_range_are_malformed(extra):
    for ranges in ([OWN, *extra], [*extra, OWN]):
        with pytest.raises(ValueError) as caught:
            velmora.verify_data_hash(EMBEDDED, BINDING["hash"], ranges)
        assert str(caught.value) == MALFORMED


def test_a_million_empty_ranges():
    ranges = [(0, 0)] * 1_000_000 + [OWN] + [(len(EMBEDDED), 0)] * 1_000_000
    assert velmora.verify_data_hash(EMBEDDED, BINDING["hash"], ranges) is None


def test_a_range_ending_exactly_at_the_end_is_inside():
    html = velmora.embed(b"<head></head>tail", b"")
    (own,) = velmora.locate_all(html)
    digest = hashlib.sha256(html[: own[0]] + b"</head>").digest()
    assert velmora.verify_data_hash(html, digest, [own, (len(html) - 4, 4), (len(html), 0)]) is None


# --- odd argument objects -----------------------------------------------------------


class LyingBytes(bytes):
    def __len__(self):
        return 0

    def __getitem__(self, index):
        raise Boom("bytes are read as stored")


class LyingStr(str):
    def __str__(self):
        return "md5"

    def encode(self, *args, **kwargs):
        raise Boom("str is read as stored")


class LyingInt(int):
    def __index__(self):
        raise Boom("an int is read as stored")

    def __int__(self):
        raise Boom("an int is read as stored")


class LyingPair(tuple):
    def __len__(self):
        return 3

    def __getitem__(self, index):
        raise Boom("a tuple is read as stored")

    def __iter__(self):
        raise Boom("a tuple is read as stored")


def test_subclasses_are_read_as_what_they_store():
    html = LyingBytes(EMBEDDED)
    assert velmora.locate_all(html) == velmora.locate_all(EMBEDDED)
    assert velmora.compute_data_hash(html, LyingStr("sha256")) == BINDING
    out = velmora.embed_reference(LyingBytes(DOC), LyingStr("h"))
    assert out == velmora.embed_reference(DOC, "h")
    start, length = OWN
    pair = LyingPair((LyingInt(start), LyingInt(length)))
    assert velmora.verify_data_hash(html, LyingBytes(BINDING["hash"]), [pair]) is None


def verify_with(first_start):
    return velmora.verify_data_hash(EMBEDDED, BINDING["hash"], [(first_start, OWN[1])])


@pytest.mark.parametrize(
    "index, kind, fragment",
    [
        (lambda: 1.5, TypeError, "exclusions"),
        (lambda: "0", TypeError, "exclusions"),
        (lambda: None, TypeError, "exclusions"),
        (lambda: 2**64, OverflowError, None),
        (lambda: 2**200, OverflowError, None),
        (lambda: -1, OverflowError, None),
    ],
)
def test_odd_index_results(index, kind, fragment):
    with pytest.raises(kind) as caught:
        verify_with(Index(index))
    if fragment:
        assert f"verify_data_hash() argument '{fragment}'" in str(caught.value)


def test_index_returning_the_right_number_is_accepted():
    assert verify_with(Index(lambda: OWN[0])) is None


def raising(error):
    def index():
        raise error

    return index


@pytest.mark.parametrize("error", [Boom("x"), ValueError("x"), KeyError("x"), MemoryError()])
def test_exceptions_from_index_pass_unchanged(error):
    with pytest.raises(type(error)) as caught:
        verify_with(Index(raising(error)))
    assert caught.value is error


def test_type_error_from_index_names_the_parameter():
    with pytest.raises(TypeError) as caught:
        verify_with(Index(raising(TypeError("inner reason"))))
    assert str(caught.value) == "verify_data_hash() argument 'exclusions': inner reason"


def instance_of_type_named(name):
    """An object whose type answers `name()` when asked for its __name__."""

    class Meta(type):
        @property
        def __name__(cls):
            return name()

    return Meta("Odd", (), {})()


@pytest.mark.parametrize(
    "name", [lambda: 5, lambda: b"Odd", raising(Boom("name"))], ids=["int", "bytes", "raising"]
)
def test_a_type_name_that_is_no_str_is_given_as_object(name):
    odd = instance_of_type_named(name)
    message = r"^locate_all\(\) argument 'html' must be bytes, not object$"
    with pytest.raises(TypeError, match=message):
        velmora.locate_all(odd)
    with pytest.raises(TypeError, match=r"item 0 must be a \(start, length\) tuple, not object$"):
        velmora.verify_data_hash(EMBEDDED, b"", [odd])


class Pairs:
    """A sequence of the own range whose length and iteration misbehave."""

    def __init__(self, length, items=1, error=None):
        self.length, self.items, self.error = length, items, error

    def __len__(self):
        return self.length()

    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        for _ in range(self.items):
            yield OWN
        if self.error is not None:
            raise self.error


@pytest.mark.parametrize(
    "length",
    [lambda: 2**62, lambda: 0, lambda: -1, lambda: 2**100, lambda: "3", raising(Boom("len"))],
    ids=["huge", "zero", "negative", "overflowing", "not-an-int", "raising"],
)
def test_lying_lengths_change_nothing(length):
    assert velmora.verify_data_hash(EMBEDDED, BINDING["hash"], Pairs(length)) is None


@pytest.mark.parametrize("error", [Boom("halfway"), ValueError("halfway"), MemoryError()])
def test_iteration_raising_halfway_passes_unchanged(error):
    with pytest.raises(type(error)) as caught:
        velmora.verify_data_hash(EMBEDDED, BINDING["hash"], Pairs(lambda: 3, 1, error))
    assert caught.value is error


def test_iteration_raising_type_error_names_the_parameter():
    pairs = Pairs(lambda: 3, 2, TypeError("halfway"))
    with pytest.raises(TypeError, match="^verify_data_hash\\(\\) argument 'exclusions': halfway$"):
        velmora.verify_data_hash(EMBEDDED, BINDING["hash"], pairs)


@pytest.mark.parametrize("pair", [(OWN[0],), (*OWN, 0), ()])
def test_tuples_of_other_lengths_are_type_errors(pair):
    with pytest.raises(TypeError, match=f"exclusions.*{len(pair)}-tuple"):
        velmora.verify_data_hash(EMBEDDED, BINDING["hash"], [tuple(pair)])


def test_exclusions_emptied_while_read():
    ranges = []

    def clear():
        ranges.clear()
        return OWN[0]

    ranges.extend([(Index(clear), OWN[1]), (0, 1), (2, 3)])
    assert velmora.verify_data_hash(EMBEDDED, BINDING["hash"], ranges) is None


def test_exclusions_grown_while_read_are_read_to_the_end():
    ranges = []

    def grow():
        ranges.append((U64_MAX, 1))
        return OWN[0]

    ranges.append((Index(grow), OWN[1]))
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(EMBEDDED, BINDING["hash"], ranges)
    assert str(caught.value) == MALFORMED


# --- regressions found by fuzzing and these tests -------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda alg: velmora.compute_data_hash(EMBEDDED, alg),
        lambda alg: velmora.inline_hash_before_embed(DOC, alg),
        lambda alg: velmora.verify_data_hash(EMBEDDED, b"", [], alg),
    ],
)
def test_unsupported_algorithm_message_keeps_a_nul_and_the_code(call):
    with pytest.raises(ValueError) as caught:
        call("sha256\x00x")
    assert caught.value.args == ("unsupported hash algorithm: sha256\x00x [algorithm.unsupported]",)
