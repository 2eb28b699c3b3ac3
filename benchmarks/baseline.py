"""An earlier revision's build, and its data path against this checkout's in
the same rounds.

    ./run bench --baseline REV [--data-rounds N]   # after the bar classes' tables
    ./run bench --resample --baseline REV          # after the resampling table
    python benchmarks/baseline.py REV [--rounds N] [--rows N] [--bars N] [--results FILE]

``build(REV)`` builds git revision REV, the whole package with its bar-file
modules, into ``$TARNWICK_BUILD/bench/baseline/<commit>/site`` once per
commit; run.py imports the bar classes of that build beside this checkout's.

Data, written once by this checkout and read by both builds: a CSV of --rows
one-minute rows of one ticker whose times are New York wall-clock starts of
the regular session (09:30-16:00 on weekdays from 2015-01-02, so across
daylight-saving changes), and a bar file of --bars one-minute bars of four
tickers (time, then ticker) ending in the same sessions.

Operations: convert (the CSV into a bar file with ``--tz America/New_York``,
a whole ``python -m tarnwick.bars`` process); ``read`` + ``columns()`` + mean
close; ``resample`` into 5-minute, hourly and daily bars in New York; ``export``
to Parquet and to CSV (New York times); ``write`` of the bar file's records
from memory.

Method: two worker processes (this script with --worker), one importing the
baseline's package (its site directory first on PYTHONPATH) and one this
checkout's; each runs an operation when asked and answers with its wall time
and its CPU time (all its threads and child processes: the figure a shared
machine disturbs least, but blind to waits on the disk).  Each round runs every operation in both workers back to back, the operations
shuffled and the two workers in a random order; a sample repeats its operation
until it lasts about --sample-s (the same count for both).  Outputs are
removed between calls, outside the timing.  new/old is the median over rounds
of the ratio within a round, for wall and for CPU time; the spread is the
interquartile range of those ratios.
"""

from __future__ import annotations

import argparse
import io
import math
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
ZONE = "America/New_York"
TICKERS = ("ABC", "DEF", "GHI", "JKL")
SLOWER_LIMIT = 1.05  # new against old, for every operation
DEFAULT_ROUNDS = 11


def build(revision: str) -> tuple[str, Path]:
    """(commit, site directory) of git revision ``revision``, built once into the build tree."""
    commit = subprocess.run(["git", "rev-parse", "--short", f"{revision}^{{commit}}"], cwd=ROOT,
                            capture_output=True, text=True, check=True).stdout.strip()
    build_root = Path(os.environ.get("TARNWICK_BUILD", "build"))
    root = (build_root if build_root.is_absolute() else ROOT / build_root) / "bench" / "baseline" / commit
    site = root / "site"
    if not (site / "tarnwick").is_dir():
        print(f"building the baseline {commit} into {root} ...", file=sys.stderr, flush=True)
        shutil.rmtree(root, ignore_errors=True)
        source = root / "source"
        source.mkdir(parents=True)
        archive = subprocess.run(["git", "archive", commit], cwd=ROOT, capture_output=True, check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            tar.extractall(source, filter="data")
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                        "--target", str(site), "-C", f"build-dir={root / 'build'}", str(source)], check=True)
    return commit, site


# ---- the operations (run in a worker, with whichever package it imports) ------------


def _convert(data: Path, out: Path) -> None:
    subprocess.run([sys.executable, "-m", "tarnwick.bars", "convert", str(data / "minutes.csv"),
                    str(out / "minutes.bars"), "--tz", ZONE, "--no-progress", "--force"],
                   check=True, stdout=subprocess.DEVNULL)


def _mean_close(data: Path, out: Path) -> None:
    from tarnwick.bars import read

    with read(data / "bars.bars") as bars:
        bars.columns()["close_price"].mean()


def _resample(span: str):
    def run(data: Path, out: Path) -> None:
        from tarnwick.bars import resample

        len(resample(data / "bars.bars", span, tz=ZONE))
    return run


def _export(suffix: str):
    def run(data: Path, out: Path) -> None:
        import zoneinfo

        from tarnwick.bars import export

        export(data / "bars.bars", out / f"bars{suffix}", zone=zoneinfo.ZoneInfo(ZONE))
    return run


_RECORDS: list = []  # the bar file's records, read into memory once


def _write(data: Path, out: Path) -> None:
    from tarnwick.bars import read, write

    if not _RECORDS:
        with read(data / "bars.bars") as bars:
            _RECORDS.append(bars.columns().copy())
    write(out / "copy.bars", _RECORDS[0], kind="intraday")


