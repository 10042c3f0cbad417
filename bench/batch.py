"""`velmora batch` and `velmora survey` against a loop over the same pages in one process.

    python bench/batch.py [--pages 20000] [--memory-paths 1000000] [--warc-records 5000]
                          [--memory-responses 200000]

Builds a tree of generated pages (sizes 16 to 256 KiB, a 4 KiB inline manifest each) and
two WARC files of HTML responses (gzip per record) in a temporary folder, then prints
markdown: pages/s and MB/s of `batch hash` and `batch binding` with --jobs 1 and 2 beside
the in-process loop, records/s of `survey`, and the peak memory of a batch over a
--files-from list of 10^3 and of `--memory-paths` lines (the same pages, repeated), and of
a survey of one WARC file of `--memory-responses` small responses. Needs the warc extra for
the survey rows.
"""

from __future__ import annotations

import argparse
import gzip
from importlib import metadata
import os
import resource
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from pathlib import Path

import velmora

import pages
from pages import KIB
from run import load_average, machine

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from warc_writer import Response, http_request, http_response, record  # noqa: E402

SIZES = (16 * KIB, 32 * KIB, 64 * KIB, 128 * KIB, 256 * KIB)
DISTINCT_PAGES = 50  # written again and again under other names: the content is not cached
STORE_SIZE = 4 * KIB
VELMORA = [sys.executable, "-m", "velmora_cli"]
# Peak memory of the process it runs (and of its children), in KiB.
PEAK_KIB = (
    "import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=False, "
    "stdout=subprocess.DEVNULL); print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
)


def distinct_pages() -> list[bytes]:
    store = pages.store(STORE_SIZE)
    return [
        pages.embed_inline(pages.page(SIZES[n % len(SIZES)], seed=n), store)
        for n in range(DISTINCT_PAGES)
    ]


def write_tree(root: Path, count: int, contents: Sequence[bytes]) -> tuple[list[Path], int]:
    paths, total = [], 0
    for n in range(count):
        path = root / f"{n // 1000:03}" / f"{n:05}.html"
        path.parent.mkdir(parents=True, exist_ok=True)
        content = contents[n % len(contents)]
        path.write_bytes(content)
        paths.append(path)
        total += len(content)
    return paths, total


def write_warcs(root: Path, records_each: int, contents: Sequence[bytes]) -> list[Path]:
    warcs = []
    for number in range(2):
        path = root / f"crawl-{number}.warc.gz"
        with open(path, "wb") as file:
            file.write(gzip.compress(record("warcinfo", b"software: velmora bench\r\n"), 1))
            for n in range(records_each):
                uri = f"https://site{number}.example/{n}"
                response = Response(uri, contents[n % len(contents)])
                file.write(gzip.compress(http_request(uri), 1))
                file.write(gzip.compress(http_response(response), 1))
        warcs.append(path)
    return warcs


def timed(run: Callable[[], object]) -> tuple[float, float]:
    """Wall and CPU seconds of `run`, its child processes included."""

    def cpu() -> float:
        own = resource.getrusage(resource.RUSAGE_SELF)
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime

    wall, used = time.perf_counter(), cpu()
    run()
    return time.perf_counter() - wall, cpu() - used


def velmora_command(*args: str, cwd: Path) -> None:
    done = subprocess.run(
        [*VELMORA, *args], cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
    )
    if done.returncode != 0:
        raise SystemExit(f"velmora {' '.join(args)} failed:\n{done.stderr}")


def in_process(paths: Sequence[Path], call: Callable[[bytes], object]) -> None:
    for path in paths:
        call(path.read_bytes())


def row(
    label: str, units: int, size: int, seconds: tuple[float, float], base: float, target: str
) -> str:
    wall, cpu = seconds
    return (
        f"| {label} | {units / wall:,.0f}/s | {size / wall / 1e6:,.0f} MB/s | "
        f"{cpu / units * 1e6:,.0f} µs | {base / wall:.2f}× | {target} |"
    )


def verdict(met: bool, shown: str) -> str:
    return f"{shown} {'✓' if met else '✗'}"


def batch_rows(root: Path, paths: Sequence[Path], total: int) -> None:
    print("\n## velmora batch\n")
    print(
        f"{len(paths):,} pages, {total / 1e6:,.0f} MB, from the page cache; ratios to the"
        " in-process loop (reading each file, then the call)\n"
    )
    print("| run | pages/s | MB/s | CPU per page | speed vs loop | target |")
    print("|---|---|---|---|---|---|")
    calls = {
        "hash": lambda page: velmora.inline_hash_before_embed(page),
        "binding": lambda page: velmora.compute_data_hash(page),
    }
    for operation, call in calls.items():
        loop = timed(lambda: in_process(paths, call))
        print(row(f"in-process loop, {operation}", len(paths), total, loop, loop[0], ""))

        def run(jobs: str) -> tuple[float, float]:
            return timed(
                lambda: velmora_command(
                    "batch", operation, "tree", "--jobs", jobs, "-o", os.devnull, cwd=root
                )
            )

        one, two = run("1"), run("2")
        within = verdict(loop[0] / one[0] >= 0.85, "≥0.85× the loop")
        print(row(f"`batch {operation} --jobs 1`", len(paths), total, one, loop[0], within))
        gain = one[0] / two[0]
        faster = verdict(gain >= 1.8, f"{gain:.2f}× --jobs 1, ≥1.8")
        print(row(f"`batch {operation} --jobs 2`", len(paths), total, two, loop[0], faster))


