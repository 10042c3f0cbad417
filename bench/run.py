"""velmora against its anchors: hashlib, base64, a bytes copy and an html.parser locator.

    python bench/run.py [--quick] [--no-peak] [--corpus DIR] [--kernels]

Prints markdown tables of medians, throughputs and ratios measured in the same
run, with each target marked met or missed; bench/README.md explains the rows.
"""

from __future__ import annotations

import argparse
import base64
import collections
import hashlib
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from functools import cache, partial
from pathlib import Path
from collections.abc import Callable, Sequence
from typing import Any

import velmora

import htmlparser_locator as anchor
import pages
from pages import KIB, MIB

# The store embedded in synthetic and corpus pages: the size of a small signed
# manifest store with its certificate chain.
PAGE_STORE_SIZE = 4 * KIB
DIGESTS = ("sha256", "sha384", "sha512")

WARMUPS = 2
MIN_RUNS = 5
MAX_RUNS = 2000
# Calls quicker than this are timed in batches so that the clock's own cost
# stays out of the median.
MIN_SAMPLE_NS = 50_000
# A hostile input this slow at the small size is not tried at four times it.
HOSTILE_GIVE_UP_NS = 1_000_000_000


@dataclass(frozen=True)
class Settings:
    page_sizes: tuple[int, ...]
    write_sizes: tuple[int, ...]
    store_sizes: tuple[int, ...]
    hostile_sizes: tuple[int, int]
    budget_ns: int  # time spent on each function measured
    corpus_budget_ns: int  # the same on one corpus page

    def measure(self, *fns: Callable[[], object]) -> list[float]:
        return medians_ns(fns, self.budget_ns)


FULL = Settings(
    page_sizes=(2 * KIB, 64 * KIB, MIB, 64 * MIB),
    write_sizes=(2 * KIB, MIB, 64 * MIB),
    store_sizes=(KIB, 64 * KIB, MIB, 4 * MIB),
    hostile_sizes=(4 * MIB, 16 * MIB),
    budget_ns=200_000_000,
    corpus_budget_ns=20_000_000,
)
QUICK = Settings(
    page_sizes=(2 * KIB, 64 * KIB, MIB),
    write_sizes=(2 * KIB, MIB),
    store_sizes=(KIB, 64 * KIB, MIB),
    # Smaller documents would fit the L2 cache and make linear work look superlinear.
    hostile_sizes=(4 * MIB, 16 * MIB),
    budget_ns=50_000_000,
    corpus_budget_ns=5_000_000,
)


# --- measuring ------------------------------------------------------------------


def batch_size(fn: Callable[[], object]) -> int:
    """Warms `fn` up and returns how many calls one sample takes so that the clock's own
    cost, and the first calls of a sample after another function ran, stay out of it:
    batches of 1, 2, 4, ... calls until one lasts MIN_SAMPLE_NS. A single warm call is a
    poor estimate for calls under a microsecond, as it runs with cold caches."""
    for _ in range(WARMUPS):
        fn()
    batch = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(batch):
            fn()
        if time.perf_counter_ns() - start >= MIN_SAMPLE_NS:
            return batch
        batch *= 2


def medians_ns(fns: Sequence[Callable[[], object]], budget_ns: int) -> list[float]:
    """Median duration of one call of each function, over enough runs to spend about
    `budget_ns` on each. Their runs alternate, so that other work on the machine slows
    them alike and their ratio holds."""
    batches = [batch_size(fn) for fn in fns]
    samples: list[list[float]] = [[] for _ in fns]
    deadline = time.perf_counter_ns() + budget_ns * len(fns)
    while len(samples[0]) < MIN_RUNS or (
        len(samples[0]) < MAX_RUNS and time.perf_counter_ns() < deadline
    ):
        for fn, batch, taken in zip(fns, batches, samples):
            start = time.perf_counter_ns()
            for _ in range(batch):
                fn()
            taken.append((time.perf_counter_ns() - start) / batch)
    return [statistics.median(taken) for taken in samples]


# Results kept alive hold at most this much memory between them.
KEPT_BYTES = 256 * MIB
KEPT_MAX = 1024


