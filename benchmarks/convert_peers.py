"""Convert and open on the data users have, against the tools they would pick.

    ./run bench --convert [--quick] [--rounds N] [--results FILE]
    ./run bench --open [--rounds N] [--results FILE]
    python benchmarks/convert_peers.py [--convert] [--open] [--quick] [--sizes N,N] [--tickers N,N] ...

Data: realistic one-minute tables from tarnwick.bars._synthetic, written as CSV
(New York wall-clock times without an offset, so both daylight-saving
changes occur; cent prices; a few gaps; a Ticker column when there are
several, interleaved minute by minute): 1M, 5M and 10M rows of one ticker
and of 20 (--quick: 200k and 1M).

Convert, whole processes: ``tarnwick-bars convert --tz America/New_York``;
DuckDB ``COPY (SELECT * FROM read_csv(...)) TO 'x.parquet'``; pandas
``read_csv(engine="pyarrow")`` + ``tz_localize(ambiguous="infer")`` (per
ticker when there are several) + ``to_feather``, which gives the same instants
as ours; and as references ``pandas.read_csv`` and ``pyarrow.csv.read_csv``
alone.  Before timing, every subject runs once and its result is checked: our
bars against the generator's records byte for byte, the peers' times (wall
clock, or instants where they localise) and closes against the generator's.
Then interleaved rounds (at least 5), the subjects in a fresh random order in
each; figures are medians with their interquartile range, ratios the median
of the per-round ratios.  Peak memory is each process's VmHWM.  Our closing
fsyncs (of the file and of its directory) are timed inside the process, by
wrapping ``os.fsync`` before the tool starts, and shown on a line of their
own: the comparison uses our time less them, as the peers do not sync.

Open (in one process, the files in the page cache): open a 5M-bar file and
take the mean close and the summed volume: ``tarnwick.bars.read`` +
``columns()`` (the record array's field views) or ``columns("close_price",
"volume")`` (the two fields gathered in one pass), pyarrow's memory-mapped
IPC file, polars ``scan_ipc``, and a plain read of the whole bar file, the
floor of any pass over its records.  Each sample repeats the call for
about 0.2 s.

Figures go through the results file's ledger: a figure that moved more than
15% from the previous run on this machine is left out of RESULTS.md.
"""

from __future__ import annotations

import argparse
import mmap
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

from results_file import Ledger, circumstances, replace_section, verdict_word

if TYPE_CHECKING:
    from tarnwick.bars._synthetic import MinuteData

ZONE = "America/New_York"
SIZES = (1_000_000, 5_000_000, 10_000_000)
QUICK_SIZES = (200_000, 1_000_000)
TICKER_COUNTS = (1, 20)
DEFAULT_ROUNDS = 5
OPEN_BARS = 5_000_000
PEERS = ("numpy", "pyarrow", "pandas", "duckdb", "polars")
MB = 1 << 20
SECTION = "## Convert and open on realistic data"

# Runs before each subject: times os.fsync (ours: the file's and its directory's
# closing syncs) and reports the peak resident set and the sync time at exit.
# keep() writes what a reading peer read, for the check, when asked to.
PRELUDE = """\
import atexit, os, time
_synced = [0.0]
_fsync = os.fsync
def _timed_fsync(descriptor):
    started = time.perf_counter()
    try:
        return _fsync(descriptor)
    finally:
        _synced[0] += time.perf_counter() - started
os.fsync = _timed_fsync
def _report():
    peak = open('/proc/self/status').read().split('VmHWM:')[1].split()[0]
    open(os.environ['CONVERT_PEERS_REPORT'], 'w').write(f'{peak} {_synced[0]}')
atexit.register(_report)
def keep(table):
    if os.environ.get('CONVERT_PEERS_KEEP'):
        import pyarrow.feather
        pyarrow.feather.write_feather(table, os.environ['CONVERT_PEERS_KEEP'])
"""

