"""Bars from trades: tarnwick.bars.aggregate against the peers users would
pick, against a plain C pass over the same columns, and against the numpy
recipe for volume bars.

    ./run bench --aggregate [--results FILE]
    python benchmarks/aggregate.py [--count N] [--csv-count N] [--rounds N] [--results FILE]

Data: --count trades (time, price, size) from tarnwick.bars._synthetic: a
random walk with clustered arrivals over six sessions in America/New_York,
across the change to daylight-saving time.

Jobs, each subject checked to give the same bars before it is timed:
- one-minute bars from arrays in memory: ours on the three arrays; polars
  ``group_by_dynamic(every="1m", closed="left", label="left")`` with
  first/max/min/last/sum, pandas ``resample("1min").agg(...)`` and DuckDB
  ``time_bucket`` with ``arg_min``/``arg_max``, each on its own frame or
  table built beforehand from the same arrays (not timed: the most favourable
  reading for them); the C pass (benchmarks/limit/trade_pass.cpp).
- one-minute bars from a CSV file on disk (--csv-count trades), end to end:
  ours ``aggregate`` on the file; theirs read the file and group.
- volume and value bars from arrays: ours, the C pass (which splits trades
  as ours does), and the numpy recipe users write (``cumsum`` and
  ``searchsorted``, which does not split trades).

Method: wall time; each round runs every subject of a job once in a fresh
random order; a figure is the median over --rounds rounds, with the spread
(lowest to highest); a ratio is the median of the per-round ratios.  Peers
are installed with pip when missing (the ``bench`` extra lists them).
"""

from __future__ import annotations

import argparse
import ctypes
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy

from results_file import circumstances, replace_section

HERE = Path(__file__).resolve().parent
ZONE = "America/New_York"
DEFAULT_COUNT = 20_000_000
DEFAULT_CSV_COUNT = 20_000_000
DEFAULT_ROUNDS = 5
VOLUME = 5_000.0  # units per volume bar: a few dozen trades
VALUE = 500_000.0  # notional per value bar
PEERS = (("polars", "polars>=1.1"), ("pandas", "pandas>=2.2"), ("duckdb", "duckdb>=1.0"))

Job = dict[str, Callable[[], object]]


# ---- preparation -------------------------------------------------------------------------


def install_peers(notes: list[str]) -> None:
    import importlib.util

    for module, requirement in PEERS:
        if importlib.util.find_spec(module) is None:
            print(f"installing {requirement} ...", file=sys.stderr, flush=True)
            done = subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", requirement],
                                  capture_output=True, text=True)
            importlib.invalidate_caches()
            if done.returncode or importlib.util.find_spec(module) is None:
                notes.append(f"{module} did not install: left out")


def c_pass() -> ctypes.CDLL:
    """The C pass, compiled into the build tree when its source is newer."""
    build = Path(os.environ.get("TARNWICK_BUILD", HERE.parent / "build"))
    source, library = HERE / "limit" / "trade_pass.cpp", build / "bench" / "trade_pass.so"
    if not library.exists() or library.stat().st_mtime < source.stat().st_mtime:
        library.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([os.environ.get("CXX", "g++"), "-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-shared",
                        str(source), "-o", str(library)], check=True)
    loaded = ctypes.CDLL(str(library))
    pointer, size = ctypes.c_void_p, ctypes.c_size_t
    loaded.minute_bars.argtypes = [pointer, pointer, pointer, size, pointer]
    loaded.volume_bars.argtypes = loaded.value_bars.argtypes = [pointer, pointer, size, ctypes.c_double, pointer]
    for function in (loaded.minute_bars, loaded.volume_bars, loaded.value_bars):
        function.restype = size
    return loaded


def _address(array: numpy.ndarray) -> int:
    return array.ctypes.data


# ---- the subjects ------------------------------------------------------------------------


def ours(source: object, **rule: object) -> numpy.ndarray:
    """Our bars as a numpy array of records."""
    from tarnwick.bars import RECORD_DTYPE, aggregate

    bars = aggregate(source, tz=ZONE, **rule)
    return numpy.frombuffer(memoryview(bars), RECORD_DTYPE)


def ours_bars(bars: numpy.ndarray) -> dict[str, numpy.ndarray]:
    return {"start": bars["timestamp"] - bars["bar_span"], "open": bars["open_price"], "high": bars["high_price"],
            "low": bars["low_price"], "close": bars["close_price"], "volume": bars["volume"]}