def kept_alive(fn: Callable[[], bytes], size: int) -> Callable[[], None]:
    """`fn` with its results kept alive a while, the way a caller storing them would:
    each call then writes into memory no recent result has freed.

    The results kept are filled in first, so that every measured call also frees the
    oldest one, as in a long run. Otherwise a slow function would spend its runs
    mostly filling them, freeing nothing, while a fast one was measured freeing."""
    kept: collections.deque[bytes] = collections.deque(
        maxlen=max(1, min(KEPT_MAX, KEPT_BYTES // max(size, 1)))
    )
    kept.extend(fn() for _ in range(kept.maxlen or 0))
    return lambda: kept.append(fn())


# --- formatting -----------------------------------------------------------------


def fmt_size(n: int) -> str:
    for unit, scale in (("MiB", MIB), ("KiB", KIB)):
        if n >= scale:
            return f"{n // scale} {unit}" if n % scale == 0 else f"{n / scale:.1f} {unit}"
    return f"{n} B"


def fmt_time(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.0f} ns"


def rate(nbytes: int, ns: float) -> float:
    return nbytes / ns * 1e9


def fmt_ratio(x: float) -> str:
    return f"{x:.3g}"


def fmt_rate(bytes_per_s: float) -> str:
    if bytes_per_s >= 1e9:
        return f"{bytes_per_s / 1e9:.2f} GB/s"
    return f"{bytes_per_s / 1e6:.3g} MB/s"


@dataclass(frozen=True)
class Target:
    text: str
    met: Callable[[float], bool]
    show: Callable[[float], str]


def as_multiple(x: float) -> str:
    return f"{fmt_ratio(x)}x"


def at_most(limit: float, text: str = "") -> Target:
    return Target(text or f"≤{limit:g}", lambda value: value <= limit, as_multiple)


def at_least(limit: float, text: str = "", show: Callable[[float], str] = as_multiple) -> Target:
    return Target(text or f"≥{limit:g}", lambda value: value >= limit, show)


@dataclass
class Scorecard:
    """Targets missed and sanity checks failed, for the summary at the end."""

    missed: list[str] = field(default_factory=list)
    failed: list[str] = field(default_factory=list)

    def judge(self, target: Target | None, value: float, where: str) -> str:
        if target is None:
            return ""
        if target.met(value):
            return f"{target.text} ✓"
        self.missed.append(f"{where}: {target.show(value)} (target {target.text})")
        return f"{target.text} ✗"

    def expect(self, ok: bool, what: str) -> bool:
        if not ok:
            self.failed.append(what)
        return ok


class Table:
    def __init__(self, title: str, columns: Sequence[str], note: str = "") -> None:
        self.title, self.columns, self.note = title, list(columns), note
        self.rows: list[list[str]] = []

    def add(self, *cells: str) -> None:
        self.rows.append(list(cells))

    def print(self, *footer: str) -> None:
        every = [self.columns, *self.rows]
        widths = [max(len(row[i]) for row in every) for i in range(len(self.columns))]

        def line(cells: Sequence[str]) -> str:
            return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

        print(f"\n## {self.title}\n")
        if self.note:
            print(self.note + "\n")
        print(line(self.columns))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for row in self.rows:
            print(line(row))
        for text in footer:
            print(f"\n{text}")
        sys.stdout.flush()


# --- inputs ---------------------------------------------------------------------


@cache
def synthetic_page(size: int) -> bytes:
    return pages.page(size)


@cache
def page_with_manifest(size: int) -> bytes:
    return pages.embed_inline(synthetic_page(size), pages.store(PAGE_STORE_SIZE))


# --- sections -------------------------------------------------------------------


def machine() -> None:
    cpu, flags = platform.processor() or platform.machine(), set()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                cpu = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
                break
    except OSError:
        pass
    features = " ".join(f for f in ("sha_ni", "avx2", "avx512bw", "avx512vbmi") if f in flags)
    print("# velmora benchmark\n")
    print(f"- CPU: {cpu} ({features or 'no SIMD extensions of interest'})")
    print(f"- Python {platform.python_version()} ({sys.executable})")
    print(f"- velmora {velmora.__version__} ({velmora.__file__})")
    print(f"- load average: {load_average()} on {os.cpu_count()} CPUs (other work skews timings)")
    print("- times are medians of adaptive runs; MB/s and GB/s are 10^6 and 10^9 bytes/s")


DIGEST_TARGET_SIZES = (64 * KIB, MIB, 64 * MIB)
DIGEST_TARGETS = {"sha256": at_least(0.98), "sha384": at_least(1.0), "sha512": at_least(1.0)}


def digests(settings: Settings, card: Scorecard) -> None:
    table = Table(
        "Digest of the whole page: inline_hash_before_embed vs hashlib",
        ["alg", "page", "velmora", "velmora rate", "hashlib", "hashlib rate", "speed v/h",
         "target"],
    )
    for size in settings.page_sizes:
        page = synthetic_page(size)
        for alg in DIGESTS:
            hasher = getattr(hashlib, alg)
            card.expect(
                velmora.inline_hash_before_embed(page, alg) == hashlib_digest(hasher, page),
                f"inline_hash_before_embed {alg} differs from hashlib on {fmt_size(size)}",
            )
            ours, theirs = settings.measure(
                partial(velmora.inline_hash_before_embed, page, alg),
                partial(hashlib_digest, hasher, page),
            )
            target = DIGEST_TARGETS[alg] if size in DIGEST_TARGET_SIZES else None
            verdict = card.judge(
                target, theirs / ours, f"{alg} at {fmt_size(size)}, speed over hashlib's"
            )
            table.add(
                alg, fmt_size(size), fmt_time(ours), fmt_rate(rate(size, ours)),
                fmt_time(theirs), fmt_rate(rate(size, theirs)), fmt_ratio(theirs / ours), verdict,
            )
    table.print()


def hashlib_digest(hasher: Callable[[bytes], Any], data: bytes) -> bytes:
    return hasher(data).digest()


def gather_kept(view: memoryview, start: int, end: int) -> bytes:
    """The document without [start, end) in one new object: one copy, as a binding makes."""
    return b"".join((view[:start], view[end:]))


HARD_BINDING_TARGETS = {MIB: at_most(1.1), 64 * MIB: at_most(1.6)}


def hard_binding(settings: Settings, card: Scorecard) -> None:
    table = Table(
        "Hard binding (sha256) on a page with an inline manifest vs hashlib.sha256 of the page",
        ["page", "operation", "velmora", "velmora rate", "hashlib", "time ratio v/h", "target",
         "copy share", "locate share"],
        f"Each page carries a {fmt_size(PAGE_STORE_SIZE)} store. Copy share: joining the kept "
        "parts into one bytes object, as a share of the velmora time; locate share: locate_all.",
    )
    for size in settings.page_sizes:
        doc = page_with_manifest(size)
        binding = velmora.compute_data_hash(doc)
        card.expect(
            binding["exclusions"] == velmora.locate_all(doc),
            f"compute_data_hash exclusions differ from locate_all on {fmt_size(size)}",
        )
        ((start, length),) = binding["exclusions"]
        floor, copy, locate, compute, verify = settings.measure(
            partial(hashlib_digest, hashlib.sha256, doc),
            partial(gather_kept, memoryview(doc), start, start + length),
            partial(velmora.locate_all, doc),
            partial(velmora.compute_data_hash, doc),
            partial(velmora.verify_data_hash, doc, binding["hash"], binding["exclusions"]),
        )
        for name, ours in (("compute_data_hash", compute), ("verify_data_hash", verify)):
            ratio = ours / floor
            verdict = card.judge(
                HARD_BINDING_TARGETS.get(size), ratio,
                f"{name} at {fmt_size(size)}, time over hashlib's",
            )
            table.add(
                fmt_size(size), name, fmt_time(ours), fmt_rate(rate(len(doc), ours)),
                fmt_time(floor), fmt_ratio(ratio), verdict, f"{copy / ours:.0%}",
                f"{locate / ours:.0%}",
            )
    table.print()


CODEC_TARGETS = {MIB: at_least(5)}


def codec(settings: Settings, card: Scorecard) -> None:
    table = Table(
        "Codec: embed and extract on a 2 KiB page vs base64 alone",
        ["store", "operation", "velmora", "velmora rate", "anchor", "anchor time", "anchor rate",
         "speed-up a/v", "target"],
        "Rates count store bytes. The anchors do only the Base64 step, velmora the whole "
        "operation.",
    )
    small = synthetic_page(2 * KIB)
    for size in settings.store_sizes:
        store = pages.store(size)
        text = base64.b64encode(store)
        embedded = pages.embed_inline(small, store)
        card.expect(velmora.embed(small, store) == embedded, f"embed output at {fmt_size(size)}")
        card.expect(
            velmora.extract(embedded)["store"] == store, f"extract store at {fmt_size(size)}"
        )
        operations = [
            (
                "embed", partial(velmora.embed, small, store),
                "b64encode", partial(base64.b64encode, store),
            ),
            (
                "embed, kept", kept_alive(partial(velmora.embed, small, store), len(embedded)),
                "b64encode, kept", kept_alive(partial(base64.b64encode, store), len(text)),
            ),
            (
                "extract", partial(velmora.extract, embedded),
                "b64decode(validate=True)", partial(base64.b64decode, text, validate=True),
            ),
        ]
        for name, ours_fn, anchor_name, theirs_fn in operations:
            ours, theirs = settings.measure(ours_fn, theirs_fn)
            speedup = theirs / ours
            verdict = card.judge(
                CODEC_TARGETS.get(size) if name.startswith("embed") else None, speedup,
                f"{name} with a {fmt_size(size)} store, speed-up over {anchor_name}",
            )
            table.add(
                fmt_size(size), name, fmt_time(ours), fmt_rate(rate(size, ours)), anchor_name,
                fmt_time(theirs), fmt_rate(rate(size, theirs)), fmt_ratio(speedup), verdict,
            )
    table.print()


WRITE_TARGET = at_most(1.3)


def copy_of(data: bytes) -> bytes:
    return bytes(memoryview(data))


def writers(size: int) -> dict[str, tuple[Callable[[], bytes], int]]:
    """Each writing operation on a page of `size`, with the size of its output."""
    page, store = synthetic_page(size), pages.store(PAGE_STORE_SIZE)
    calls = {
        "remove": partial(velmora.remove, page_with_manifest(size)),
        "embed": partial(velmora.embed, page, store),
        "embed_reference": partial(velmora.embed_reference, page, "https://example.com/m.c2pa"),
    }
    return {name: (call, len(call())) for name, call in calls.items()}


def writing(settings: Settings, card: Scorecard) -> None:
    table = Table(
        "Writing operations vs one bytes copy of an output of the same size",
        ["page", "operation", "results", "velmora", "velmora rate", "copy", "time ratio v/c",
         "target"],
        "remove runs on the page with an inline manifest, embed (a "
        f"{fmt_size(PAGE_STORE_SIZE)} store) and embed_reference on the page without. The "
        "anchor is bytes(memoryview(out)), a copy of the output. Kept: the "
        f"last results stay alive (up to {fmt_size(KEPT_BYTES)}), so every call writes into "
        "memory no recent result freed.",
    )
    for size in settings.write_sizes:
        for name, (call, out_size) in writers(size).items():
            # A copy of the output itself: bytes(n) may be backed by the kernel's one page
            # of zeros, which stays in the cache however large n is.
            model = call()
            for results in ("dropped", "kept"):
                ours_fn, copy_fn = call, partial(copy_of, model)
                if results == "kept":
                    ours_fn, copy_fn = kept_alive(call, out_size), kept_alive(copy_fn, out_size)
                ours, theirs = settings.measure(ours_fn, copy_fn)
                ratio = ours / theirs
                verdict = card.judge(
                    WRITE_TARGET, ratio,
                    f"{name} at {fmt_size(size)}, results {results}, time over a copy",
                )
                table.add(
                    fmt_size(size), name, results, fmt_time(ours), fmt_rate(rate(out_size, ours)),
                    fmt_time(theirs), fmt_ratio(ratio), verdict,
                )
    table.print()


PEAK_PAGE_SIZE = 1 << 30
PEAK_TARGETS = {name: at_most(2.05) for name in ("remove", "embed", "embed_reference")}
PEAK_OPERATIONS = (*PEAK_TARGETS, "compute_data_hash", "extract", "locate_all")


def peak_page() -> bytes:
    """A 1 GiB page with an inline manifest: a 1 MiB page's body repeated."""
    small = page_with_manifest(MIB)
    body = small.index(b"<body")
    repeats = (PEAK_PAGE_SIZE - body) // (len(small) - body)
    return b"".join([small[:body], small[body:] * repeats])


def peak_child(operation: str) -> None:
    """Prints the peak resident memory of one call over the page's size; run in a
    child process so that the benchmark itself stays small."""
    doc = peak_page()
    calls = {
        "remove": partial(velmora.remove, doc),
        "embed": partial(velmora.embed, doc, pages.store(PAGE_STORE_SIZE)),
        "embed_reference": partial(velmora.embed_reference, doc, "https://example.com/m.c2pa"),
        "compute_data_hash": partial(velmora.compute_data_hash, doc),
        "extract": partial(velmora.extract, doc),
        "locate_all": partial(velmora.locate_all, doc),
    }
    # Resets the high-water mark, so that building the page does not count.
    Path("/proc/self/clear_refs").write_text("5")
    result = calls[operation]()
    status = Path("/proc/self/status").read_text()
    peak_kib = int(next(line for line in status.splitlines() if line.startswith("VmHWM:")).split()[1])
    del result
    print(peak_kib * KIB / len(doc))


def peak_memory(card: Scorecard) -> None:
    table = Table(
        f"Peak memory on a {fmt_size(PEAK_PAGE_SIZE)} page with an inline manifest",
        ["operation", "peak / page", "target"],
        "Peak resident memory of a child process during one call (the interpreter included, "
        "building the page excluded), over the page's size: the page itself counts 1.",
    )
    if not Path("/proc/self/clear_refs").exists():
        table.print("Skipped: needs Linux's /proc/self/clear_refs.")
        return
    for operation in PEAK_OPERATIONS:
        child = subprocess.run(
            [sys.executable, __file__, "--peak-child", operation],
            check=True, capture_output=True, text=True,
        )
        ratio = float(child.stdout)
        verdict = card.judge(PEAK_TARGETS.get(operation), ratio, f"peak memory of {operation}")
        table.add(operation, fmt_ratio(ratio), verdict)
    table.print()


LOCATOR_TARGET = at_least(100)


def locate_vs_htmlparser(settings: Settings, card: Scorecard) -> None:
    table = Table(
        "locate_all and extract vs the html.parser locator",
        ["page", "manifest", "operation", "velmora", "velmora rate", "html.parser",
         "html.parser rate", "speed-up a/v"],
        "The html.parser locator stops at the end of the head; velmora's time is for the "
        "whole call. Rates count the page's bytes, so a rate beyond memory bandwidth means "
        "the call stopped reading at the head. The speed-up target applies to the real "
        "pages (--corpus); these rows show how it varies with page size.",
    )
    checks = agreed = 0
    for size in settings.page_sizes:
        cases = [
            ("no", synthetic_page(size), "locate_all", velmora.locate_all, anchor.locate_all),
            (
                "inline", page_with_manifest(size), "locate_all",
                velmora.locate_all, anchor.locate_all,
            ),
            ("inline", page_with_manifest(size), "extract", velmora.extract, anchor.extract),
        ]
        for manifest, doc, name, ours_fn, theirs_fn in cases:
            checks += 1
            agreed += card.expect(
                ours_fn(doc) == theirs_fn(doc),
                f"html.parser {name} disagrees with velmora on the {fmt_size(size)} page",
            )
            ours, theirs = settings.measure(partial(ours_fn, doc), partial(theirs_fn, doc))
            table.add(
                fmt_size(size), manifest, name, fmt_time(ours), fmt_rate(rate(len(doc), ours)),
                fmt_time(theirs), fmt_rate(rate(len(doc), theirs)), fmt_ratio(theirs / ours),
            )
    table.print(f"Sanity: the html.parser locator agrees with velmora in {agreed}/{checks} cases.")


HOSTILE_RATE = at_least(300e6, "≥300 MB/s", fmt_rate)
FULL_SCAN_RATE = at_least(1e9, "≥1 GB/s", fmt_rate)
LINEARITY = at_most(5.0, "≈4 (≤5)")


def once_ns(doc: bytes) -> int:
    start = time.perf_counter_ns()
    velmora.locate_all(doc)
    return time.perf_counter_ns() - start


def hostile(settings: Settings, card: Scorecard) -> None:
    small, large = settings.hostile_sizes
    table = Table(
        "locate_all on hostile documents and a full scan of ordinary markup",
        ["document", "size", "velmora", "rate", "target", f"time ×{large // small} size",
         "target"],
        "The growth column is the time at the larger size over the time at the smaller one.",
    )
    documents = {name: (make, HOSTILE_RATE) for name, make in pages.HOSTILE.items()}
    documents["no head start tag, ordinary markup (full scan)"] = (
        partial(pages.page, head_tag=False), FULL_SCAN_RATE,
    )
    for name, (make, target) in documents.items():
        docs = {small: make(small)}
        if once_ns(docs[small]) <= HOSTILE_GIVE_UP_NS:
            docs[large] = make(large)
        else:
            card.missed.append(f"{name}: too slow to try {fmt_size(large)}")
        locators = [partial(velmora.locate_all, doc) for doc in docs.values()]
        timings = dict(zip(docs, settings.measure(*locators)))
        for size, ours in timings.items():
            speed = rate(size, ours)
            growth = ["", ""]
            if size == large:
                ratio = ours / timings[small]
                growth = [fmt_ratio(ratio), card.judge(LINEARITY, ratio, f"{name}, growth")]
            verdict = card.judge(target, speed, f"{name} at {fmt_size(size)}")
            table.add(name, fmt_size(size), fmt_time(ours), fmt_rate(speed), verdict, *growth)
    table.print()


@dataclass
class PageResult:
    size: int
    locate: tuple[float, float]  # velmora, html.parser
    extract: tuple[float, float] | None  # None: no head to embed into
    round_trip: float | None


def round_trip(doc: bytes, store: bytes) -> bool:
    """Embed, read back, bind, verify and remove: each step must undo or confirm the last."""
    embedded = velmora.embed(doc, store)
    binding = velmora.compute_data_hash(embedded)
    velmora.verify_data_hash(embedded, binding["hash"], binding["exclusions"])
    return velmora.extract(embedded)["store"] == store and velmora.remove(embedded) == doc


def corpus_page(
    doc: bytes, store: bytes, budget_ns: int, card: Scorecard, name: str
) -> PageResult:
    def measure(*fns: Callable[[], object]) -> tuple[float, ...]:
        return tuple(medians_ns(fns, budget_ns))

    card.expect(velmora.locate_all(doc) == anchor.locate_all(doc), f"locate_all on {name}")
    locate = measure(partial(velmora.locate_all, doc), partial(anchor.locate_all, doc))
    try:
        embedded = velmora.embed(doc, store)
    except ValueError:
        return PageResult(len(doc), locate, None, None)
    card.expect(velmora.extract(embedded) == anchor.extract(embedded), f"extract on {name}")
    card.expect(round_trip(doc, store), f"round trip on {name}")
    extract = measure(partial(velmora.extract, embedded), partial(anchor.extract, embedded))
    (trip,) = measure(partial(round_trip, doc, store))
    return PageResult(len(doc), locate, extract, trip)


def corpus_row(
    table: Table,
    card: Scorecard,
    operation: str,
    timings: dict[str, tuple[float, float]],
    sizes: dict[str, int],
) -> None:
    """One operation over the pages: medians of the per-page times and speed-ups."""
    speedups = {name: theirs / ours for name, (ours, theirs) in timings.items()}
    median_speedup = statistics.median(speedups.values())
    worst = min(speedups, key=speedups.__getitem__)
    ours_each = [ours for ours, _ in timings.values()]
    table.add(
        operation, str(len(timings)), fmt_time(statistics.median(ours_each)),
        fmt_time(statistics.median(theirs for _, theirs in timings.values())),
        fmt_ratio(median_speedup), f"{fmt_ratio(speedups[worst])} ({worst})",
        fmt_rate(rate(sum(sizes[name] for name in timings), sum(ours_each))),
        card.judge(LOCATOR_TARGET, median_speedup, f"corpus {operation}, median speed-up"),
    )


def corpus(directory: Path, settings: Settings, card: Scorecard) -> None:
    files = sorted(directory.glob("*.html"))
    if not files:
        sys.exit(f"no *.html pages in {directory}")
    store = pages.store(PAGE_STORE_SIZE)
    failed_before = len(card.failed)
    results = {
        f.name: corpus_page(f.read_bytes(), store, settings.corpus_budget_ns, card, f.name)
        for f in files
    }
    table = Table(
        f"Corpus: {len(files)} pages of {directory}",
        ["operation", "pages", "velmora median/page", "html.parser median/page",
         "median speed-up a/v", "worst speed-up", "velmora rate", "target"],
        f"extract and the round trip run on each page with a {fmt_size(PAGE_STORE_SIZE)} store "
        "embedded; the round trip is embed, compute and verify, extract, remove. The target "
        "applies to the median speed-up; the rate is all bytes over all medians.",
    )
    embedded = {name: r for name, r in results.items() if r.extract is not None}
    sizes = {name: r.size for name, r in results.items()}
    corpus_row(table, card, "locate_all", {n: r.locate for n, r in results.items()}, sizes)
    corpus_row(table, card, "extract", {n: r.extract for n, r in embedded.items()}, sizes)
    trips = [r.round_trip for r in embedded.values()]
    table.add(
        "round trip", str(len(trips)), fmt_time(statistics.median(trips)), "", "", "",
        fmt_rate(rate(sum(r.size for r in embedded.values()), sum(trips))), "",
    )
    headless = sorted(set(results) - set(embedded))
    table.print(
        f"Sanity: {len(card.failed) - failed_before} disagreements or failed round trips over "
        f"{len(files)} pages; pages without a head to embed into: {', '.join(headless) or 'none'}."
    )


def load_average() -> str:
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def summary(card: Scorecard, seconds: float) -> None:
    print(f"\n## Summary ({seconds:.0f} s, load average at the end: {load_average()})\n")
    for title, items in (("Targets missed", card.missed), ("Sanity checks failed", card.failed)):
        print(f"{title}: {len(items) or 'none'}")
        for item in items:
            print(f"- {item}")


def kernels() -> None:
    """Builds the C++ micro-benchmarks and prints what they measure: every
    kernel this CPU runs, the portable one included."""
    root = Path(__file__).resolve().parent.parent
    build = root / "build" / "bench"
    print("\n## Kernels on their own (C++ micro-benchmarks, portable and hardware)\n")
    subprocess.run(
        ["cmake", "-S", str(root), "-B", str(build), "-DVELMORA_BENCH=ON",
         "-DCMAKE_BUILD_TYPE=Release"],
        check=True, capture_output=True,
    )
    programs = ("sha2_micro", "base64_micro", "binding_floor")
    subprocess.run(["cmake", "--build", str(build), "--target", *programs],
                   check=True, capture_output=True)
    for program in programs:
        print("```")
        sys.stdout.flush()
        subprocess.run([str(build / program)], check=True)
        print("```")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs, shorter runs")
    parser.add_argument("--corpus", type=Path, help="a folder of *.html pages")
    parser.add_argument("--kernels", action="store_true",
                        help="also build and run the C++ kernel micro-benchmarks (needs cmake)")
    parser.add_argument("--peak-child", help=argparse.SUPPRESS)
    parser.add_argument("--no-peak", action="store_true",
                        help="skip the peak memory section (needs about 3 GiB free)")
    args = parser.parse_args()
    if args.peak_child:
        peak_child(args.peak_child)
        return
    settings = QUICK if args.quick else FULL
    card = Scorecard()
    began = time.perf_counter()
    machine()
    print(f"- mode: {'quick' if args.quick else 'full'}")
    digests(settings, card)
    hard_binding(settings, card)
    writing(settings, card)
    if not (args.quick or args.no_peak):
        peak_memory(card)
    codec(settings, card)
    locate_vs_htmlparser(settings, card)
    hostile(settings, card)
    if args.corpus:
        corpus(args.corpus, settings, card)
    if args.kernels:
        kernels()
    summary(card, time.perf_counter() - began)


if __name__ == "__main__":
    main()
