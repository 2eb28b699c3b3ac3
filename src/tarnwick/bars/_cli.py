"""The bar-file tool: ``python -m tarnwick.bars`` or ``tarnwick-bars``.

Each command is one function that adds its parser (``COMMANDS``); the
parser's ``run`` does the work.  Commands refuse to replace an existing
output unless given ``--force``; whatever they write appears whole or not
at all, also when interrupted.
"""

from __future__ import annotations

import argparse
import datetime
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, TextIO

from ._convert import add_convert_options, convert, reading_of, summary
from ._spans import parse_span
from ._table import check_ticker
from ._export import export, format_for
from ._file import StrPath, read, refuse_same_file
from ._records import Kind
from ._operations import show, verify
from ._zones import parse_zone

PROGRAM = "tarnwick-bars"
INTERRUPTED = 130
"""The exit status after Ctrl-C, as shells give for SIGINT."""

Commands = Any  # argparse's subparsers action, which has no public type
AddCommand = Callable[[Commands], None]


class CommandError(Exception):
    """A failure to report in one line, without a traceback."""




def _check_plotting() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CommandError("charts need matplotlib: pip install 'tarnwick[plot]'") from None


def _kind(arguments: argparse.Namespace) -> Kind | None:
    kind: Kind | None = arguments.kind
    return kind


def _new_output(path: StrPath, arguments: argparse.Namespace) -> None:
    if not arguments.force and (Path(path).exists() or Path(path).is_symlink()):
        raise CommandError(f"{path} exists: give --force to replace it")


# ---- the commands --------------------------------------------------------------------


def _convert_command(commands: Commands) -> None:
    command = commands.add_parser("convert", help="convert an OHLCV CSV table into a bar file",
                                  description="Convert an OHLCV CSV table into a bar file, written whole or "
                                              "not at all.")
    command.add_argument("input", metavar="IN.csv")
    command.add_argument("output", metavar="OUT.bars")
    _add_conversion(command)
    _add_force(command)
    command.set_defaults(run=_run_convert)


def _run_convert(arguments: argparse.Namespace, out: TextIO) -> int:
    refuse_same_file(arguments.input, arguments.output)
    _new_output(arguments.output, arguments)
    tables = convert(arguments.input, arguments.output, ticker=arguments.ticker, kind=_kind(arguments),
                     span=arguments.span, stamp=arguments.stamp, show_progress=arguments.progress,
                     **reading_of(arguments))
    for line in summary(tables):
        print(line, file=out)
    return 0


def _export_command(commands: Commands) -> None:
    command = commands.add_parser(
        "export", help="export a bar file to Parquet, CSV or a Parquet dataset",
        description="Export a bar file as a table (see the README for its columns): Parquet (.parquet, .pq), "
                    "CSV (.csv) or, for a name without a suffix, a Parquet dataset directory partitioned by "
                    "ticker (ticker=XYZ/...).")
    command.add_argument("input", metavar="IN.bars")
    command.add_argument("output", metavar="OUT")
    command.add_argument("--format", choices=("parquet", "csv", "dataset"),
                         help="the format (default: by OUT's suffix)")
    _add_kind(command, "for a file without a header: ")
    _add_zone(command)
    _add_force(command)
    command.set_defaults(run=_run_export)


def _run_export(arguments: argparse.Namespace, out: TextIO) -> int:
    refuse_same_file(arguments.input, arguments.output)
    chosen = arguments.format or format_for(arguments.output)
    _new_output(arguments.output, arguments)
    with read(arguments.input, _kind(arguments)) as bars:
        count = export(bars, arguments.output, format=chosen)
        print(f"{arguments.output}: {count} {bars.kind} bars as {chosen}", file=out)
    return 0


def _show_command(commands: Commands) -> None:
    command = commands.add_parser("show", help="summarise a bar file", description="Summarise a bar file.")
    command.add_argument("file", metavar="FILE.bars")
    command.add_argument("--head", type=_positive, default=5, metavar="N",
                         help="how many bars to print from each end (default 5)")
    _add_kind(command, "for a file without a header: ")
    _add_zone(command)
    command.add_argument("--plot", metavar="CHART.png", help="draw a candlestick chart with a volume panel")
    command.add_argument("--plot-bars", type=_positive, default=120, metavar="N",
                         help="how many of the last bars the chart shows (default 120); more than 2000 are "
                              "resampled into at most 2000 candles")
    _add_force(command, "replace an existing chart")
    command.set_defaults(run=_run_show)


def _run_show(arguments: argparse.Namespace, out: TextIO) -> int:
    if arguments.plot is not None:
        _check_plotting()
        _new_output(arguments.plot, arguments)
    show(arguments.file, head=arguments.head, kind=_kind(arguments), plot_path=arguments.plot,
         plot_bars=arguments.plot_bars, out=out)
    return 0


def _demo_command(commands: Commands) -> None:
    command = commands.add_parser(
        "demo", help="convert, show and verify a sample (or your CSV)",
        description="Convert a CSV table (without one: a seeded sample of a trading day of minute bars and a "
                    "year of daily bars), show the bar file and verify every field of every bar read back. "
                    "It writes only into a directory of its own, or into --keep DIR, where it replaces what "
                    "an earlier demo wrote.")
    command.add_argument("csv", nargs="?", metavar="FILE.csv", help="your table (default: the samples)")
    command.add_argument("--seed", type=int, default=7, help="seed of the samples (default 7)")
    command.add_argument("--head", type=_positive, default=3, metavar="N",
                         help="how many bars to print from each end (default 3)")
    command.add_argument("--keep", metavar="DIR", help="write the tables and bar files into DIR and keep them")
    command.add_argument("--plot", metavar="CHART.png",
                         help="also draw candlestick charts (CHART-1.png, CHART-2.png for the two samples)")
    _add_conversion(command)
    _add_force(command, "replace existing charts")
    command.set_defaults(run=_run_demo)


