"""Time windows: BarFile.between (a binary search over the mapped records)
against a full scan (a numpy mask over the file's timestamp and span
columns), on a file of ten million one-minute bars.

    ./run bench --ranges [--results FILE]
    python benchmarks/ranges.py [--count N] [--rounds N] [--results FILE]

Windows: a day, a month and a year of bars, and everything from a month
before the end on.  Both subjects find the same bars (checked) and give
their positions: ``between`` a window over the mapping, the scan the
indices where its mask holds.  The file is read once before timing, so
both run from the page cache.  Each round times every subject once, in a
random order (wall time); a figure is the median over rounds, of
``between`` on the open file (the tickers' runs already found) and, apart,
of ``read`` and ``between`` together on a file not yet open (``read``
checks the kind byte of every record).
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

from resample import FIRST_END, minute_bars
from results_file import circumstances, replace_section

DEFAULT_COUNT = 10_000_000
DEFAULT_ROUNDS = 7
CHUNK = 1_000_000  # bars generated and written at a time: the file need not fit in memory twice
DAY = 86400.0


def write_file(path: Path, count: int) -> Path:
    from tarnwick.bars import write

    def chunks():
        for first in range(0, count, CHUNK):
            bars = minute_bars(min(CHUNK, count - first), seed=first)
            bars["timestamp"] += 60.0 * first
            yield bars

    write(path, chunks(), kind="intraday")
    return path


def windows(count: int) -> dict[str, tuple[float, float | None]]:
    """Windows in the middle of the file (and one to its end), as epoch seconds."""
    middle = FIRST_END + 30.0 * count
    last = FIRST_END + 60.0 * (count - 1)
    return {"a day (1,440 bars)": (middle, middle + DAY), "a month": (middle, middle + 30 * DAY),
            "a year": (middle - 182 * DAY, middle + 183 * DAY), "the last month, open-ended": (last - 30 * DAY, None)}


def timed(function) -> float:
    started = time.perf_counter()
    function()
    return time.perf_counter() - started


def per_call(function, calls: int) -> float:
    started = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - started) / calls


def scan(columns, start: float, end: float | None):
    import numpy

    ends = columns["timestamp"]
    mask = ends - columns["bar_span"] >= start
    if end is not None:
        mask &= ends <= end
    return numpy.flatnonzero(mask)


def measure(path: Path, count: int, rounds: int) -> dict[str, dict[str, float]]:
    from tarnwick.bars import read

    results = {}
    with read(path) as bars:
        columns = bars.columns()
        scan(columns, 0.0, None)  # into the page cache
        for label, (start, end) in windows(count).items():
            found = scan(columns, start, end)
            window = bars.between(start, end)
            first = (window.columns().ctypes.data - columns.ctypes.data) // 101
            assert len(window) == len(found) and (not len(found) or first == found[0]), label

            def fresh(start=start, end=end) -> None:
                with read(path) as again:
                    again.between(start, end)

            subjects = {"between": lambda start=start, end=end: per_call(lambda: bars.between(start, end), 200),
                        "read and between": lambda: per_call(fresh, 5),
                        "scan": lambda start=start, end=end: timed(lambda: scan(columns, start, end))}
            times: dict[str, list[float]] = {name: [] for name in subjects}
            for _ in range(rounds):
                order = list(subjects)
                random.shuffle(order)
                for name in order:
                    times[name].append(subjects[name]())
            results[label] = {name: statistics.median(taken) for name, taken in times.items()}
            results[label]["bars"] = len(window)
        del columns
    return results


def render(count: int, rounds: int, results: dict[str, dict[str, float]]) -> str:
    lines = [f"Windows of a file of {count:,} one-minute bars ({count * 101 / 1e9:.2f} GB, in the page cache); "
             f"medians of {rounds} interleaved rounds, wall time.", "",
             "| window | bars | between | read and between | full scan (numpy mask) | scan / between |",
             "|---|---:|---:|---:|---:|---:|"]
    for label, cell in results.items():
        lines.append(f"| {label} | {int(cell['bars']):,} | {cell['between'] * 1e6:.0f} µs | "
                     f"{cell['read and between'] * 1e3:.0f} ms | {cell['scan'] * 1e3:.0f} ms | "
                     f"{cell['scan'] / cell['between']:,.0f}× |")
    return "\n".join(lines)


def write_results(path: Path, text: str) -> None:
    """Replaces the time-window section of the results file (or appends it)."""
    replace_section(path, "## Time windows",
                    f"`./run bench --ranges` ({circumstances()}; `python benchmarks/ranges.py --help` for the "
                    "method).  `between` bisects the records in place, a few dozen reads of a record's time "
                    "fields per ticker, whatever the window holds; the scan reads every record's two columns.  "
                    "Opening the file is another matter: `read` checks the kind byte of every record, which is "
                    "most of the read-and-between column.\n\n"
                    f"{text}")


def run(count: int, rounds: int, results: Path | None) -> str:
    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-") as scratch:
        print(f"writing {count:,} one-minute bars ...", file=sys.stderr, flush=True)
        path = write_file(Path(scratch) / "minutes.bars", count)
        text = render(count, rounds, measure(path, count, rounds))
    print(text)
    if results is not None:
        write_results(results, text)
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=DEFAULT_COUNT, help="one-minute bars (default 10,000,000)")
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS, help="interleaved rounds (default 7)")
    parser.add_argument("--results", type=Path, help="write the section into this Markdown file")
    arguments = parser.parse_args()
    run(arguments.count, arguments.rounds, arguments.results)


if __name__ == "__main__":
    main()