def c_minutes(library: ctypes.CDLL, times, prices, sizes) -> dict[str, numpy.ndarray]:
    out = numpy.empty((len(times), 5))
    made = library.minute_bars(_address(times), _address(prices), _address(sizes), len(times), _address(out))
    return dict(zip(("open", "high", "low", "close", "volume"), out[:made].T))


def c_fixed(library: ctypes.CDLL, which: str, prices, sizes, threshold: float) -> dict[str, numpy.ndarray]:
    out = numpy.empty((len(prices) + int(numpy.sum(sizes if which == "volume" else sizes * prices) / threshold) + 1,
                       5))
    made = getattr(library, f"{which}_bars")(_address(prices), _address(sizes), len(prices), threshold, _address(out))
    return dict(zip(("open", "high", "low", "close", "volume"), out[:made].T))


def numpy_recipe(prices, sizes, threshold: float, value: bool) -> dict[str, numpy.ndarray]:
    """Volume (or value) bars as users write them with numpy: a bar ends at the
    first trade whose running total reaches the next multiple (no split)."""
    running = numpy.cumsum(sizes * prices if value else sizes)
    ends = numpy.unique(numpy.searchsorted(running, numpy.arange(threshold, running[-1], threshold)))
    starts = numpy.concatenate(([0], ends + 1))
    starts = starts[starts < len(prices)]
    return {"open": prices[starts], "high": numpy.maximum.reduceat(prices, starts),
            "low": numpy.minimum.reduceat(prices, starts), "close": prices[numpy.append(starts[1:], len(prices)) - 1],
            "volume": numpy.add.reduceat(sizes, starts)}


def polars_frame(times, prices, sizes):
    import polars

    return polars.DataFrame({"time": (times * 1e6).round().astype(numpy.int64), "price": prices, "size": sizes}) \
        .with_columns(polars.from_epoch("time", time_unit="us").dt.replace_time_zone("UTC")
                      .dt.convert_time_zone(ZONE))


def polars_minutes(frame) -> dict[str, numpy.ndarray]:
    import polars

    bars = frame.group_by_dynamic("time", every="1m", closed="left", label="left").agg(
        polars.col("price").first().alias("open"), polars.col("price").max().alias("high"),
        polars.col("price").min().alias("low"), polars.col("price").last().alias("close"),
        polars.col("size").sum().alias("volume"))
    return {"start": bars["time"].dt.epoch("us").to_numpy() / 1e6,
            **{name: bars[name].to_numpy() for name in ("open", "high", "low", "close", "volume")}}


def pandas_frame(times, prices, sizes):
    import pandas

    index = pandas.DatetimeIndex(pandas.to_datetime((times * 1e6).round().astype(numpy.int64), unit="us", utc=True)
                                 .tz_convert(ZONE))
    return pandas.DataFrame({"price": prices, "size": sizes}, index=index)


def pandas_minutes(frame) -> dict[str, numpy.ndarray]:
    bars = frame.resample("1min").agg({"price": ["first", "max", "min", "last"], "size": "sum"})
    bars = bars[bars[("price", "first")].notna()]
    start = bars.index.as_unit("us").asi8 / 1e6
    return {"start": start, **{name: bars[column].to_numpy() for name, column in
                                (("open", ("price", "first")), ("high", ("price", "max")), ("low", ("price", "min")),
                                 ("close", ("price", "last")), ("volume", ("size", "sum")))}}


_DUCK_MINUTES = """
    SELECT epoch_us(time_bucket(INTERVAL '1 minute', time)) / 1e6 AS start,
           arg_min(price, seq) AS open, max(price) AS high, min(price) AS low, arg_max(price, seq) AS close,
           sum(size) AS volume
    FROM {table} GROUP BY 1 ORDER BY 1"""


def duckdb_table(times, prices, sizes):
    import duckdb
    import pyarrow

    connection = duckdb.connect()
    micros = pyarrow.array((times * 1e6).round().astype(numpy.int64)).cast(pyarrow.timestamp("us", "UTC"))
    # seq orders trades of one microsecond as they came (arg_min on the time alone picks any of them)
    table = pyarrow.table({"time": micros, "price": prices, "size": sizes, "seq": numpy.arange(len(times))})
    connection.register("trades", table)
    return connection


def duckdb_minutes(connection, table: str = "trades") -> dict[str, numpy.ndarray]:
    result = connection.execute(_DUCK_MINUTES.format(table=table)).fetchnumpy()
    return {name: numpy.asarray(result[name], dtype=numpy.float64) for name in result}


