"""Bar files: a header record and 101-byte bar records back to back (see
``_records``), written atomically and read through a memory mapping without
copying."""

from __future__ import annotations

import contextlib
import mmap
import os
from collections.abc import Buffer, Iterable
from pathlib import Path
from typing import Any, BinaryIO, Literal, Self, TypeVar, overload

from tarnwick.base.candlestick import BarData, DailyBar

from ._records import (
    BAR_KIND_CODE,
    RECORD_SIZE,
    BarFileError,
    Kind,
    class_of,
    header_record,
    kind_of,
    open_records,
)
from ._output import output_file
from ._sequence import BarSequence

StrPath = str | os.PathLike[str]

B = TypeVar("B", bound=BarData, covariant=True)

BarSource = Iterable["BarData | Buffer"] | Buffer
"""What ``write`` takes: bars, a buffer of records, or an iterable of bars and buffers of records."""

__all__ = ["BarFile", "BarFileError", "BarSource", "StrPath", "kind_of", "read", "write"]


class BarFile(BarSequence[B]):
    """The bars of a bar file, laid over a read-only memory mapping of it.

    ``len``, indexing (negative indices too) and iteration give view bars
    over the records: they read the file's bytes in place and cannot be
    assigned to.  A slice gives a list of such bars.  Use ``copy.copy(bar)``
    for a bar that owns its record, or ``bytes(memoryview(bar))`` for the
    record.  The object itself exports its bar records (not the header) as a
    read-only buffer, so ``columns()`` or ``numpy.frombuffer(bars,
    RECORD_DTYPE)`` make columns without copying.

    ``close()`` (or leaving a ``with`` block) ends the object's use: any later
    access raises ``ValueError``, also in another thread that is iterating.
    The mapping is unmapped at once when no bar or buffer taken from it is
    alive; otherwise those bars, arrays and views keep it mapped, and it goes
    when the last of them is dropped.  Nothing ever reads unmapped memory.
    A mapped file must not be truncated meanwhile (reading past its new end
    kills the process with SIGBUS); ``write`` replaces files instead of
    truncating them, which is safe.
    """

    __slots__ = ("_mapping", "_path", "__weakref__")
    _noun = "bar file"

    def __init__(self, path: StrPath, kind: Kind | type[B] | None = None) -> None:
        self._path = Path(path)
        records = open_records(self._path, kind, check_codes=True)
        try:
            cls: type[B] = kind if isinstance(kind, type) else class_of(records.kind)  # type: ignore[assignment]
            super().__init__(records.view, cls)
        except BaseException:
            records.close()
            raise
        self._mapping: mmap.mmap | None = records.mapping

    @property
    def path(self) -> Path:
        """The file's path."""
        return self._path

    @property
    def name(self) -> str:
        return str(self._path)

    @property
    def closed(self) -> bool:
        """Whether ``close`` has been called."""
        return self._laid is None

    def _closed_error(self) -> ValueError:
        return ValueError(f"bar file {self._path} is closed")

    def close(self) -> None:
        """Ends the use of this object; see the class's description for the mapping."""
        # Only references are dropped, nothing is released by hand: a thread
        # that took the records a moment ago keeps reading valid memory, and
        # the mapping goes with the last of its users.
        self._laid = None
        mapping, self._mapping = self._mapping, None
        if mapping is not None:
            try:
                mapping.close()
            except BufferError:
                pass  # bars or buffers taken from it are alive; the last of them unmaps it

    def __enter__(self) -> Self:
        self._open()
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, traceback: object) -> None:
        self.close()

    def _label(self) -> str:
        return f" {str(self._path)!r}"


