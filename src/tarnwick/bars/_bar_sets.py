"""Several bar files read as one set of bars: a directory of them (as
``convert`` makes of a table with several tickers) or a list of paths and
open bar files.  ``show``, ``to_arrow`` and ``export`` take a set; its
order is stable: a directory's files sorted by name, each file's bars in
their order, so tickers come in the order they first appear.  A set is of
one kind: daily and intraday files are refused together."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any, TypeIs

from ._file import BarFile, StrPath
from ._records import BarFileError, Kind
from ._sequence import BarSequence

Member = StrPath | BarSequence[Any]
BarSet = Member | Iterable[Member]
"""A bar file (a path or open bars), a directory of bar files, or several of these."""


def is_set(source: object) -> TypeIs[BarSet]:
    """Whether ``source`` is bar files rather than bars in memory: a path,
    open bars, or a list or tuple of those."""
    if isinstance(source, (str, os.PathLike, BarSequence)):
        return True
    return isinstance(source, (list, tuple)) and bool(source) and isinstance(source[0], (str, os.PathLike,
                                                                                          BarSequence))


def bar_files(source: BarSet) -> list[Member]:
    """The bar files that ``source`` stands for, in order: a directory gives
    its files (not hidden ones, not subdirectories) sorted by name."""
    if isinstance(source, BarSequence):
        return [source]
    if isinstance(source, (str, os.PathLike)):
        path = Path(source)
        if not path.is_dir():
            return [source]
        found = sorted((entry for entry in path.iterdir() if entry.is_file() and not entry.name.startswith(".")),
                       key=lambda entry: entry.name)
        if not found:
            raise BarFileError(f"{path}: the directory holds no bar files")
        return list(found)
    members: list[Member] = []
    for item in source:
        if not isinstance(item, (str, os.PathLike, BarSequence)):
            raise TypeError(f"a set of bar files is paths and open bar files, not {type(item).__name__}")
        members.extend(bar_files(item))
    if not members:
        raise ValueError("no bar files given")
    return members


def input_paths(source: BarSet) -> list[StrPath]:
    """The files a set reads, which no output may write over."""
    return [member.path if isinstance(member, BarFile) else member for member in bar_files(source)
            if isinstance(member, (BarFile, str, os.PathLike))]


@contextlib.contextmanager
def read_set(source: BarSet, kind: Kind | None = None) -> Iterator[list[BarSequence[Any]]]:
    """Opens the bar files of ``source`` (``kind`` for files without a
    header), and closes those it opened when the block ends; open bars given
    stay open.  Refuses, naming the file, one whose kind differs from the
    first file's."""
    with contextlib.ExitStack() as stack:
        opened: list[BarSequence[Any]] = []
        for member in bar_files(source):
            bars = member if isinstance(member, BarSequence) else stack.enter_context(BarFile(member, kind))
            first = opened[0] if opened else None
            if kind is not None and bars.kind != kind:
                raise BarFileError(f"{bars.name}: the file holds {bars.kind} bars, not {kind} ones")
            if first is not None and bars.kind != first.kind:
                raise BarFileError(f"{bars.name} holds {bars.kind} bars, {first.name} {first.kind} bars: a set of "
                                   "bar files is of one kind (give the daily and the intraday files apart)")
            opened.append(bars)
        yield opened