OPERATIONS = {  # key: (label, function of the data and output directories)
    "convert": ("convert, CSV -> bar file (whole process)", _convert),
    "mean_close": ("`read` + `columns()` + mean close", _mean_close),
    "resample_5min": ("`resample` to 5-minute bars", _resample("5min")),
    "resample_1h": ("`resample` to hourly bars", _resample("1h")),
    "resample_1d": ("`resample` to daily bars", _resample("1d")),
    "export_parquet": ("`export` to Parquet", _export(".parquet")),
    "export_csv": ("`export` to CSV", _export(".csv")),
    "write": ("`write` of the records", _write),
}


def cpu_seconds() -> float:
    """CPU time of this process's threads and of its finished children."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def worker(data: Path, out: Path) -> None:
    """Answers each request "OPERATION COUNT" with the mean wall and CPU seconds of COUNT calls."""
    import tarnwick

    print(tarnwick.__file__, flush=True)
    for line in sys.stdin:
        key, count = line.split()
        _, function = OPERATIONS[key]
        wall = cpu = 0.0
        for _ in range(int(count)):
            for path in out.iterdir():
                path.unlink()
            started, started_cpu = time.perf_counter(), cpu_seconds()
            function(data, out)
            wall += time.perf_counter() - started
            cpu += cpu_seconds() - started_cpu
        print(wall / int(count), cpu / int(count), flush=True)


# ---- the comparison (the parent) ---------------------------------------------------------


class Worker:
    def __init__(self, data: Path, out: Path, site: Path | None):
        environment = dict(os.environ)
        environment.pop("PYTHONPATH", None)
        if site is not None:
            environment["PYTHONPATH"] = str(site)
        out.mkdir()
        self.process = subprocess.Popen([sys.executable, __file__, "--worker", str(data), str(out)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=environment)
        self.package = Path(self._answer())
        expected = site if site is not None else Path(sys.prefix)
        if not self.package.is_relative_to(expected):
            raise RuntimeError(f"the worker for {expected} imported tarnwick from {self.package}")

    def _answer(self) -> str:
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"a worker stopped (status {self.process.wait()})")
        return line.strip()

    def time(self, key: str, count: int) -> tuple[float, float]:
        """Wall and CPU seconds of one call of operation ``key`` (the mean of ``count``)."""
        self.process.stdin.write(f"{key} {count}\n")
        self.process.stdin.flush()
        wall, cpu = self._answer().split()
        return float(wall), float(cpu)

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def session_starts(minutes: int):
    """Starts of ``minutes`` one-minute bars of New York's regular session from
    2015-01-02 on weekdays: as wall-clock datetime64[s] and as epoch seconds."""
    import datetime
    import zoneinfo

    import numpy

    zone = zoneinfo.ZoneInfo(ZONE)
    days = numpy.arange("2015-01-02", "2100-01-01", dtype="datetime64[D]")
    days = days[numpy.is_busday(days)][:math.ceil(minutes / 390)]
    offsets = numpy.array([zone.utcoffset(datetime.datetime.fromisoformat(f"{day}T12:00")).total_seconds()
                           for day in days.astype(str)], dtype="int64")
    opening = days.astype("datetime64[s]") + numpy.timedelta64(9 * 3600 + 1800, "s")
    minute = numpy.arange(390) * numpy.timedelta64(60, "s")
    wall = (opening[:, None] + minute).ravel()[:minutes]
    epoch = ((opening.astype("int64") - offsets)[:, None] + numpy.arange(390) * 60).ravel()[:minutes]
    return wall, epoch.astype(float)


def write_data(data: Path, rows: int, bars: int) -> None:
    import numpy
    from data_path import write_minutes
    from resample import minute_bars

    from tarnwick.bars import write

    write_minutes(data / "minutes.csv", rows, times=session_starts(rows)[0])
    per_ticker = math.ceil(bars / len(TICKERS))
    records = minute_bars(bars)
    records["timestamp"] = numpy.repeat(session_starts(per_ticker)[1] + 60.0, len(TICKERS))[:bars]
    records["ticker"] = numpy.tile(numpy.array(TICKERS, dtype="S"), per_ticker)[:bars]
    write(data / "bars.bars", records, kind="intraday")


@dataclass
class Comparison:
    commit: str
    rows: int
    bars: int
    rounds: int
    times: dict  # operation key -> {"old": [(wall, cpu) seconds...], "new": [...]}, one per round


def compare(commit: str, site: Path, rounds: int = DEFAULT_ROUNDS, rows: int = 1_000_000, bars: int = 2_000_000,
            sample_s: float = 0.3) -> Comparison:
    with tempfile.TemporaryDirectory(prefix="tarnwick-baseline-") as scratch:
        data = Path(scratch) / "data"
        data.mkdir()
        print(f"baseline data path: writing {rows:,} CSV rows and {bars:,} bars ...", file=sys.stderr, flush=True)
        write_data(data, rows, bars)
        workers = {"old": Worker(data, Path(scratch) / "old", site), "new": Worker(data, Path(scratch) / "new", None)}
        try:
            counts = {}
            for key in OPERATIONS:  # a first call of each: imports, caches, and the count of a sample
                slowest = max(w.time(key, 1)[0] for w in workers.values())
                counts[key] = max(1, round(sample_s / slowest))
            order = random.Random(20240105)
            keys = list(OPERATIONS)
            times = {key: {"old": [], "new": []} for key in keys}
            for number in range(rounds):
                order.shuffle(keys)
                for key in keys:
                    for name in order.sample(list(workers), 2):
                        times[key][name].append(workers[name].time(key, counts[key]))
                print(f"baseline data path: round {number + 1}/{rounds} done", file=sys.stderr, flush=True)
        finally:
            for w in workers.values():
                w.close()
    return Comparison(commit, rows, bars, rounds, times)


def ratio_cells(new: list[float], old: list[float]) -> tuple[float, str]:
    """The median of the per-round ratios new/old, and their interquartile range as text."""
    ratios = [n / o for n, o in zip(new, old)]
    low, _, high = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
    return statistics.median(ratios), f"{statistics.median(ratios):.3f}× ({low:.2f}–{high:.2f})"


def render(result: Comparison) -> tuple[str, list[tuple[str, str, bool]]]:
    heading = (f"Data path of `tarnwick {result.commit}` (old) and this checkout (new), side by side: "
               f"{result.rows:,}-row one-minute CSV, {result.bars:,}-bar file of {len(TICKERS)} tickers, New York "
               f"sessions; medians of {result.rounds} interleaved rounds; new/old is the median of the per-round "
               "ratios, with their interquartile range.")
    lines = [heading, "", "| operation | old wall ms | new wall ms | new/old wall | new/old CPU | target (wall) | met |",
             "|---|---:|---:|---|---|---|---|"]
    worst, worst_label = 0.0, ""
    for key, (label, _) in OPERATIONS.items():
        old, new = result.times[key]["old"], result.times[key]["new"]
        ratio, wall_text = ratio_cells([n[0] for n in new], [o[0] for o in old])
        _, cpu_text = ratio_cells([n[1] for n in new], [o[1] for o in old])
        if ratio > worst:
            worst, worst_label = ratio, label
        lines.append(f"| {label} | {statistics.median(o[0] for o in old) * 1e3:.1f} | "
                     f"{statistics.median(n[0] for n in new) * 1e3:.1f} | {wall_text} | {cpu_text} | "
                     f"≤ {SLOWER_LIMIT}× | {'yes' if ratio <= SLOWER_LIMIT else '**no**'} |")
    verdict = (f"no data-path operation more than {SLOWER_LIMIT - 1:.0%} slower than {result.commit}",
               f"worst {worst:.3f}× ({worst_label})", worst <= SLOWER_LIMIT)
    return "\n".join(lines), [verdict]


def report(commit: str, site: Path, rounds: int = DEFAULT_ROUNDS, results: Path | None = None,
           **options: float) -> list[tuple[str, str, bool]]:
    """Compares, prints the table and its verdict, and writes its section into ``results``."""
    from results_file import circumstances, replace_section, source_state

    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    table, verdicts = render(compare(commit, site, rounds, **options))
    print(f"\n{table}\n")
    for label, target, met in verdicts:
        print(f"{'MET   ' if met else 'MISSED'}  {label}: {target}")
    if results is not None:
        checks = "\n".join(f"- {'met' if met else '**missed**'}: {label}: {target}" for label, target, met in verdicts)
        replace_section(results, "## The data path, old against new",
                        f"`python benchmarks/baseline.py {commit}` ({circumstances()}, {load} at the start; "
                        f"this checkout at {source_state()}; `--help` for the method).\n\n{table}\n\n{checks}")
    return verdicts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("revision", nargs="?", help="the git revision to compare with")
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS, help=f"interleaved rounds (default {DEFAULT_ROUNDS})")
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the CSV (default 1,000,000)")
    parser.add_argument("--bars", type=int, default=2_000_000, help="bars of the bar file (default 2,000,000)")
    parser.add_argument("--sample-s", type=float, default=0.3, help="least length of a sample (default 0.3 s)")
    parser.add_argument("--results", type=Path, help="write the section into this Markdown file")
    parser.add_argument("--worker", nargs=2, type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
        return
    if args.revision is None:
        parser.error("give the revision to compare with")
    commit, site = build(args.revision)
    report(commit, site, args.rounds, args.results, rows=args.rows, bars=args.bars, sample_s=args.sample_s)


if __name__ == "__main__":
    main()