@overload
def read(path: StrPath, kind: None = None) -> BarFile[BarData]: ...
@overload
def read(path: StrPath, kind: Literal["daily"]) -> BarFile[DailyBar]: ...
@overload
def read(path: StrPath, kind: Literal["intraday"]) -> BarFile[BarData]: ...
@overload
def read(path: StrPath, kind: type[B]) -> BarFile[B]: ...
def read(path: StrPath, kind: Kind | type[BarData] | None = None) -> BarFile[Any]:
    """Maps a bar file and gives its bars without copying (see ``BarFile``).

    ``kind`` is ``"daily"`` (``DailyBar``), ``"intraday"`` (``BarData``), a
    ``BarData`` subclass, or None for the kind that the file's header states.
    A file without a header (bar records only, as older versions wrote) is
    taken for daily when its first and last record both hold a date number
    (year 1900 to 9999) as timestamp and a whole number of at least one as
    span, for intraday when neither does; ``kind`` must decide a file whose
    ends disagree.  Refuses, with ``BarFileError``, a file whose size is not
    whole records, or not the number of bars its header states (a truncated
    file), whose header states a format version or a kind this code does not
    read, or whose header contradicts ``kind``.  A file with a header opens
    by reading the header only: it vouches for the records, whose kind codes
    ``verify`` checks (and ``resample`` refuses any that is not a bar's); a
    file without one is checked for records of another kind than bars (a
    header is only allowed first) as it opens.
    """
    return BarFile(path, kind)


def write(path: StrPath, source: BarSource, *, kind: Kind | None = None) -> int:
    """Writes a bar file at ``path``: a header stating the kind of its bars,
    then their records.  Returns the number of bars written.

    ``source`` is any of:

    - bars (an iterable of ``BarData``): their class decides the kind, and
      mixing ``DailyBar`` with other bars is refused;
    - a buffer of packed bar records (``bytes``, ``bytearray``, ``memoryview``,
      a numpy array of ``RECORD_DTYPE``, any object exporting a C-contiguous
      buffer of a multiple of 101 bytes), such as an open ``BarFile``;
    - an iterable of such buffers (or of buffers and bars), so that records
      can be written while later ones are still being built.

    Records given as buffers carry no class, so ``kind`` (``"daily"`` or
    ``"intraday"``) must say what they are: a file's kind is written, never
    guessed.  An open ``BarFile`` or the result of ``resample``, given whole
    or among the items, brings its own kind, as bars do: ``write(path,
    [read(p) for p in paths])`` joins files.  Items of different kinds, or
    of another kind than a ``kind`` given, are refused.  Every record must
    be a bar record (kind code 40): others are refused with ``BarFileError``
    naming the record's index, objects that are neither bars nor buffers with
    ``TypeError``.

    The header states the number of bars, so that a reader refuses the file
    once it has lost (or gained) records.  The file is written whole or not
    at all: the bytes go to a temporary file in the same directory, which
    replaces ``path`` only once every record has been written and flushed to
    disk (see ``_output.output_file``, which also refuses a ``path`` that is a
    FIFO, a device or a link to one).
    """
    if kind not in (None, "daily", "intraday"):
        raise TypeError(f"kind must be 'daily', 'intraday' or None, not {kind!r}")
    with contextlib.ExitStack() as stack:
        if isinstance(source, BarSequence):  # an open file or resampled bars: they bring their kind
            opened = stack.enter_context(open_records(source, kind))
            source, kind = opened.view, opened.kind
        return _write(path, source, kind)


def _write(path: StrPath, source: BarSource, kind: Kind | None) -> int:
    records = _Records(kind)
    with output_file(path) as temporary, RecordWriter(temporary) as writer:
        whole = isinstance(source, BarData) or _as_records(source, 0) is not None
        items: Iterable[object] = (source,) if whole else source  # type: ignore[assignment]
        for item in items:
            for chunk in records.add(item):
                writer.write(chunk)
        writer.write(records.pending)
        writer.finish(records.kind or "intraday")
    return records.count


class RecordWriter:
    """A bar file being written at ``path`` (a temporary of ``output_file``
    or ``output_directory``), records a chunk at a time: the header goes
    first as a place holder, and ``finish`` writes it again, stating the
    kind and the number of bars, and syncs the file to disk.  Closing it
    unfinished leaves the file for its output to remove."""

    def __init__(self, path: StrPath) -> None:
        self.file = open(path, "wb")
        self.file.write(header_record("intraday"))  # a place holder until the bars have decided
        self.flushing = _WriteBack(self.file)
        self.count = 0

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exception: object) -> None:
        self.file.close()

    def write(self, chunk: Buffer) -> None:
        """Writes whole records (the caller has checked them)."""
        written = self.file.write(chunk)
        self.count += written // RECORD_SIZE
        self.flushing.wrote(written)

    def finish(self, kind: Kind) -> None:
        self.file.seek(0)  # the header, now with the kind the bars decided and their number
        self.file.write(header_record(kind, self.count))
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()