# ---- CSV, end to end ----------------------------------------------------------------------


def write_csv(path: Path, times, prices, sizes) -> None:
    import pyarrow
    import pyarrow.csv

    micros = (times * 1e6).round().astype(numpy.int64)  # epoch microseconds, as exchanges dump them
    pyarrow.csv.write_csv(pyarrow.table({"time": micros, "price": prices, "size": sizes}), path)


def polars_csv(path: Path) -> dict[str, numpy.ndarray]:
    import polars

    frame = polars.read_csv(path).with_columns(
        polars.from_epoch("time", time_unit="us").dt.replace_time_zone("UTC").dt.convert_time_zone(ZONE))
    return polars_minutes(frame)


def pandas_csv(path: Path) -> dict[str, numpy.ndarray]:
    import pandas

    frame = pandas.read_csv(path, engine="pyarrow")
    frame.index = pandas.to_datetime(frame.pop("time"), unit="us", utc=True).dt.tz_convert(ZONE)
    return pandas_minutes(frame)


def duckdb_csv(path: Path) -> dict[str, numpy.ndarray]:
    import duckdb

    connection = duckdb.connect()
    connection.execute(f"CREATE VIEW trades AS SELECT make_timestamp(time) AS time, price, size, "
                       f"row_number() OVER () AS seq FROM read_csv('{path}')")
    return duckdb_minutes(connection)


# ---- checking and timing -------------------------------------------------------------------


def same_bars(name: str, got: dict[str, numpy.ndarray], expected: dict[str, numpy.ndarray]) -> None:
    """Refuses to time a subject whose bars differ from ours."""
    for field, values in expected.items():
        if field in got:
            other = got[field]
            if len(other) != len(values) or not numpy.allclose(other, values, rtol=1e-9, atol=1e-6):
                wrong = numpy.flatnonzero(~numpy.isclose(other[:len(values)], values[:len(other)]))[:1]
                raise SystemExit(f"{name} gives other bars than ours: {field} of {len(other)} bars against "
                                 f"{len(values)}, first difference at {wrong}")


def time_job(subjects: Job, rounds: int, base: str) -> dict[str, tuple[float, float, float, float]]:
    """Each subject's median, lowest and highest seconds, and the median of
    ``base``'s time over its time, paired by round."""
    seconds: dict[str, list[float]] = {name: [] for name in subjects}
    for _ in range(rounds):
        order = list(subjects)
        random.shuffle(order)
        for name in order:
            started = time.perf_counter()
            subjects[name]()
            seconds[name].append(time.perf_counter() - started)
    return {name: (statistics.median(taken), min(taken), max(taken),
                   statistics.median(b / t for b, t in zip(seconds[base], taken))) for name, taken in seconds.items()}


def render_job(title: str, figures: dict[str, tuple[float, float, float, float]], base: str,
               targets: dict[str, float]) -> list[str]:
    lines = [f"**{title}**", "", "| subject | median | spread | ours ÷ it | target | met |",
             "|---|---:|---:|---:|---|---|"]
    for name, (median, low, high, ratio) in figures.items():
        target = targets.get(name)
        met = "" if target is None else ("yes" if ratio <= target else "**no**")
        lines.append(f"| {name} | {median * 1e3:,.0f} ms | {low * 1e3:,.0f}–{high * 1e3:,.0f} ms | "
                     f"{'' if name == base else f'{ratio:.2f}'} | {'' if target is None else f'≤ {target}'} | {met} |")
    return lines + [""]


def fastest_peer(figures: dict[str, tuple[float, float, float, float]], peers: list[str]) -> str | None:
    present = [name for name in peers if name in figures]
    return min(present, key=lambda name: figures[name][0]) if present else None


# ---- the jobs ------------------------------------------------------------------------------


def minute_job(arrays: tuple[numpy.ndarray, ...], library: ctypes.CDLL, rounds: int) -> list[str]:
    times, prices, sizes = arrays
    expected = ours_bars(ours(arrays, span="1min"))
    job: Job = {"tarnwick": lambda: ours(arrays, span="1min")}
    same_bars("C pass", c_minutes(library, *arrays), {k: v for k, v in expected.items() if k != "start"})
    job["C pass"] = lambda: c_minutes(library, *arrays)
    peers = []
    for name, make, group in (("polars", polars_frame, polars_minutes), ("pandas", pandas_frame, pandas_minutes),
                              ("DuckDB", duckdb_table, duckdb_minutes)):
        try:
            prepared = make(times, prices, sizes)
        except ImportError:
            continue
        same_bars(name, group(prepared), expected)
        job[name] = lambda group=group, prepared=prepared: group(prepared)
        peers.append(name)
    figures = time_job(job, rounds, "tarnwick")
    targets = {"C pass": 2.0}
    fastest = fastest_peer(figures, peers)
    if fastest is not None:
        targets[fastest] = 0.5
    return render_job(f"One-minute bars of {len(times):,} trades from arrays in memory", figures, "tarnwick",
                      targets)


