"""Resampling one-minute bars: tarnwick.bars.resample straight from a bar file
against pandas doing the same job from a DataFrame already in memory.

    ./run bench --resample [--results FILE]
    python benchmarks/resample.py [--count N] [--rounds N] [--results FILE]

Jobs: 5-minute bars (pandas: resample("5min", closed="right", label="right"))
and daily bars (pandas: resample("1D", closed="right", label="left") on the
end stamps), over --count one-minute bars in America/New_York.  Each round
times both subjects of a job back to back in a random order (wall time: the
native pass and pandas both run in one thread); a ratio is the median of the
per-round ratios.  Memory: in child processes over half and all of the bars,
the peak resident set during one resample beyond what was resident before,
less the pages of the mapped input and the output itself.
"""

from __future__ import annotations

import argparse
import datetime
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from results_file import circumstances, replace_section

ZONE = "America/New_York"
FIRST_END = datetime.datetime(2020, 1, 2, 9, 31, tzinfo=datetime.UTC).timestamp()
AGGREGATES = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum",
              "notional": "sum", "trade_count": "sum"}
DEFAULT_COUNT = 2_000_000
DEFAULT_ROUNDS = 7
JOBS = (("5-minute bars", "5min", "5min", "right"),  # label, our span, pandas' rule and label
        ("daily bars", "1d", "1D", "left"))


def minute_bars(count: int, seed: int = 1):
    """``count`` consecutive one-minute bars of a random walk, as records."""
    import numpy

    from tarnwick.bars._records import record_dtype

    rng = numpy.random.default_rng(seed)
    bars = numpy.zeros(count, record_dtype())
    bars["dtype"] = 40
    bars["ticker"] = b"ABC"
    bars["timestamp"] = FIRST_END + 60.0 * numpy.arange(count)
    bars["bar_span"] = 60.0
    close = 100.0 * numpy.exp(numpy.cumsum(rng.normal(0.0, 0.0005, count)))
    opening = numpy.concatenate([[100.0], close[:-1]])
    bars["open_price"], bars["close_price"] = opening, close
    bars["high_price"] = numpy.maximum(opening, close) * (1 + rng.random(count) * 1e-3)
    bars["low_price"] = numpy.minimum(opening, close) * (1 - rng.random(count) * 1e-3)
    bars["volume"] = rng.integers(100, 10_000, count).astype(float)
    bars["notional"] = bars["volume"] * close
    bars["trade_count"] = rng.integers(1, 200, count)
    return bars


def frame(bars):
    import pandas

    index = pandas.to_datetime(bars["timestamp"], unit="s", utc=True).tz_convert(ZONE)
    return pandas.DataFrame({"open": bars["open_price"], "high": bars["high_price"], "low": bars["low_price"],
                             "close": bars["close_price"], "volume": bars["volume"],
                             "notional": bars["notional"], "trade_count": bars["trade_count"]},
                            index=pandas.DatetimeIndex(index))


def timed(function) -> float:
    started = time.perf_counter()
    function()
    return time.perf_counter() - started


def measure_times(path: Path, count: int, rounds: int) -> dict[str, dict[str, float]]:
    from tarnwick.bars import resample

    data = frame(minute_bars(count))
    results = {}
    for label, span, rule, side in JOBS:
        subjects = {
            "tarnwick": lambda span=span: resample(path, span, tz=ZONE),
            "pandas": lambda rule=rule, side=side: data.resample(rule, closed="right", label=side).agg(AGGREGATES),
        }
        # The same buckets (pandas also gives an empty one before the first bar).
        assert len(subjects["tarnwick"]()) == len(subjects["pandas"]().dropna(subset=["open"])), label
        times: dict[str, list[float]] = {name: [] for name in subjects}
        ratios = []
        for _ in range(rounds):
            order = list(subjects)
            random.shuffle(order)
            taken = {name: timed(subjects[name]) for name in order}
            for name, seconds in taken.items():
                times[name].append(seconds)
            ratios.append(taken["tarnwick"] / taken["pandas"])
        results[label] = {"tarnwick": statistics.median(times["tarnwick"]),
                          "pandas": statistics.median(times["pandas"]), "ratio": statistics.median(ratios)}
    return results