def _run_demo(arguments: argparse.Namespace, out: TextIO) -> int:
    import tempfile

    from ._sample import write_daily_sample, write_minute_sample

    if arguments.plot is not None:
        _check_plotting()
    with tempfile.TemporaryDirectory(prefix="tarnwick-demo-") as scratch:
        directory = Path(arguments.keep) if arguments.keep else Path(scratch)
        directory.mkdir(parents=True, exist_ok=True)
        if arguments.csv is not None:
            jobs = [(Path(arguments.csv), arguments.ticker, _kind(arguments))]
        else:
            print(f"== sample tables (seed {arguments.seed}) in {directory}", file=out)
            jobs = [
                (write_minute_sample(directory / "ABC-minutes.csv", arguments.seed), "ABC", None),
                (write_daily_sample(directory / "ABC-days.csv", arguments.seed), "ABC", None),
            ]
        charts: list[Path | None] = [None] * len(jobs)
        if arguments.plot is not None:
            chart = Path(arguments.plot)
            charts = [chart] if len(jobs) == 1 else [
                chart.with_name(f"{chart.stem}-{number + 1}{chart.suffix}") for number in range(len(jobs))]
            for path in filter(None, charts):
                _new_output(path, arguments)
        failures = 0
        for (source, ticker, kind), chart_path in zip(jobs, charts):
            target = directory / (source.stem + ".bars")
            print(f"== convert {source} -> {target}", file=out)
            table = convert(source, target, ticker=ticker, kind=kind, span=arguments.span, stamp=arguments.stamp,
                            show_progress=arguments.progress, **reading_of(arguments))[0]
            print(f"{len(table)} {table.kind} bars of {table.ticker}; span: {table.span_text}", file=out)
            print(f"== show {target}", file=out)
            show(target, head=arguments.head, kind=table.kind, plot_path=chart_path, out=out)
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


def _span(text: str) -> float:
    try:
        return parse_span(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _ticker(text: str) -> str:
    try:
        return check_ticker(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _positive(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a count: {text}")
    return value


def _zone(text: str) -> datetime.tzinfo | None:
    try:
        return parse_zone(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _add_kind(parser: argparse.ArgumentParser, when: str = "") -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--daily", dest="kind", action="store_const", const="daily",
                       help=when + "daily bars (DailyBar: market dates, spans in days)")
    group.add_argument("--intraday", dest="kind", action="store_const", const="intraday",
                       help=when + "intraday bars (BarData: epoch seconds, spans in seconds)")


def _add_force(parser: argparse.ArgumentParser, help: str = "replace an existing output") -> None:
    parser.add_argument("--force", action="store_true", help=help)


def _add_zone(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--tz", type=_zone, metavar="ZONE", default=argparse.SUPPRESS,
                        help="time zone of the bar times (sets PROFILE.time_zone): a name such as "
                             "America/New_York, UTC, or local; default: PROFILE's, UTC")


def _add_conversion(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--ticker", type=_ticker, help="the ticker of the bars (default: the file's name)")
    _add_kind(parser)
    parser.add_argument("--span", type=_span, metavar="SECONDS",
                        help="the span of each bar in seconds, or with a unit: 5m, 1h, 1d (default: inferred)")
    parser.add_argument("--stamp", choices=("start", "end"), default="start",
                        help="whether an intraday row's time is its bar's start (default) or end")
    _add_zone(parser)
    add_convert_options(parser)
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--progress", dest="progress", action="store_const", const=True,
                       help="always show a progress bar")
    group.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                       help="never show one (default: on a terminal for large tables)")


COMMANDS: list[AddCommand] = [_convert_command, _export_command, _show_command, _demo_command]
"""The commands of the tool, in the order its help lists them; another
module adds one by appending the function that adds its parser (which sets
``run``, a function of the arguments and the output stream that returns the
exit status)."""


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tarnwick")
    except PackageNotFoundError:
        return "unknown"


class _VersionAction(argparse._VersionAction):
    """``--version``, which looks the version up only when asked (its lookup
    imports more than a whole conversion needs)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        self.version = f"{PROGRAM} {_version()}"
        super().__call__(parser, namespace, values, option_string)


def parser() -> argparse.ArgumentParser:
    from . import _resample_cli  # noqa: F401  (the resample command joins COMMANDS when imported)

    top = argparse.ArgumentParser(prog=PROGRAM, description="Bar files: 101-byte bar records back to back, "
                                                            "after a header that states their kind.")
    top.add_argument("--version", action=_VersionAction)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in COMMANDS:
        add(commands)
    return top


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Runs the tool; returns its exit status (0 done, 1 failed, 2 misused,
    130 interrupted)."""
    out = sys.stdout if out is None else out
    try:
        arguments = parser().parse_args(argv)
        if "tz" in arguments:
            from tarnwick.profile import PROFILE

            PROFILE.time_zone = arguments.tz
        status: int = arguments.run(arguments, out)
    except KeyboardInterrupt:
        # What was being written is gone already (see ``replacing``).
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``show ... | head``): nothing more to say, and
        # nothing for Python to fail to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (CommandError, ValueError, OSError, ImportError) as error:
        # ValueError covers CsvError and BarFileError, whose messages name the file and line.
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    return status