# Each subject's code: argv[1] the CSV, argv[2] the output, argv[3] the zone.
SUBJECTS = {
    "tarnwick": "import runpy, sys\n"
                "sys.argv = ['tarnwick-bars', 'convert', sys.argv[1], sys.argv[2], '--tz', sys.argv[3], "
                "'--no-progress', '--force']\n"
                "runpy.run_module('tarnwick.bars', run_name='__main__')",
    "DuckDB": "import duckdb, sys\n"
              "duckdb.sql(f\"COPY (SELECT * FROM read_csv('{sys.argv[1]}')) TO '{sys.argv[2]}' (FORMAT parquet)\")",
    "pandas": "import pandas, sys\n"
              "frame = pandas.read_csv(sys.argv[1], engine='pyarrow')\n"
              "localise = lambda times: times.dt.tz_localize(sys.argv[3], ambiguous='infer')\n"
              "frame['Datetime'] = (frame.groupby('Ticker', sort=False)['Datetime'].transform(localise)\n"
              "                     if 'Ticker' in frame else localise(frame['Datetime']))\n"
              "frame.to_feather(sys.argv[2])",
    "pandas.read_csv": "import pandas, sys\nkeep(pandas.read_csv(sys.argv[1], engine='pyarrow'))",
    "pyarrow.csv.read_csv": "import pyarrow.csv, sys\nkeep(pyarrow.csv.read_csv(sys.argv[1]))",
}
LABELS = {"tarnwick": "tarnwick convert (less its fsync)", "DuckDB": "DuckDB CSV→Parquet",
          "pandas": "pandas read_csv + tz_localize(infer) + to_feather", "pandas.read_csv": "pandas.read_csv",
          "pyarrow.csv.read_csv": "pyarrow.csv.read_csv"}


@dataclass
class Run:
    wall: float
    peak: int
    synced: float


@dataclass
class DataSet:
    rows: int
    tickers: int
    csv_bytes: int = 0
    runs: dict[str, list[Run]] = field(default_factory=dict)

    @property
    def name(self) -> str:
        return f"{_count(self.rows)} rows, {self.tickers} ticker{'s' if self.tickers > 1 else ''}"


def _count(rows: int) -> str:
    return f"{rows // 1_000_000}M" if rows % 1_000_000 == 0 else f"{rows // 1000}k"


# ---- convert -----------------------------------------------------------------------------------


def run_once(subject: str, source: Path, target: Path, scratch: Path, keep: Path | None = None) -> Run:
    """One whole process of ``subject``: its wall time, peak memory and time in fsync."""
    report = scratch / "report"
    environment = {**os.environ, "CONVERT_PEERS_REPORT": str(report), "CONVERT_PEERS_KEEP": str(keep or "")}
    quiet = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]
    arguments = [sys.executable, "-c", PRELUDE + SUBJECTS[subject], str(source), str(target), ZONE]
    started = time.perf_counter()
    pid = os.posix_spawn(sys.executable, arguments, environment, file_actions=quiet)
    _, status = os.waitpid(pid, 0)
    wall = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{subject} failed on {source} (status {status})")
    peak, synced = report.read_text().split()
    return Run(wall, int(peak) * 1024, float(synced))


def _target(scratch: Path, subject: str, tickers: int) -> Path:
    suffix = {"tarnwick": ".bars" if tickers == 1 else "", "DuckDB": ".parquet", "pandas": ".feather"}
    return scratch / f"out-{subject}{suffix.get(subject, '')}"


def _clear(path: Path) -> None:
    if path.is_dir():
        shutil.rmtree(path)
    else:
        path.unlink(missing_ok=True)


def check(subject: str, data: MinuteData, output: Path) -> None:
    """Whether ``subject`` read the rows the generator made: ours byte for byte,
    the peers' times and closes."""
    import numpy
    import pyarrow.feather
    import pyarrow.parquet

    from tarnwick.bars import read
    from tarnwick.bars._synthetic import records_of

    if subject == "tarnwick":
        expected = records_of(data)
        for index, name in enumerate(data.tickers):
            path = output if len(data.tickers) == 1 else output / f"{name}.bars"
            with read(path) as bars:
                if bars.columns().tobytes() != expected[data.ticker == index].tobytes():
                    raise AssertionError(f"tarnwick: the bars of {name} differ from the generator's")
        return
    table = pyarrow.parquet.read_table(output) if output.suffix == ".parquet" else pyarrow.feather.read_table(output)
    times = table["Datetime"]
    seconds = times.to_numpy().astype("datetime64[s]").astype("int64")
    wanted = data.starts if times.type.tz else data.wall.astype("int64")  # instants, or the wall clock
    if not numpy.array_equal(seconds, wanted):
        raise AssertionError(f"{subject}: its times differ from the generator's")
    if not numpy.array_equal(table["Close"].to_numpy(), data.close):
        raise AssertionError(f"{subject}: its closes differ from the generator's")


