"""The data path: converting a 1,000,000-row one-minute CSV into a bar file,
against merely parsing it with pandas and with pyarrow.

    python benchmarks/data_path.py [--rows N] [--rounds R] [--results FILE]   (also the last table of ./run bench)

Every subject is a whole process, run in interleaved rounds on the same file
it generates: ``tarnwick-bars convert`` (``python -m tarnwick.bars``),
``pandas.read_csv(path, parse_dates=["Datetime"])`` (default engine) and
``pyarrow.csv.read_csv(path)``.  Times are wall-clock medians; memory is the
process's peak resident set (its VmHWM).  The targets: convert takes no longer
than pandas takes to parse (ratio <= 1.0), and its peak memory is at most
that of pyarrow alone plus twice the bar file.  ``--results FILE`` replaces
the data-path section of a Markdown file.  (benchmarks/baseline.py times
convert and the rest of the data path against an earlier revision.)
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy
from results_file import Ledger, circumstances, replace_section, verdict_word

MB = 1 << 20
SECTION = "## Data path"
DATA_SET = "the project's UTC sample (consecutive minutes from 2021-01-04, no time zone, six decimals, one ticker)"

SUBJECTS = {
    "convert": "import runpy, sys; sys.argv = ['tarnwick-bars', 'convert', sys.argv[1], sys.argv[2], '--no-progress', '--force']; "
               "runpy.run_module('tarnwick.bars', run_name='__main__')",
    "pandas.read_csv": "import pandas, sys; pandas.read_csv(sys.argv[1], parse_dates=['Datetime'])",
    "pyarrow.csv.read_csv": "import pyarrow.csv, sys; pyarrow.csv.read_csv(sys.argv[1])",
}
# The peak is the process's own high-water mark (VmHWM), reported as it exits:
# the kernel's max RSS of a child also counts the memory of the parent that
# forked it, which here holds the generated table.
REPORT_PEAK = ("import atexit, os\n"
               "def _report():\n"
               "    status = open('/proc/self/status').read().split('VmHWM:')[1].split()[0]\n"
               "    open(os.environ['DATA_PATH_PEAK'], 'w').write(status)\n"
               "atexit.register(_report)\n")


def write_minutes(path: Path, rows: int, seed: int = 7, times: numpy.ndarray | None = None) -> None:
    """A one-minute table of ``rows`` rows (a random walk, six decimals), written column-wise;
    ``times`` (datetime64[s]) default to consecutive minutes from 2021-01-04."""
    rng = numpy.random.default_rng(seed)
    if times is None:
        times = numpy.datetime64("2021-01-04T00:00:00") + numpy.arange(rows) * numpy.timedelta64(60, "s")
    times = times.astype("datetime64[s]").astype(str)
    close = 100 * numpy.exp(numpy.cumsum(rng.normal(0, 5e-4, rows)))
    opening = numpy.concatenate(([100.0], close[:-1]))
    spread = numpy.abs(rng.normal(0, 5e-4, rows)) * close
    high = numpy.maximum(opening, close) + spread
    low = numpy.minimum(opening, close) - spread
    volume = rng.integers(1, 10_000, rows)
    with open(path, "w") as file:
        file.write("Datetime,Open,High,Low,Close,Volume\n")
        for block in range(0, rows, 100_000):
            part = slice(block, block + 100_000)
            lines = [f"{t.replace('T', ' ')},{o:.6f},{h:.6f},{lo:.6f},{c:.6f},{v}\n" for t, o, h, lo, c, v in
                     zip(times[part], opening[part], high[part], low[part], close[part], volume[part])]
            file.writelines(lines)


def run_once(code: str, arguments: list[str], scratch: Path) -> tuple[float, int]:
    """Wall seconds and peak resident memory in bytes of one child process."""
    peak_file = scratch / "peak"
    environment = {**os.environ, "DATA_PATH_PEAK": str(peak_file)}
    quiet = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]
    started = time.perf_counter()
    pid = os.posix_spawn(sys.executable, [sys.executable, "-c", REPORT_PEAK + code, *arguments], environment,
                         file_actions=quiet)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{code} failed with status {status}")
    return elapsed, int(peak_file.read_text()) * 1024


def measure(rows: int, rounds: int) -> tuple[dict[str, list[float]], dict[str, list[int]], int, int]:
    with tempfile.TemporaryDirectory(prefix="tarnwick-data-path-") as scratch:
        csv, bars = Path(scratch) / "minutes.csv", Path(scratch) / "minutes.bars"
        print(f"data path: writing a {rows:,}-row one-minute CSV ...", file=sys.stderr, flush=True)
        write_minutes(csv, rows)
        times: dict[str, list[float]] = {name: [] for name in SUBJECTS}
        memory: dict[str, list[int]] = {name: [] for name in SUBJECTS}
        for number in range(rounds):
            order = list(SUBJECTS) if number % 2 == 0 else list(reversed(SUBJECTS))
            for name in order:
                elapsed, peak = run_once(SUBJECTS[name], [str(csv), str(bars)], Path(scratch))
                times[name].append(elapsed)
                memory[name].append(peak)
        return times, memory, csv.stat().st_size, bars.stat().st_size


def render(times: dict[str, list[float]], memory: dict[str, list[int]], csv_size: int, bars_size: int,
           rows: int, rounds: int, ledger: Ledger) -> tuple[str, list[tuple[str, str, bool]]]:
    wall = {name: statistics.median(values) for name, values in times.items()}
    peak = {name: statistics.median(values) for name, values in memory.items()}
    lines = [f"data path: {rows:,} one-minute rows, CSV {csv_size / MB:.1f} MB -> bar file {bars_size / MB:.1f} MB, "
             f"whole processes, median of {rounds} interleaved rounds",
             "", "| subject | wall s | vs pandas | peak RSS MB |", "|---|---:|---:|---:|"]
    for name in times:
        relative = wall[name] / wall["pandas.read_csv"]
        lines.append(f"| {name} | {ledger.cell(f'{rows} {name} s', wall[name], f'{wall[name]:.2f}')} | "
                     f"{ledger.cell(f'{rows} {name}/pandas', relative, f'{relative:.2f}')} | "
                     f"{ledger.cell(f'{rows} {name} MB', peak[name] / MB, f'{peak[name] / MB:.0f}')} |")
    ratio = statistics.median(c / p for c, p in zip(times["convert"], times["pandas.read_csv"]))
    allowed = peak["pyarrow.csv.read_csv"] + 2 * bars_size
    verdicts = [
        ("data path: convert vs pandas.read_csv (paired median ratio)",
         ledger.cell(f"{rows} convert/pandas paired", ratio, f"{ratio:.2f}") + " <= 1.0", ratio <= 1.0),
        ("data path: convert peak memory", f"{peak['convert'] / MB:.0f} MB <= pyarrow {peak['pyarrow.csv.read_csv'] / MB:.0f}"
                                           f" MB + 2 x {bars_size / MB:.0f} MB = {allowed / MB:.0f} MB",
         peak["convert"] <= allowed),
    ]
    notes = ledger.notes()
    return "\n".join(lines) + (f"\n\n{notes}" if notes else ""), verdicts


def data_path_report(rows: int = 1_000_000, rounds: int = 3,
                     results: Path | None = None) -> tuple[str, list[tuple[str, str, bool]]]:
    """The data-path table and its verdicts, for ./run bench; the figures are
    kept for the next run's ledger when they go into ``results``."""
    times, memory, csv_size, bars_size = measure(rows, rounds)
    ledger = Ledger(results, SECTION)
    report = render(times, memory, csv_size, bars_size, rows, rounds, ledger)
    if results is not None:
        ledger.save()
    return report


def write_results(path: Path, table: str, verdicts: list[tuple[str, str, bool]]) -> None:
    """Replaces the data-path section of the results file (or appends it)."""
    checks = "\n".join(f"- {verdict_word(target, met)}: {label}: {target}" for label, target, met in verdicts)
    when = circumstances(DATA_SET, ("pandas", "pyarrow"))
    replace_section(path, SECTION, f"`python benchmarks/data_path.py` ({when}; `--help` for the method).\n\n"
                                   f"{table}\n\n{checks}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the generated CSV (default 1,000,000)")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds (default 3)")
    parser.add_argument("--results", type=Path, help="write the section into this Markdown file")
    args = parser.parse_args()
    table, verdicts = data_path_report(args.rows, args.rounds, args.results)
    print(table)
    for label, target, met in verdicts:
        print(f"{'MET   ' if met else 'MISSED'}  {label}: {target}")
    if args.results is not None:
        write_results(args.results, table, verdicts)


if __name__ == "__main__":
    main()
