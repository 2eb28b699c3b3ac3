"""``resample``: one bar file into another, or a directory of bar files into
another directory, the files resampled in parallel."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import FIRST_EXCEPTION, Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import Any, TextIO

from .._file import read, write
from .._records import RECORD_SIZE
from .._output import describe_error, output_directory
from .._resample import ResampledBars, Span, clock_seconds, parse_session, resample
from .options import (PROGRAM, CommandError, Commands, add_force, add_kind, add_window, add_zone, argument_type,
                      check_output, kind, window)

CHUNK = (1 << 23) // RECORD_SIZE * RECORD_SIZE
"""Bytes written between two looks at whether the run was stopped: about
8 MiB, in whole records (``write`` takes nothing else)."""


class _Stopped(Exception):
    """The run was stopped: this file is not to be written."""


def check_clock(text: str) -> str:
    """An --origin argument (HH:MM), checked; resample and aggregate share it."""
    clock_seconds(text)
    return text


def check_session(text: str) -> str:
    """A --session argument (HH:MM-HH:MM), checked."""
    parse_session(text)
    return text


def add(commands: Commands) -> None:
    command = commands.add_parser(
        "resample", help="resample bars into a longer span",
        description="Resample a bar file (or every bar file of a directory, in parallel) into bars of a longer "
                    "span: intraday spans that divide a day follow the local wall clock, days and longer make "
                    "daily bars.  Files and directories are written whole or not at all.")
    command.add_argument("input", metavar="IN", help="a bar file, or a directory of bar files")
    command.add_argument("output", metavar="OUT", help="the new bar file, or a directory for the new files")
    command.add_argument("--span", required=True, type=argument_type(Span.parse),
                         help="the new span: 5min, 1h, 24h (intraday), 1d, 1w, 1mo, 1q, 1y (daily), or seconds")
    add_zone(command)
    add_window(command)
    command.add_argument("--session", metavar="HH:MM-HH:MM", type=argument_type(check_session),
                         help="keep only intraday bars within these local hours")
    command.add_argument("--origin", metavar="HH:MM", type=argument_type(check_clock),
                         help="a local time of day on which an intraday bucket starts (default midnight)")
    add_kind(command, "for files without a header: ")
    command.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                         help="files resampled at once from a directory (default: the number of cores)")
    add_force(command, "replace an existing OUT (a directory only if it holds nothing but an earlier output)")
    command.set_defaults(run=run)


def _resample_file(source: Path, target: Path, arguments: argparse.Namespace, stop: threading.Event,
                   shown: Path | None = None) -> str:
    """Resamples ``source`` into ``target``; says so, naming the target ``shown`` (default ``target``)."""
    with contextlib.ExitStack() as stack:
        records: object = source  # mapped by resample itself, unless only a window of it is asked for
        if arguments.start is not None or arguments.end is not None:
            records = window(stack.enter_context(read(source, kind(arguments))), arguments)
        bars = resample(records, arguments.span, tz=arguments.tz, session=arguments.session,
                        origin=arguments.origin, kind=kind(arguments))
    if stop.is_set():
        raise _Stopped
    write(target, _chunks(bars, stop), kind=bars.kind)
    return f"{shown or target}: {len(bars)} {bars.kind} bars of {bars.span} from {source}"


def _chunks(bars: ResampledBars[Any], stop: threading.Event) -> Iterator[memoryview]:
    # Written piece by piece so that a stop ends the write (which then
    # removes its temporary file) without waiting for the whole file.
    with memoryview(bars) as view:
        for offset in range(0, len(view), CHUNK):
            if stop.is_set():
                raise _Stopped
            yield view[offset : offset + CHUNK]


def run(arguments: argparse.Namespace, out: TextIO) -> int:
    source, target = Path(arguments.input), Path(arguments.output)
    if arguments.jobs < 1:
        raise CommandError(f"--jobs must be at least 1, not {arguments.jobs}")
    if not source.is_dir():
        check_output(target, "file", arguments, inputs=(source,))
        print(_resample_file(source, target, arguments, threading.Event()), file=out)
        return 0
    files = [path for path in sorted(source.iterdir()) if path.is_file() and not path.name.startswith(".")]
    if not files:
        raise CommandError(f"{source} holds no bar files: nothing to resample")
    inputs = (source, *files)
    check_output(target, "directory", arguments, inputs=inputs)
    with output_directory(target, inputs=inputs) as scratch:
        jobs = [(path, scratch / path.name, target / path.name) for path in files]
        failed = _resample_all(jobs, arguments, out)
        if len(failed) == len(jobs):
            raise CommandError(f"{source}: none of its {len(jobs)} files could be resampled")
    if failed:
        print(f"{PROGRAM}: {len(failed)} of {len(jobs)} files failed: {_names(failed)}", file=sys.stderr)
    return 1 if failed else 0


def _names(paths: list[Path]) -> str:
    return ", ".join(str(path) for path in paths)


def _resample_all(jobs: list[tuple[Path, Path, Path]], arguments: argparse.Namespace, out: TextIO) -> list[Path]:
    """Resamples each file into its scratch place; prints what became of each
    (under its final name) and returns the sources that failed."""
    stop = threading.Event()
    failed: list[Path] = []
    with ThreadPoolExecutor(max_workers=min(arguments.jobs, len(jobs))) as pool:
        # The native pass runs without the GIL, so threads resample files on all cores.
        futures: dict[Future[str], tuple[Path, Path, Path]] = {
            pool.submit(_resample_file, source, scratch, arguments, stop, final): (source, scratch, final)
            for source, scratch, final in jobs}
        try:
            pending = set(futures)
            while pending:
                done, pending = wait(pending, return_when=FIRST_EXCEPTION)
                for future in sorted(done, key=lambda done: futures[done][0]):
                    source, scratch, final = futures[future]
                    error = future.exception()
                    if error is None:
                        print(future.result(), file=out)
                    elif isinstance(error, (ValueError, OSError)):
                        failed.append(source)
                        text = describe_error(error) if isinstance(error, OSError) else str(error)
                        if str(source) not in text and str(scratch) not in text:
                            text = f"{source}: {text}"
                        print(f"{PROGRAM}: error: {text.replace(str(scratch), str(final))}", file=sys.stderr)
                    else:
                        raise error
        except BaseException:
            stop.set()  # files being written are removed, files not begun are not begun
            pool.shutdown(wait=True, cancel_futures=True)
            raise
    return sorted(failed)