def measure_convert(data_set: DataSet, rounds: int, scratch: Path, order: random.Random) -> None:
    from tarnwick.bars._synthetic import minute_data, write_minute_csv

    name = "ALFA.csv" if data_set.tickers == 1 else "minutes.csv"  # one ticker's bars are named by the file
    print(f"convert: writing {data_set.name} ...", file=sys.stderr, flush=True)
    source = write_minute_csv(scratch / name, data_set.rows, tickers=data_set.tickers)
    data_set.csv_bytes = source.stat().st_size
    subjects = list(SUBJECTS)
    data = minute_data(data_set.rows, tickers=data_set.tickers)
    for subject in subjects:  # the first run of each: checked, not timed
        target = _target(scratch, subject, data_set.tickers)
        kept = scratch / "kept.feather"
        run_once(subject, source, target, scratch, keep=kept)
        check(subject, data, kept if kept.exists() else target)
        _clear(kept)
        _clear(target)
    del data
    data_set.runs = {subject: [] for subject in subjects}
    for number in range(rounds):
        order.shuffle(subjects)
        for subject in subjects:
            target = _target(scratch, subject, data_set.tickers)
            data_set.runs[subject].append(run_once(subject, source, target, scratch))
            _clear(target)
        print(f"convert: {data_set.name}: round {number + 1}/{rounds} done", file=sys.stderr, flush=True)
    source.unlink()


def _compared(run: Run, subject: str) -> float:
    """The wall time that the comparison uses: ours less its closing syncs."""
    return run.wall - run.synced if subject == "tarnwick" else run.wall


def _spread(values: list[float]) -> tuple[float, float, float]:
    low, middle, high = statistics.quantiles(values, n=4) if len(values) > 1 else values * 3
    return low, statistics.median(values), high


def _paired(data_set: DataSet, subject: str, other: str) -> float:
    ours = [_compared(run, subject) for run in data_set.runs[subject]]
    theirs = [_compared(run, other) for run in data_set.runs[other]]
    return statistics.median(a / b for a, b in zip(ours, theirs))


def render_convert(data_sets: list[DataSet], ledger: Ledger) -> tuple[str, list[tuple[str, str, bool]]]:
    header = "| data set (CSV size) | " + " | ".join(LABELS[s] for s in SUBJECTS) + " |"
    rule = "|---|" + "---:|" * len(SUBJECTS)
    times = ["Wall seconds, median (interquartile range); tarnwick's closing fsyncs on a column of their own.", "",
             header[:-1] + "| tarnwick's fsync |", rule + "---:|"]
    memory = ["Peak resident memory (VmHWM), MB, median.", "", header, rule]
    verdicts = []
    for data_set in data_sets:
        row, peaks = [], []
        for subject in SUBJECTS:
            low, middle, high = _spread([_compared(run, subject) for run in data_set.runs[subject]])
            peak = statistics.median(run.peak for run in data_set.runs[subject]) / MB
            key = f"{data_set.name}: {subject}"
            row.append(ledger.cell(f"{key} s", middle, f"{middle:.2f} ({low:.2f}–{high:.2f})"))
            peaks.append(ledger.cell(f"{key} MB", peak, f"{peak:.0f}"))
        synced = statistics.median(run.synced for run in data_set.runs["tarnwick"])
        row.append(f"{synced:.3f}")  # the disk decides it: not a figure to reproduce
        name = f"| {data_set.name} ({data_set.csv_bytes / MB:.0f} MB) | "
        times.append(name + " | ".join(row) + " |")
        memory.append(name + " | ".join(peaks) + " |")
        verdicts += _convert_verdicts(data_set, ledger)
    verdicts += _linear_verdicts(data_sets, ledger)
    return "\n".join(times + [""] + memory), verdicts


def _convert_verdicts(data_set: DataSet, ledger: Ledger) -> list[tuple[str, str, bool]]:
    duckdb = _paired(data_set, "tarnwick", "DuckDB")
    pandas = _paired(data_set, "tarnwick", "pandas")
    ours = statistics.median(run.peak for run in data_set.runs["tarnwick"])
    theirs = statistics.median(run.peak for run in data_set.runs["pandas.read_csv"])
    name = data_set.name
    return [
        (f"{name}: convert against DuckDB",
         ledger.cell(f"{name}: ours/DuckDB", duckdb, f"{duckdb:.2f}×") + " ≤ 1.0×", duckdb <= 1.0),
        (f"{name}: convert against pandas with the same instants",
         ledger.cell(f"{name}: ours/pandas", pandas, f"{pandas:.2f}×") + " ≤ 0.5×", pandas <= 0.5),
        (f"{name}: peak memory against pandas.read_csv", f"{ours / MB:.0f} MB ≤ {theirs / MB:.0f} MB",
         ours <= theirs),
    ]


