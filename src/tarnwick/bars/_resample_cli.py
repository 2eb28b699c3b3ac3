"""The tool's ``resample`` command: one bar file into another, or a directory
of bar files into another directory, the files resampled in parallel.  The
command joins the tool by adding itself to ``_cli.COMMANDS``."""

from __future__ import annotations

import argparse
import os
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import FIRST_EXCEPTION, Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import Any, TextIO

from ._cli import COMMANDS, CommandError, Commands, _add_force, _add_kind, _add_zone, _kind, _new_output
from ._file import write
from ._resample import ResampledBars, Span, clock_seconds, parse_session, resample

CHUNK = 1 << 23
"""Bytes written between two looks at whether the run was interrupted."""


class _Stopped(Exception):
    """The run was interrupted: this file is not to be written."""


def _argument(parse: Any) -> Any:
    def convert(text: str) -> Any:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    convert.__name__ = parse.__name__
    return convert


def _check_clock(text: str) -> str:
    clock_seconds(text)
    return text


def _check_session(text: str) -> str:
    parse_session(text)
    return text


def add_resample_command(commands: Commands) -> None:
    """Adds ``resample`` to the tool's subcommands."""
    command = commands.add_parser(
        "resample", help="resample bars into a longer span",
        description="Resample a bar file (or every bar file of a directory, in parallel) into bars of a longer "
                    "span: intraday spans that divide a day follow the local wall clock, days and longer make "
                    "daily bars.  Files are written whole or not at all.")
    command.add_argument("input", metavar="IN", help="a bar file, or a directory of bar files")
    command.add_argument("output", metavar="OUT", help="the new bar file, or a directory for the new files")
    command.add_argument("--span", required=True, type=_argument(Span.parse),
                         help="the new span: 5min, 1h, 24h (intraday), 1d, 1w, 1mo, 1q, 1y (daily), or seconds")
    _add_zone(command)
    command.add_argument("--session", metavar="HH:MM-HH:MM", type=_argument(_check_session),
                         help="keep only intraday bars within these local hours")
    command.add_argument("--origin", metavar="HH:MM", type=_argument(_check_clock),
                         help="a local time of day on which an intraday bucket starts (default midnight)")
    _add_kind(command, "for files without a header: ")
    command.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                         help="files resampled at once from a directory (default: the number of cores)")
    _add_force(command, "replace an existing OUT (a directory: the files in it of the same names)")
    command.set_defaults(run=run_resample)


def _resample_file(source: Path, target: Path, arguments: argparse.Namespace, stop: threading.Event) -> str:
    bars = resample(source, arguments.span, session=arguments.session, origin=arguments.origin,
                    kind=_kind(arguments))  # in the zone of PROFILE, which --tz sets
    if stop.is_set():
        raise _Stopped
    write(target, _chunks(bars, stop), kind=bars.kind)
    return f"{target}: {len(bars)} {bars.kind} bars of {bars.span} from {source}"


def _chunks(bars: ResampledBars[Any], stop: threading.Event) -> Iterator[memoryview]:
    # Written piece by piece so that an interrupt ends the write (which then
    # removes its temporary file) without waiting for the whole file.
    with memoryview(bars) as view:
        for offset in range(0, len(view), CHUNK):
            if stop.is_set():
                raise _Stopped
            yield view[offset : offset + CHUNK]


def run_resample(arguments: argparse.Namespace, out: TextIO) -> int:
    """Runs ``resample``; returns the exit status."""
    source, target = Path(arguments.input), Path(arguments.output)
    _new_output(target, arguments)
    if arguments.jobs < 1:
        raise CommandError(f"--jobs must be at least 1, not {arguments.jobs}")
    if not source.is_dir():
        if target.is_dir():
            raise CommandError(f"{target} is a directory; a bar file resamples into a file")
        print(_resample_file(source, target, arguments, threading.Event()), file=out)
        return 0
    jobs = [(path, target / path.name) for path in sorted(source.iterdir())
            if path.is_file() and not path.name.startswith(".")]
    target.mkdir(parents=True, exist_ok=True)
    stop = threading.Event()
    failures = 0
    with ThreadPoolExecutor(max_workers=min(arguments.jobs, max(len(jobs), 1))) as pool:
        # The native pass runs without the GIL, so threads resample files on all cores.
        futures: dict[Future[str], Path] = {
            pool.submit(_resample_file, path, output, arguments, stop): path for path, output in jobs}
        try:
            pending = set(futures)
            while pending:
                done, pending = wait(pending, return_when=FIRST_EXCEPTION)
                for future in done:
                    error = future.exception()
                    if error is None:
                        print(future.result(), file=out)
                    elif isinstance(error, (ValueError, OSError)):
                        failures += 1
                        print(f"error: {error}", file=sys.stderr)
                    else:
                        raise error
        except BaseException:
            stop.set()  # files being written are removed, files not begun are not begun
            pool.shutdown(wait=True, cancel_futures=True)
            raise
    if failures:
        print(f"{failures} of {len(jobs)} files failed", file=sys.stderr)
    return 1 if failures else 0


COMMANDS.append(add_resample_command)