def survey_rows(root: Path, warcs: Sequence[Path], records_each: int) -> None:
    if not have_warc_reader():
        print("\n(survey skipped: the warc extra is not installed)")
        return
    reader = f"fastwarc {metadata.version('fastwarc')}"
    size = sum(path.stat().st_size for path in warcs)
    print(f"\n## velmora survey ({reader})\n")
    print(
        f"2 WARC files of {records_each:,} HTML responses each, {size / 1e6:,.0f} MB compressed\n"
    )
    print("| run | records/s | compressed MB/s | CPU per record | speed vs --jobs 1 | target |")
    print("|---|---|---|---|---|---|")
    names = [path.name for path in warcs]
    single = None
    for jobs in ("1", "2"):
        seconds = timed(lambda: velmora_command("survey", *names, "--jobs", jobs, cwd=root))
        single = single or seconds[0]
        per_core = 2 * records_each / seconds[1]
        target = verdict(per_core >= 2000, f"{per_core:,.0f}/s per core, ≥2,000")
        print(row(f"`survey --jobs {jobs}`", 2 * records_each, size, seconds, single, target))


def peak_kib(command: Sequence[str], cwd: Path) -> int:
    """The peak resident memory of the largest process `command` runs, in KiB."""
    done = subprocess.run(
        [sys.executable, "-c", PEAK_KIB, *command], cwd=cwd, capture_output=True, text=True,
        check=True,
    )
    return int(done.stdout)


def survey_memory(root: Path, records: int) -> None:
    """Peak memory of a survey of one WARC file of many small responses: with --out-dir the
    records go to their file as they are read; to standard output a file's records go whole."""
    if not have_warc_reader():
        return
    path = root / "many.warc.gz"
    page = b"<html><head><title>t</title></head><body>p</body></html>"
    with open(path, "wb") as file:
        for n in range(records):
            file.write(gzip.compress(http_response(Response(f"https://e.example/{n}", page)), 1))
    (root / "surveyed").mkdir()
    print(f"\n## Peak memory of a survey of {records:,} small responses in one WARC file\n")
    print("| output | peak RSS of any one process | target |")
    print("|---|---|---|")
    for label, output in (("--out-dir", ["--out-dir", "surveyed"]), ("standard output", [])):
        command = [*VELMORA, "survey", path.name, "--jobs", "1", *output]
        peak = peak_kib(command, root) * 1024
        target = verdict(peak < 100e6, "<100 MB") if output else ""
        print(f"| {label} | {peak / 2**20:,.1f} MiB | {target} |")


def have_warc_reader() -> bool:
    try:
        metadata.version("fastwarc")
    except metadata.PackageNotFoundError:
        return False
    return True


def peak_memory(root: Path, paths: Sequence[Path], counts: Sequence[int]) -> None:
    print("\n## Peak memory of a batch over a --files-from list\n")
    print("| paths listed | jobs | peak RSS of any one process | target |")
    print("|---|---|---|---|")
    names = [str(path.relative_to(root)) for path in paths[:1000]]
    for count in counts:
        listing = root / f"list-{count}.txt"
        with open(listing, "w") as file:
            for n in range(count):
                file.write(names[n % len(names)] + "\n")
        for jobs in ("1", "2"):
            command = [
                *VELMORA,
                "batch",
                "locate",
                "--files-from",
                listing.name,
                "--jobs",
                jobs,
                "-o",
                os.devnull,
            ]
            peak = peak_kib(command, root) * 1024  # bytes
            under = verdict(peak < 100e6, "<100 MB")
            print(f"| {count:,} | {jobs} | {peak / 2**20:,.1f} MiB | {under} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pages", type=int, default=20_000)
    parser.add_argument("--warc-records", type=int, default=5_000, help="per WARC file")
    parser.add_argument("--memory-paths", type=int, default=1_000_000)
    parser.add_argument("--memory-responses", type=int, default=200_000)
    args = parser.parse_args()
    began = time.perf_counter()
    machine()
    print("- here: one run of each command, its wall time, and the CPU time of all its processes")
    contents = distinct_pages()
    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as folder:
        root = Path(folder)
        paths, total = write_tree(root / "tree", args.pages, contents)
        batch_rows(root, paths, total)
        survey_rows(root, write_warcs(root, args.warc_records, contents), args.warc_records)
        peak_memory(root, paths, (1_000, args.memory_paths))
        survey_memory(root, args.memory_responses)
    print(f"\n{time.perf_counter() - began:.0f} s; load average at the end: {load_average()}")


if __name__ == "__main__":
    main()