WRITE_BACK_BYTES = 8 << 20
"""How much ``write`` lets pile up in the page cache before it has the disk start on it."""


class _WriteBack:
    """Has the kernel start writing a file's pages to disk every few megabytes
    while later ones are still being written, so that the closing fsync finds
    little left to wait for."""

    def __init__(self, file: BinaryIO) -> None:
        self.file, self.written, self.started = file, file.tell(), 0
        self.enabled = hasattr(os, "posix_fadvise")

    def wrote(self, count: int) -> None:
        self.written += count
        if not self.enabled or self.written - self.started < WRITE_BACK_BYTES:
            return
        self.file.flush()
        try:
            # On Linux, DONTNEED over dirty pages starts their write-back and
            # leaves them cached (only pages already clean are dropped).
            os.posix_fadvise(self.file.fileno(), self.started, self.written - self.started, os.POSIX_FADV_DONTNEED)
        except OSError:
            self.enabled = False  # a file system without it: fsync does it all
        self.started = self.written


def _as_records(item: object, count: int) -> memoryview | None:
    """The bytes of ``item`` as a flat view if it is a buffer of records (and
    not a bar), None if it exports no buffer."""
    if isinstance(item, BarData):
        return None
    try:
        view = memoryview(item)  # type: ignore[arg-type]
    except TypeError:
        return None
    if not view.c_contiguous:
        raise BarFileError(f"records from record {count} on are not in a C-contiguous buffer")
    flat = view.cast("B") if view.ndim != 1 or view.format != "B" else view
    if flat.nbytes % RECORD_SIZE:
        raise BarFileError(f"records from record {count} on: {flat.nbytes} bytes is not a whole number of "
                           f"{RECORD_SIZE}-byte records")
    return flat


class _Records:
    """What ``write`` has taken so far: the count, the kind, and bars' records
    gathered into chunks (a buffer of records goes out as it is)."""

    def __init__(self, kind: Kind | None) -> None:
        self.kind, self.count, self.pending = kind, 0, bytearray()

    def add(self, item: object) -> tuple[bytearray | memoryview, ...]:
        """Takes one bar or one buffer of records; returns what is ready to be written."""
        if isinstance(item, BarData):
            self._settle(kind_of(type(item)), f"bar {self.count} is a "
                         f"{type(item).__name__}")
            record = memoryview(item)
            if record[0] != BAR_KIND_CODE:
                raise BarFileError(f"record {self.count} is not a bar record (kind code {record[0]}, bars "
                                   f"carry {BAR_KIND_CODE})")
            self.pending += record
            self.count += 1
            if len(self.pending) < 1 << 20:
                return ()
            ready, self.pending = self.pending, bytearray()
            return (ready,)
        if isinstance(item, BarSequence):  # an open file or resampled bars: they bring their kind
            self._settle(item.kind, f"{item.name} (from record {self.count} on) holds {item.kind} bars")
        chunk = _as_records(item, self.count)
        if chunk is None:
            raise TypeError(f"record {self.count} is a {type(item).__name__}, neither a BarData nor a buffer "
                            "of bar records")
        if self.kind is None:
            raise TypeError("records given as buffers need kind='daily' or kind='intraday'")
        codes = chunk[::RECORD_SIZE].tobytes()
        if codes.count(BAR_KIND_CODE) != len(codes):
            index = next(i for i, code in enumerate(codes) if code != BAR_KIND_CODE)
            raise BarFileError(f"record {self.count + index} is not a bar record (kind code {codes[index]}, "
                               f"bars carry {BAR_KIND_CODE})")
        self.count += len(codes)
        ready, self.pending = self.pending, bytearray()
        return ready, chunk

    def _settle(self, kind: Kind, what: str) -> None:
        if self.kind is None:
            self.kind = kind
        elif kind != self.kind:
            raise BarFileError(f"{what} in a file of {self.kind} bars")
