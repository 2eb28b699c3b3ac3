"""``demo``: convert a table (or seeded samples), show the bar file and
verify every field of every bar read back."""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path
from typing import TextIO

from .._convert import convert
from .._records import Kind
from .._operations import show, verify
from .._output import check_target, made_here, note_made
from .._sample import write_daily_sample, write_minute_sample
from .convert import add_conversion, reading_of
from .options import Commands, add_force, check_output, check_plotting, kind, positive

MINUTES, DAYS = "ABC-minutes.csv", "ABC-days.csv"


def add(commands: Commands) -> None:
    command = commands.add_parser(
        "demo", help="convert, show and verify a sample (or your CSV)",
        description="Convert a CSV table (without one: a seeded sample of a trading day of minute bars and a "
                    "year of daily bars), show the bar file and verify every field of every bar read back. "
                    "It writes only into a directory of its own, or into --keep DIR, where it replaces only "
                    "what an earlier demo wrote (anything else with --force).")
    command.add_argument("csv", nargs="?", metavar="FILE.csv", help="your table (default: the samples)")
    command.add_argument("--seed", type=int, default=7, help="seed of the samples (default 7)")
    command.add_argument("--head", type=positive, default=3, metavar="N",
                         help="how many bars to print from each end (default 3)")
    command.add_argument("--keep", metavar="DIR", help="write the tables and bar files into DIR and keep them")
    command.add_argument("--plot", metavar="CHART.png",
                         help="also draw candlestick charts (CHART-1.png, CHART-2.png for the two samples)")
    add_conversion(command)
    add_force(command, "replace existing charts, and files in --keep DIR that no demo wrote")
    command.set_defaults(run=run)


def _charts(arguments: argparse.Namespace, count: int) -> list[Path | None]:
    if arguments.plot is None:
        return [None] * count
    chart = Path(arguments.plot)
    if count == 1:
        return [chart]
    return [chart.with_name(f"{chart.stem}-{number + 1}{chart.suffix}") for number in range(count)]


def run(arguments: argparse.Namespace, out: TextIO) -> int:
    if arguments.plot is not None:
        check_plotting()
    with tempfile.TemporaryDirectory(prefix="tarnwick-demo-") as scratch:
        directory = Path(arguments.keep) if arguments.keep else Path(scratch)
        directory.mkdir(parents=True, exist_ok=True)
        tables = [Path(arguments.csv)] if arguments.csv is not None else [directory / MINUTES, directory / DAYS]
        charts = _charts(arguments, len(tables))
        # Everything checked before anything is written: in a kept directory,
        # only what an earlier demo wrote is replaced without --force.
        written = [directory / (table.stem + ".bars") for table in tables]
        if arguments.csv is None:
            written += tables
        earlier = made_here(directory)
        inputs = tables if arguments.csv is not None else ()
        for path in written:
            check_target(path, "file", inputs=inputs, force=arguments.force or path.name in earlier)
        for chart in filter(None, charts):
            check_output(chart, "file", arguments, inputs=inputs)
        if arguments.csv is None:
            print(f"== sample tables (seed {arguments.seed}) in {directory}", file=out)
            write_minute_sample(tables[0], arguments.seed)
            write_daily_sample(tables[1], arguments.seed)
            note_made(directory, (MINUTES, DAYS))
            jobs: list[tuple[Path, str | None, Kind | None]] = [(table, "ABC", None) for table in tables]
        else:
            jobs = [(tables[0], arguments.ticker, kind(arguments))]
        failures = 0
        for (source, ticker, chosen), chart_path in zip(jobs, charts):
            target = directory / (source.stem + ".bars")
            print(f"== convert {source} -> {target}", file=out)
            table = convert(source, target, ticker=ticker, kind=chosen, span=arguments.span, stamp=arguments.stamp,
                            show_progress=arguments.progress, tz=arguments.tz, **reading_of(arguments))[0]
            note_made(directory, (target.name,))
            print(f"{len(table)} {table.kind} bars of {table.ticker}; span: {table.span_text}", file=out)
            print(f"== show {target}", file=out)
            show(target, head=arguments.head, kind=table.kind, plot_path=chart_path, out=out, tz=arguments.tz)
            print(f"== verify {target}", file=out)
            problems = verify(target, table)
            for problem in problems:
                print(f"  {problem}", file=out)
            if problems:
                failures += 1
            else:
                print(f"all {len(table)} bars read back equal to what was written, field by field", file=out)
        if arguments.keep:
            print(f"files kept in {directory}", file=out)
    return 1 if failures else 0
