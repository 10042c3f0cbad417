"""How many real pages each cause of a difference between velmora's view of the
head and the view of browsers affects (`velmora check`, with the check extra):

    python bench/browser_view.py ../shared/corpus

Prints a markdown table: for each cause, the pages where it occurs with
scripting off, with scripting on, and in either mode; then the pages on which
an element `embed` inserts would not be in the head for browsers, and the time
the checks took.
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import time

from velmora_cli import browsers


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus", type=pathlib.Path, help="a folder of .html pages")
    pages = sorted(parser.parse_args().corpus.glob("*.html"))
    affected: dict = collections.defaultdict(lambda: collections.defaultdict(set))
    misplaced: dict = collections.defaultdict(set)
    began = time.perf_counter()
    total = 0
    for path in pages:
        page = path.read_bytes()
        total += len(page)
        report = browsers.check(page)
        for difference in report.differences:
            for mode in difference.scripting:
                affected[difference.cause][mode].add(path.name)
        for view in report.views:
            if view.insertion not in (None, browsers.IN_HEAD):
                misplaced[view.scripting].add(path.name)
    seconds = time.perf_counter() - began
    print(f"{len(pages)} pages, {total / 1e6:.1f} MB, checked in {seconds:.1f} s\n")
    print("| cause | scripting off | scripting on | either |")
    print("| --- | ---: | ---: | ---: |")
    rows = sorted(
        ((cause, affected[cause]) for cause in browsers.CAUSES),
        key=lambda item: -len(item[1]["off"] | item[1]["on"]),
    )
    for cause, modes in rows:
        print(
            f"| {cause} | {len(modes['off'])} | {len(modes['on'])} "
            f"| {len(modes['off'] | modes['on'])} |"
        )
    either = misplaced["off"] | misplaced["on"]
    print(
        f"| embed's element not in the head | {len(misplaced['off'])} | {len(misplaced['on'])} "
        f"| {len(either)} |"
    )
    for cause, modes in rows:
        if modes["off"] | modes["on"]:
            print(f"\n{cause}: {', '.join(sorted(modes['off'] | modes['on']))}")


if __name__ == "__main__":
    main()