def _linear_verdicts(data_sets: list[DataSet], ledger: Ledger) -> list[tuple[str, str, bool]]:
    verdicts = []
    for tickers in sorted({d.tickers for d in data_sets}):
        sized = sorted((d for d in data_sets if d.tickers == tickers), key=lambda d: d.rows)
        if len(sized) < 2:
            continue
        small, large = sized[0], sized[-1]
        times = [statistics.median(_compared(run, "tarnwick") for run in d.runs["tarnwick"]) for d in (small, large)]
        ratio, allowed = times[1] / times[0], 1.1 * large.rows / small.rows
        key = f"{tickers} ticker{'s' if tickers > 1 else ''}: {_count(large.rows)}/{_count(small.rows)}"
        verdicts.append((f"convert linear in rows, {key}",
                         ledger.cell(key, ratio, f"{ratio:.2f}×") + f" ≤ {allowed:.1f}×", ratio <= allowed))
    return verdicts


# ---- open ----------------------------------------------------------------------------------


def write_open_files(folder: Path, count: int) -> tuple[Path, Path]:
    """Our bar file and an uncompressed Arrow IPC file of the same bars."""
    import pyarrow

    from tarnwick.bars import write
    from tarnwick.bars._synthetic import minute_bars

    bars = minute_bars(count)
    ours = folder / "bars.bars"
    write(ours, bars, kind="intraday")
    table = pyarrow.table({"end": pyarrow.array(bars["timestamp"].astype("datetime64[s]")),
                           "open": bars["open_price"], "high": bars["high_price"], "low": bars["low_price"],
                           "close": bars["close_price"], "volume": bars["volume"]})
    theirs = folder / "bars.arrow"
    with pyarrow.OSFile(str(theirs), "wb") as sink, pyarrow.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    return ours, theirs