def _status(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


def memory_child(path: str, span: str) -> None:
    from tarnwick.bars import resample

    before = _status("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # the peak starts again from here
    bars = resample(path, span, tz=ZONE)
    peak = _status("VmHWM")
    print(peak - before - os.path.getsize(path) - len(memoryview(bars)), len(memoryview(bars)))


def measure_memory(paths: dict[int, Path]) -> dict[str, dict[int, tuple[int, int]]]:
    out: dict[str, dict[int, tuple[int, int]]] = {}
    for label, span, _, _ in JOBS:
        out[label] = {}
        for count, path in paths.items():
            done = subprocess.run([sys.executable, __file__, "--memory-child", str(path), span],
                                  capture_output=True, text=True, check=True)
            beyond, output = (int(x) for x in done.stdout.split())
            out[label][count] = (beyond, output)
    return out


def write_file(path: Path, count: int) -> Path:
    from tarnwick.bars import write

    write(path, minute_bars(count), kind="intraday")
    return path


def render(count: int, rounds: int, times: dict, memory: dict | None) -> str:
    lines = [f"Resampling {count:,} one-minute bars ({ZONE}); medians of {rounds} interleaved rounds, wall time.",
             "", "| job | tarnwick (from the file) | pandas (from a DataFrame) | ratio | target | met |",
             "|---|---|---|---|---|---|"]
    for label, cell in times.items():
        lines.append(f"| {label} | {cell['tarnwick'] * 1e3:.1f} ms | {cell['pandas'] * 1e3:.1f} ms | "
                     f"{cell['ratio']:.2f}× | ≤ 0.5× | {'yes' if cell['ratio'] <= 0.5 else '**no**'} |")
    if memory:
        counts = sorted(next(iter(memory.values())))
        lines += ["", "Memory of one resample beyond the mapped input and the output (peak resident set):", "",
                  "| job | " + " | ".join(f"{c:,} bars" for c in counts) + " | output at the most |",
                  "|---|" + "---|" * (len(counts) + 1)]
        for label, cells in memory.items():
            lines.append(f"| {label} | " + " | ".join(f"{max(cells[c][0], 0) / 2**20:.1f} MB" for c in counts)
                         + f" | {cells[counts[-1]][1] / 2**20:.1f} MB |")
    return "\n".join(lines)


def write_results(path: Path, text: str) -> None:
    """Replaces the resampling section of the results file (or appends it)."""
    replace_section(path, "## Resampling",
                    f"`./run bench --resample` ({circumstances()}; `python benchmarks/resample.py --help` for the "
                    "method).  The native pass reads each 101-byte record in place from the mapped file and asks "
                    "for records well ahead of the one it works on; without that it waited on memory and took "
                    f"twice as long.\n\n{text}")


def run(count: int, rounds: int, results: Path | None, with_memory: bool = True) -> str:
    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-") as scratch:
        print(f"writing {count:,} one-minute bars ...", file=sys.stderr, flush=True)
        path = write_file(Path(scratch) / "minutes.bars", count)
        times = measure_times(path, count, rounds)
        memory = None
        if with_memory:
            half = write_file(Path(scratch) / "half.bars", count // 2)
            memory = measure_memory({count // 2: half, count: path})
    text = render(count, rounds, times, memory)
    print(text)
    if results is not None:
        write_results(results, text)
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=DEFAULT_COUNT, help="one-minute bars (default 2,000,000)")
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS, help="interleaved rounds (default 7)")
    parser.add_argument("--results", type=Path, help="write the section into this Markdown file")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    parser.add_argument("--memory-child", nargs=2, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.memory_child:
        memory_child(*arguments.memory_child)
        return
    run(arguments.count, arguments.rounds, arguments.results, not arguments.no_memory)


if __name__ == "__main__":
    main()
