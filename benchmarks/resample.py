"""Resampling one-minute bars: tarnwick.bars.resample straight from a bar file
against the floor (a plain pass on every core) and the peers doing the same
job from a DataFrame already in memory.

    ./run bench --resample [--results FILE]
    python benchmarks/resample.py [--count N] [--tickers N] [--rounds N] [--results FILE]

Data: --count one-minute bars of --tickers tickers interleaved (time, then
ticker), consecutive minutes in America/New_York from 2020 on (so every
daylight-saving change of those years), prices to 2 decimals.

Jobs: 5-minute, hourly and daily bars.  Subjects: tarnwick (``resample``
from the file: open, map, the pass on every core); the limit
(benchmarks/limit/resample_limit.cpp: the same file mapped, every record read
once on every core, buckets of a fixed length at a fixed offset, no checks); polars (``group_by_dynamic(every=..., closed="right",
group_by="ticker")``); pandas for 5-minute bars (``groupby("ticker")
.resample("5min", closed="right", label="right")``).  The peers are checked
to make as many bars as tarnwick before they are timed.  Each round times
every subject of a job back to back in a random order (wall time); a ratio is
the median of the per-round ratios.  Memory: in child processes over half
and all of the bars, the peak resident set during one resample beyond what
was resident before, less the pages of the mapped input and the output itself.
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

HERE = Path(__file__).resolve().parent

ZONE = "America/New_York"
FIRST_END = datetime.datetime(2020, 1, 2, 9, 31, tzinfo=datetime.UTC).timestamp()
AGGREGATES = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum",
              "notional": "sum", "trade_count": "sum"}
DEFAULT_COUNT = 10_000_000
DEFAULT_TICKERS = 4
DEFAULT_ROUNDS = 7
LIMIT_TARGET = 1.2  # hourly and daily bars, against the limit
JOBS = (("5-minute bars", "5min", 300, "5m"),  # label, our span, the limit's seconds, polars' every
        ("hourly bars", "1h", 3600, "1h"),
        ("daily bars", "1d", 86400, "1d"))
NEW_YORK_WINTER = -5 * 3600  # the limit's fixed offset


def minute_bars(count: int, seed: int = 1, tickers: int = 1):
    """``count`` one-minute bars of random walks: consecutive minutes, each
    minute a bar of each of ``tickers`` tickers, as records."""
    import numpy

    from tarnwick.bars._records import record_dtype

    rng = numpy.random.default_rng(seed)
    bars = numpy.zeros(count, record_dtype())
    bars["dtype"] = 40
    names = numpy.array([f"T{i:02d}".encode() for i in range(tickers)])
    bars["ticker"] = names[numpy.arange(count) % tickers]
    bars["timestamp"] = FIRST_END + 60.0 * (numpy.arange(count) // tickers)
    bars["bar_span"] = 60.0
    close = numpy.round(100.0 * numpy.exp(numpy.cumsum(rng.normal(0.0, 0.0005, count))), 2)
    opening = numpy.concatenate([[100.0], close[:-1]])
    bars["open_price"], bars["close_price"] = opening, close
    bars["high_price"] = numpy.round(numpy.maximum(opening, close) * (1 + rng.random(count) * 1e-3), 2)
    bars["low_price"] = numpy.round(numpy.minimum(opening, close) * (1 - rng.random(count) * 1e-3), 2)
    bars["volume"] = rng.integers(100, 10_000, count).astype(float)
    bars["notional"] = bars["volume"] * close
    bars["trade_count"] = rng.integers(1, 200, count)
    return bars


def pandas_frame(bars):
    import pandas

    index = pandas.to_datetime(bars["timestamp"], unit="s", utc=True).tz_convert(ZONE)
    return pandas.DataFrame({"ticker": bars["ticker"].astype(str), "open": bars["open_price"],
                             "high": bars["high_price"], "low": bars["low_price"], "close": bars["close_price"],
                             "volume": bars["volume"], "notional": bars["notional"],
                             "trade_count": bars["trade_count"]}, index=pandas.DatetimeIndex(index, name="time"))


def polars_frame(bars):
    import polars

    time = polars.Series("time", (bars["timestamp"] * 1e6).astype("int64")).cast(polars.Datetime("us", "UTC"))
    return polars.DataFrame([
        time.dt.convert_time_zone(ZONE), polars.Series("ticker", bars["ticker"].astype(str)),
        *(polars.Series(name, bars[field]) for name, field in (
            ("open", "open_price"), ("high", "high_price"), ("low", "low_price"), ("close", "close_price"),
            ("volume", "volume"), ("notional", "notional"), ("trade_count", "trade_count")))])


def polars_job(data, every: str):
    import polars

    return lambda: data.group_by_dynamic("time", every=every, closed="right", label="right", group_by="ticker").agg(
        polars.col("open").first(), polars.col("high").max(), polars.col("low").min(), polars.col("close").last(),
        polars.col("volume").sum(), polars.col("notional").sum(), polars.col("trade_count").sum())


def pandas_job(data, rule: str):
    return lambda: data.groupby("ticker").resample(rule, closed="right", label="right").agg(AGGREGATES)


def limit_module():
    """The limit pass, compiled into the build tree when stale (as run.py compiles the bar limit)."""
    import sysconfig

    from run import build_dir, compile_if_stale

    source = HERE / "limit" / "resample_limit.cpp"
    output = build_dir() / ("_resample_limit" + sysconfig.get_config_var("EXT_SUFFIX"))
    compile_if_stale([source], output, [os.environ.get("CXX", "g++"), "-O3", "-DNDEBUG", "-std=c++20", "-Wall",
                                        "-Wextra", "-fPIC", "-shared", "-fvisibility=hidden", "-pthread",
                                        "-I" + sysconfig.get_paths()["include"], str(source), "-o", str(output)])
    sys.path.insert(0, str(output.parent))
    import _resample_limit

    return _resample_limit


def timed(function) -> float:
    started = time.perf_counter()
    function()
    return time.perf_counter() - started


def subjects_of(job: tuple, path: Path, frames: dict, limit) -> dict:
    from tarnwick.bars import resample

    label, span, seconds, every = job
    subjects = {
        "tarnwick": lambda: resample(path, span, tz=ZONE),
        "limit": lambda: limit.run(str(path), float(seconds), float(NEW_YORK_WINTER), os.cpu_count() or 1),
    }
    if "polars" in frames:
        subjects["polars"] = polars_job(frames["polars"], every)
    if "pandas" in frames and span == "5min":  # pandas is the peer ahead of which 5-minute bars must stay
        subjects["pandas"] = pandas_job(frames["pandas"], "5min")
    made = len(subjects["tarnwick"]())
    for name in ("polars", "pandas"):  # the same buckets (pandas also gives empty ones)
        if name in subjects:
            result = subjects[name]()
            got = len(result) if name == "polars" else len(result.dropna(subset=["open"]))
            assert got == made, f"{label}: {name} made {got} bars, tarnwick {made}"
    return subjects


def measure_times(path: Path, bars, rounds: int) -> dict[str, dict[str, float]]:
    frames = {}
    for name, make in (("polars", polars_frame), ("pandas", pandas_frame)):
        try:
            frames[name] = make(bars)
        except ImportError:
            print(f"{name} is not installed: left out", file=sys.stderr)
    limit = limit_module()
    results = {}
    for job in JOBS:
        subjects = subjects_of(job, path, frames, limit)
        times: dict[str, list[float]] = {name: [] for name in subjects}
        ratios: dict[str, list[float]] = {name: [] for name in subjects if name != "tarnwick"}
        for _ in range(rounds):
            order = list(subjects)
            random.shuffle(order)
            taken = {name: timed(subjects[name]) for name in order}
            for name, seconds in taken.items():
                times[name].append(seconds)
            for name in ratios:
                ratios[name].append(taken["tarnwick"] / taken[name])
        results[job[0]] = {**{name: statistics.median(values) for name, values in times.items()},
                           **{f"/{name}": statistics.median(values) for name, values in ratios.items()}}
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


def render(count: int, tickers: int, rounds: int, times: dict, memory: dict | None) -> str:
    threads = os.cpu_count()
    lines = [f"Resampling {count:,} one-minute bars of {tickers} tickers interleaved ({ZONE}); medians of {rounds} "
             f"interleaved rounds, wall time, {threads} cores.", "",
             "| job | tarnwick (from the file) | limit (every core) | / limit | target | met | polars | / polars "
             "| pandas | / pandas |", "|---|---|---|---|---|---|---|---|---|---|"]

    def cell(row: dict, name: str) -> str:
        return f"{row[name] * 1e3:.1f} ms" if name in row else "—"

    def ratio(row: dict, name: str) -> str:
        return f"{row['/' + name]:.2f}×" if "/" + name in row else "—"

    for label, row in times.items():
        hourly_or_daily = not label.startswith("5")
        if hourly_or_daily:
            target, met = f"≤ {LIMIT_TARGET}× limit", "yes" if row["/limit"] <= LIMIT_TARGET else "**no**"
        else:
            peers = [row[key] for key in ("/polars", "/pandas") if key in row]
            target, met = "ahead of every peer", "yes" if peers and max(peers) < 1 else "**no**"
        lines.append(f"| {label} | {cell(row, 'tarnwick')} | {cell(row, 'limit')} | {ratio(row, 'limit')} | "
                     f"{target} | {met} | {cell(row, 'polars')} | {ratio(row, 'polars')} | {cell(row, 'pandas')} | "
                     f"{ratio(row, 'pandas')} |")
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
                    "method).  The native pass reads each 101-byte record in place from the mapped file, asks "
                    "for records well ahead of the one it works on, and splits a large file into ranges that "
                    f"threads resample apart, joined into the one pass's result.\n\n{text}")


def run(count: int, rounds: int, results: Path | None, with_memory: bool = True,
        tickers: int = DEFAULT_TICKERS) -> str:
    from tarnwick.bars import write

    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-") as scratch:
        print(f"writing {count:,} one-minute bars ...", file=sys.stderr, flush=True)
        bars = minute_bars(count, tickers=tickers)
        path = Path(scratch) / "minutes.bars"
        write(path, bars, kind="intraday")
        times = measure_times(path, bars, rounds)
        memory = None
        if with_memory:
            half = Path(scratch) / "half.bars"
            write(half, bars[: count // 2], kind="intraday")
            del bars
            memory = measure_memory({count // 2: half, count: path})
    text = render(count, tickers, rounds, times, memory)
    print(text)
    if results is not None:
        write_results(results, text)
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=DEFAULT_COUNT, help="one-minute bars (default 10,000,000)")
    parser.add_argument("--tickers", type=int, default=DEFAULT_TICKERS, help="tickers interleaved (default 4)")
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS, help="interleaved rounds (default 7)")
    parser.add_argument("--results", type=Path, help="write the section into this Markdown file")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    parser.add_argument("--memory-child", nargs=2, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.memory_child:
        memory_child(*arguments.memory_child)
        return
    run(arguments.count, arguments.rounds, arguments.results, not arguments.no_memory, arguments.tickers)


if __name__ == "__main__":
    main()