def csv_job(path: Path, rounds: int) -> list[str]:
    expected = ours_bars(ours(path, span="1min"))
    job: Job = {"tarnwick": lambda: ours(path, span="1min")}
    peers = []
    for name, function in (("polars", polars_csv), ("pandas", pandas_csv), ("DuckDB", duckdb_csv)):
        try:
            same_bars(name, function(path), expected)
        except ImportError:
            continue
        job[name] = lambda function=function: function(path)
        peers.append(name)
    figures = time_job(job, rounds, "tarnwick")
    fastest = fastest_peer(figures, peers)
    size = path.stat().st_size / 2**20
    return render_job(f"One-minute bars from a CSV file of {size:,.0f} MB, end to end", figures, "tarnwick",
                      {} if fastest is None else {fastest: 1.0})


def fixed_job(arrays: tuple[numpy.ndarray, ...], library: ctypes.CDLL, rounds: int) -> list[str]:
    _, prices, sizes = arrays
    lines = []
    for which, threshold in (("volume", VOLUME), ("value", VALUE)):
        expected = ours_bars(ours(arrays, **{which: threshold}))
        del expected["start"]
        same_bars("C pass", c_fixed(library, which, prices, sizes, threshold), expected)
        job: Job = {"tarnwick": lambda which=which, threshold=threshold: ours(arrays, **{which: threshold}),
                    "C pass": lambda which=which, threshold=threshold: c_fixed(library, which, prices, sizes,
                                                                                 threshold),
                    "numpy cumsum + searchsorted": lambda threshold=threshold, value=which == "value":
                        numpy_recipe(prices, sizes, threshold, value)}
        figures = time_job(job, rounds, "tarnwick")
        lines += render_job(f"{which.capitalize()} bars of {threshold:,.0f} from {len(prices):,} trades in memory "
                            "(the numpy recipe splits no trade, so its bars differ)", figures, "tarnwick",
                            {"C pass": 2.0, "numpy cumsum + searchsorted": 1.0})
    return lines


def run(count: int, csv_count: int, rounds: int, results: Path | None) -> str:
    from tarnwick.bars._synthetic import synthetic_trades

    notes: list[str] = []
    install_peers(notes)
    library = c_pass()
    print(f"making {count:,} trades ...", file=sys.stderr, flush=True)
    arrays = synthetic_trades(count)
    lines = [f"{count:,} synthetic trades over six sessions in {ZONE} across the change to daylight-saving time; "
             f"wall time, medians of {rounds} interleaved rounds.  \"ours ÷ it\" is the median per-round ratio of "
             "our time to the subject's; the targets: at most twice the C pass, half the fastest peer's time in "
             "memory, the fastest peer's time from a CSV file, and the numpy recipe's time.", ""]
    lines += minute_job(arrays, library, rounds)
    lines += fixed_job(arrays, library, rounds)
    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-") as scratch:
        path = Path(scratch) / "trades.csv"
        print(f"writing {csv_count:,} trades as CSV ...", file=sys.stderr, flush=True)
        write_csv(path, *synthetic_trades(csv_count, seed=1))
        del arrays
        lines += csv_job(path, rounds)
    lines += [f"- {note}" for note in notes]
    text = "\n".join(lines).rstrip()
    print(text)
    if results is not None:
        replace_section(results, "## Bars from trades",
                        f"`./run bench --aggregate` ({circumstances()}; `python benchmarks/aggregate.py --help` "
                        f"for the method).\n\n{text}")
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=DEFAULT_COUNT, help="trades in memory (default 20,000,000)")
    parser.add_argument("--csv-count", type=int, default=DEFAULT_CSV_COUNT,
                        help="trades in the CSV file (default 20,000,000)")
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS, help="interleaved rounds (default 5)")
    parser.add_argument("--results", type=Path, help="write the section into this Markdown file")
    arguments = parser.parse_args()
    run(arguments.count, arguments.csv_count, arguments.rounds, arguments.results)


if __name__ == "__main__":
    main()