def open_subjects(ours: Path, theirs: Path) -> dict[str, Callable[[], tuple[float, float]]]:
    import numpy
    import polars
    import pyarrow
    import pyarrow.compute

    from tarnwick.bars import read

    def tarnwick() -> tuple[float, float]:
        with read(ours) as bars:
            columns = bars.columns()
            return float(columns["close_price"].mean()), float(columns["volume"].sum())

    def named_columns() -> tuple[float, float]:
        with read(ours) as bars:
            columns = bars.columns("close_price", "volume")  # gathered in one pass, reduced contiguous
            return float(columns["close_price"].mean()), float(columns["volume"].sum())

    def plain_read() -> tuple[float, float]:
        # The floor of any pass over bar records: the whole file mapped afresh and summed as words.
        with open(ours, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
            words = numpy.frombuffer(mapping, numpy.uint64, len(mapping) // 8)
            total = float(words.sum())
            del words  # before the mapping closes
        return total, total  # not an answer: left out of the check

    def arrow() -> tuple[float, float]:
        with pyarrow.memory_map(str(theirs)) as source:
            table = pyarrow.ipc.open_file(source).read_all()
            return (pyarrow.compute.mean(table["close"]).as_py(), pyarrow.compute.sum(table["volume"]).as_py())

    def polars_scan() -> tuple[float, float]:
        frame = polars.scan_ipc(theirs).select(polars.col("close").mean(), polars.col("volume").sum()).collect()
        return float(frame["close"][0]), float(frame["volume"][0])

    return {"tarnwick": tarnwick, "tarnwick, named columns": named_columns, "pyarrow IPC memory map": arrow,
            "polars scan_ipc": polars_scan, PLAIN_READ: plain_read}


PLAIN_READ = "plain read of the whole bar file"


def measure_open(count: int, rounds: int, scratch: Path, order: random.Random) -> dict[str, list[float]]:
    import math

    print(f"open: writing {count:,} bars ...", file=sys.stderr, flush=True)
    subjects = open_subjects(*write_open_files(scratch, count))
    answers = {name: subject() for name, subject in subjects.items()}
    first = answers["tarnwick"]
    for name, answer in answers.items():
        if name != PLAIN_READ and not all(math.isclose(a, b, rel_tol=1e-9) for a, b in zip(answer, first)):
            raise AssertionError(f"{name} gives {answer}, tarnwick {first}")
    repeats = {}
    for name, subject in subjects.items():
        started = time.perf_counter()
        subject()
        repeats[name] = max(1, round(0.2 / max(time.perf_counter() - started, 1e-6)))
    times: dict[str, list[float]] = {name: [] for name in subjects}
    names = list(subjects)
    for _ in range(rounds):
        order.shuffle(names)
        for name in names:
            started = time.perf_counter()
            for _ in range(repeats[name]):
                subjects[name]()
            times[name].append((time.perf_counter() - started) / repeats[name])
    return times


def render_open(count: int, times: dict[str, list[float]], ledger: Ledger) -> tuple[str, list[tuple[str, str, bool]]]:
    lines = [f"Open a {count:,}-bar file and take the mean close and the summed volume (one ticker; in one "
             "process, the files in the page cache): ms per call, median (interquartile range).  Any pass over "
             f"bar records reads every cache line of the file ({(count + 1) * 101 / 1e6:.0f} MB: a record's close "
             "and volume lie in one or two of its 1.6 lines, fetched in pairs); pyarrow reads its two columns "
             f"({count * 16 / 1e6:.0f} MB).  The plain read (the file mapped afresh and summed as words) is the "
             "floor of any pass over the records.", "",
             "| subject | ms | ratio to pyarrow |", "|---|---:|---:|"]
    reference = times["pyarrow IPC memory map"]
    for name, values in times.items():
        low, middle, high = _spread([v * 1e3 for v in values])
        ratio = statistics.median(a / b for a, b in zip(values, reference))
        lines.append(f"| {name} | " + ledger.cell(f"open: {name} ms", middle, f"{middle:.2f} ({low:.2f}–{high:.2f})")
                     + " | " + ledger.cell(f"open: {name}/pyarrow", ratio, f"{ratio:.2f}×") + " |")
    ratio = statistics.median(a / b for a, b in zip(times["tarnwick"], reference))
    return "\n".join(lines), [("open + mean close + summed volume against pyarrow IPC", f"{ratio:.2f}× ≤ 2.0×",
                               ratio <= 2.0)]


# ---- the report ----------------------------------------------------------------------------


def run(*, convert: bool = True, open_file: bool = True, sizes: tuple[int, ...] = SIZES,
        tickers: tuple[int, ...] = TICKER_COUNTS, rounds: int = DEFAULT_ROUNDS, open_bars: int = OPEN_BARS,
        results: Path | None = None) -> list[tuple[str, str, bool]]:
    """Measures, prints the tables and their verdicts, and writes the section into ``results``."""
    started = time.perf_counter()
    ledger = Ledger(results, SECTION)
    order = random.Random(20241103)
    parts, verdicts = [], []
    with tempfile.TemporaryDirectory(prefix="tarnwick-convert-peers-") as folder:
        scratch = Path(folder)
        if convert:
            data_sets = [DataSet(rows, count) for count in tickers for rows in sizes]
            for data_set in data_sets:
                measure_convert(data_set, rounds, scratch, order)
            table, found = render_convert(data_sets, ledger)
            parts.append(f"Convert, {rounds} interleaved rounds.\n\n{table}")
            verdicts += found
        if open_file:
            table, found = render_open(open_bars, measure_open(open_bars, max(rounds, 9), scratch, order), ledger)
            parts.append(table)
            verdicts += found
    checks = "\n".join(f"- {verdict_word(target, met)}: {label}: {target}" for label, target, met in verdicts)
    body = "\n\n".join([*parts, checks, ledger.notes()]).strip()
    print(f"\n{body}\n\n({time.perf_counter() - started:.0f} s)")
    if results is not None:
        data = ("realistic one-minute tables of tarnwick.bars._synthetic (New York wall clock across both "
                "daylight-saving changes, cent prices, gaps, tickers interleaved)")
        replace_section(results, SECTION, f"`./run bench --convert` ({circumstances(data, PEERS)}; "
                                          f"`python benchmarks/convert_peers.py --help` for the method).\n\n{body}")
        ledger.save()
    return verdicts


def _counts(text: str) -> tuple[int, ...]:
    return tuple(int(float(part)) for part in text.split(","))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--convert", action="store_true", help="the convert tables only")
    parser.add_argument("--open", action="store_true", help="the open table only")
    parser.add_argument("--quick", action="store_true", help=f"rows {','.join(map(_count, QUICK_SIZES))} only")
    parser.add_argument("--sizes", type=_counts, help="rows of the tables, e.g. 1e6,5e6")
    parser.add_argument("--tickers", type=_counts, default=TICKER_COUNTS, help="tickers of the tables (default 1,20)")
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS,
                        help=f"interleaved rounds (default {DEFAULT_ROUNDS})")
    parser.add_argument("--results", type=Path, help="write the section into this Markdown file")
    args = parser.parse_args()
    if args.rounds < 5:
        parser.error("at least 5 rounds: fewer give no spread worth the name")
    both = not args.convert and not args.open
    sizes = args.sizes or (QUICK_SIZES if args.quick else SIZES)
    run(convert=both or args.convert, open_file=both or args.open, sizes=sizes, tickers=args.tickers,
        rounds=args.rounds, open_bars=1_000_000 if args.quick else OPEN_BARS, results=args.results)


if __name__ == "__main__":
    main()
