"""Bar files: a header record and 101-byte bar records back to back (see
``_layout``), written atomically and read through a memory mapping without
copying."""

from __future__ import annotations

import contextlib
import mmap
import os
import re
import struct
from collections.abc import Buffer, Callable, Iterable, Iterator, Sequence
from functools import partial
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, BinaryIO, Literal, Self, TypeVar, overload

from tarnwick.base.candlestick import BarData, DailyBar

from ._layout import (
    BAR_KIND_CODE,
    FORMAT_VERSION,
    OFFSETS,
    RECORD_SIZE,
    Kind,
    header_record,
    is_header,
    looks_daily,
    parse_header,
)

if TYPE_CHECKING:
    import numpy

StrPath = str | os.PathLike[str]

B = TypeVar("B", bound=BarData, covariant=True)

BarSource = Iterable["BarData | Buffer"] | Buffer
"""What ``write`` takes: bars, a buffer of records, or an iterable of bars and buffers of records."""



def kind_of(bar_class: type[BarData]) -> Kind:
    """``"daily"`` for ``DailyBar`` and its subclasses, ``"intraday"`` for every other bar class."""
    return "daily" if issubclass(bar_class, DailyBar) else "intraday"


# timestamp and bar_span, the two fields whose meaning depends on the class.
_TIME_FIELDS = struct.Struct("=dd")
_TIME_OFFSET = OFFSETS["timestamp"]


class BarFileError(ValueError):
    """A file that does not hold bar records, or bars that do not make a bar file."""


def _class_for(path: Path, kind: Kind | type[BarData] | None, stated: Kind | None,
               daily_by_rule: bool) -> type[BarData]:
    """The class of a file's bars: the one asked for, else the one the header
    states, else the one the rule gives (files without a header)."""
    if kind is None:
        kind = stated or ("daily" if daily_by_rule else "intraday")
    if kind == "daily":
        cls: type[BarData] = DailyBar
    elif kind == "intraday":
        cls = BarData
    elif isinstance(kind, type) and issubclass(kind, BarData):
        cls = kind
    else:
        raise TypeError(f"kind must be 'daily', 'intraday', None or a BarData class, not {kind!r}")
    if stated is not None and issubclass(cls, DailyBar) != (stated == "daily"):
        raise BarFileError(f"{path}: the file holds {stated} bars, which cannot be read as {cls.__name__}")
    return cls


def _read_header(path: Path, data: mmap.mmap) -> Kind | None:
    """The kind that the file's header states; None for a file without one."""
    if not is_header(data[:RECORD_SIZE]):
        return None
    version, kind = parse_header(data[:RECORD_SIZE])
    if version != FORMAT_VERSION:
        raise BarFileError(f"{path}: bar file format version {version} is not known to this version of "
                           f"tarnwick, which reads version {FORMAT_VERSION}")
    if kind is None:
        raise BarFileError(f"{path}: the header states a kind of bars that this version does not know")
    return kind


def _check_kind_codes(path: Path, data: mmap.mmap, first: int, count: int) -> None:
    codes = data[first * RECORD_SIZE : count * RECORD_SIZE : RECORD_SIZE]
    if codes.count(BAR_KIND_CODE) != len(codes):
        index = first + next(i for i, code in enumerate(codes) if code != BAR_KIND_CODE)
        record = data[index * RECORD_SIZE : (index + 1) * RECORD_SIZE]
        what = "a file header" if is_header(record) else f"not a bar record (kind code {record[0]}, bars carry " \
                                                         f"{BAR_KIND_CODE})"
        raise BarFileError(f"{path}: record {index} is {what}")


def _daily_by_rule(data: mmap.mmap, first: int, count: int) -> bool:
    if first == count:
        return False
    head = _TIME_FIELDS.unpack_from(data, first * RECORD_SIZE + _TIME_OFFSET)
    tail = _TIME_FIELDS.unpack_from(data, (count - 1) * RECORD_SIZE + _TIME_OFFSET)
    return looks_daily(*head) and looks_daily(*tail)


class BarFile(Sequence[B]):
    """The bars of a bar file, laid over a read-only memory mapping of it.

    ``len``, indexing (negative indices too) and iteration give view bars
    over the records: they read the file's bytes in place and cannot be
    assigned to.  A slice gives a list of such bars.  Use ``copy.copy(bar)``
    for a bar that owns its record, or ``bytes(memoryview(bar))`` for the
    record.  The object itself exports its bar records (not the header) as a
    read-only buffer, so ``columns()`` or ``numpy.frombuffer(bars,
    RECORD_DTYPE)`` make columns without copying.

    ``close()`` (or leaving a ``with`` block) ends the object's use: any later
    access raises ``ValueError``.  The mapping is unmapped at once when no bar
    or buffer taken from it is alive; otherwise those bars, arrays and views
    keep it mapped, and it goes when the last of them is dropped.
    Nothing ever reads unmapped memory.  A mapped file must not be truncated
    meanwhile (reading past its new end kills the process with SIGBUS);
    ``write`` replaces files instead of truncating them, which is safe.
    """

    __slots__ = ("_cls", "_count", "_first", "_lay", "_mmap", "_path", "_view", "__weakref__")

    def __init__(self, path: StrPath, kind: Kind | type[B] | None = None) -> None:
        self._path = Path(path)
        self._mmap: mmap.mmap | None = None
        self._view: memoryview | None = None
        self._lay: Callable[[int], B] | None = None  # a bar laid at a byte offset of the mapping
        with open(self._path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            if size % RECORD_SIZE:
                raise BarFileError(
                    f"{self._path}: {size} bytes is not a whole number of {RECORD_SIZE}-byte bar records "
                    f"({size // RECORD_SIZE} records and {size % RECORD_SIZE} bytes more)"
                )
            if size:
                self._mmap = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            records = size // RECORD_SIZE
            stated, first = None, 0
            if self._mmap is not None:
                stated = _read_header(self._path, self._mmap)
                first = 0 if stated is None else 1
                _check_kind_codes(self._path, self._mmap, first, records)
            self._count = records - first
            self._cls: type[B] = _class_for(  # type: ignore[assignment]
                self._path, kind, stated, self._mmap is not None and _daily_by_rule(self._mmap, first, records))
            self._first = first * RECORD_SIZE
            if self._count:
                assert self._mmap is not None
                self._view = memoryview(self._mmap)[self._first :]
                # All bars share one pin of the mapping: about 130 bytes a
                # live bar, where a memoryview slice and a pin of its own
                # each would take about 420.
                self._lay = partial(self._cls._from_pin, BarData._pin(self._mmap))
        except BaseException:
            if self._mmap is not None:
                self._mmap.close()
            raise

    @property
    def path(self) -> Path:
        """The file's path."""
        return self._path

    @property
    def bar_class(self) -> type[B]:
        """The class whose bars the file gives: ``DailyBar``, ``BarData`` or the class asked for."""
        return self._cls

    @property
    def kind(self) -> Kind:
        """``"daily"`` or ``"intraday"``: what the file's bars are read as."""
        return kind_of(self._cls)

    @property
    def closed(self) -> bool:
        """Whether ``close`` has been called."""
        return self._count < 0

    def _open_view(self) -> memoryview | None:
        if self._count < 0:
            raise ValueError(f"bar file {self._path} is closed")
        return self._view

    def _bar(self, index: int) -> B:
        assert self._lay is not None  # there are bars, so there is a pin
        return self._lay(self._first + index * RECORD_SIZE)

    def __len__(self) -> int:
        self._open_view()
        return self._count

    @overload
    def __getitem__(self, index: int) -> B: ...
    @overload
    def __getitem__(self, index: slice) -> list[B]: ...
    def __getitem__(self, index: int | slice) -> B | list[B]:
        view = self._open_view()
        if isinstance(index, slice):
            start, stop, step = index.indices(self._count)
            offsets = range(self._first + start * RECORD_SIZE, self._first + stop * RECORD_SIZE, step * RECORD_SIZE)
            if not offsets:
                return []
            assert self._lay is not None
            return list(map(self._lay, offsets))  # a million bars in a fraction of a second
        try:
            position = index.__index__()
        except AttributeError:
            raise TypeError(f"bar file indices must be integers or slices, not {type(index).__name__}") from None
        if position < 0:
            position += self._count
        if not 0 <= position < self._count or view is None:
            raise IndexError("bar file index out of range")
        return self._bar(position)

    def __iter__(self) -> Iterator[B]:
        self._open_view()
        for index in range(self._count):
            self._open_view()  # refuses to go on once closed
            yield self._bar(index)

    def __buffer__(self, flags: int, /) -> memoryview:
        # A new read-only view of the bar records for each consumer: it pins
        # the mapping like a bar does, until the consumer releases it below.
        view = self._open_view()
        return view[:] if view is not None else memoryview(b"")

    def __release_buffer__(self, view: memoryview, /) -> None:
        # Defining this makes Python keep the view above alive for as long as
        # the consumer (a numpy array, a memoryview) holds the buffer; without
        # it the view would go at once and close() could unmap under them.
        view.release()

    def columns(self) -> numpy.ndarray[Any, numpy.dtype[numpy.void]]:
        """The bars as a read-only numpy array of ``RECORD_DTYPE`` over the
        mapping, without copying: ``columns()["close_price"]`` is a column.
        The array keeps the mapping alive, also after ``close``."""
        import numpy

        from ._layout import record_dtype

        return numpy.frombuffer(self, record_dtype())

    def close(self) -> None:
        """Ends the use of this object; see the class's description for the mapping."""
        if self._count < 0:
            return
        self._count = -1
        self._lay = None  # the bars laid over the pin keep it while they live
        if self._view is not None:
            self._view.release()
            self._view = None
        if self._mmap is not None:
            try:
                self._mmap.close()
            except BufferError:
                pass  # bars or buffers taken from it are alive; the last of them unmaps it
            self._mmap = None

    def __enter__(self) -> Self:
        self._open_view()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._count < 0:
            return f"<BarFile {str(self._path)!r} closed>"
        return f"<BarFile {str(self._path)!r}: {self._count} {self._cls.__name__}>"


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
    span, intraday otherwise.  Refuses, with ``BarFileError``, a file whose
    size is not a multiple of 101 bytes, that holds records of another kind
    than bars (a header is only allowed first), whose header states a format
    version this code does not read, or whose header contradicts ``kind``.
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
    guessed.  Only a ``BarFile`` given whole brings its own kind.  When
    ``kind`` is given, bars of the other kind are refused.  Every record must
    be a bar record (kind code 40): others are refused with ``BarFileError``
    naming the record's index, objects that are neither bars nor buffers with
    ``TypeError``.

    The file is written whole or not at all: the bytes go to a temporary file
    in the same directory, which replaces ``path`` only once every record has
    been written and flushed to disk.
    """
    if isinstance(source, BarFile) and kind is None:
        kind = source.kind
    if kind not in (None, "daily", "intraday"):
        raise TypeError(f"kind must be 'daily', 'intraday' or None, not {kind!r}")
    records = _Records(kind)
    with replacing(path) as temporary, open(temporary, "wb") as file:
        file.write(header_record(kind or "intraday"))  # a place holder until the bars have decided
        whole = isinstance(source, BarData) or _as_records(source, 0) is not None
        items: Iterable[object] = (source,) if whole else source  # type: ignore[assignment]
        flushing = _WriteBack(file)
        for item in items:
            for chunk in records.add(item):
                flushing.wrote(file.write(chunk))
        file.write(records.pending)
        if records.kind != kind:
            file.seek(0)
            file.write(header_record(records.kind or "intraday"))
        file.flush()
        os.fsync(file.fileno())
    return records.count


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


@contextlib.contextmanager
def replacing(path: StrPath) -> Iterator[Path]:
    """Gives a temporary path in ``path``'s directory to write to, and puts it
    in ``path``'s place once the block has finished without an error (with
    the mode an existing file had, or the mode ``open`` would give a new one).
    On any error, or an interrupt, the temporary file is removed and ``path``
    is left as it was."""
    target = Path(path)
    temporary: Path | None = None
    with errors_about(target):
        try:
            # Named before it is made, so that an interrupt at any moment finds it to remove.
            temporary = stand_in(target, ".tmp")
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600))
            yield temporary
            try:
                mode = os.stat(target).st_mode & 0o7777  # a replaced file keeps its mode
            except FileNotFoundError:
                mode = 0o666 & ~umask()  # a new one gets what open() would give it
            os.chmod(temporary, mode)
            os.replace(temporary, target)
        except BaseException:
            if temporary is not None:
                temporary.unlink(missing_ok=True)
            raise
    _sync_directory(target.parent)


def hidden_prefix(target: Path) -> str:
    """The start of the name of every temporary file or directory written in
    ``target``'s place: hidden, and telling whose it is."""
    return f".{target.name}."


def stand_in(target: Path, suffix: str) -> Path:
    """A new name beside ``target`` for a temporary file or directory in its
    place (not made: a random name that nothing else will take)."""
    return target.parent / f"{hidden_prefix(target)}{os.urandom(8).hex()}{suffix}"


@contextlib.contextmanager
def errors_about(target: Path) -> Iterator[None]:
    """Turns an ``OSError`` about a temporary stand-in of ``target`` into one
    about ``target``, the path the user knows."""
    try:
        yield
    except OSError as error:
        hidden = str(target.parent / hidden_prefix(target))
        if isinstance(error.filename, str) and error.filename.startswith(hidden):
            raise OSError(error.errno, error.strerror, str(target)) from None
        if hidden in str(error):  # pyarrow's errors name it in their text only
            raise OSError(re.sub(re.escape(hidden) + r"[^'\"\s]*", str(target), str(error))) from None
        raise


def refuse_same_file(source: StrPath, target: StrPath) -> None:
    """Raises ``BarFileError`` if writing ``target`` would replace ``source``:
    the same path once resolved, or the same file under another name (a hard
    link)."""
    same = Path(source).resolve() == Path(target).resolve()
    try:
        same = same or os.path.samefile(source, target)
    except OSError:
        pass  # one of them does not exist (yet)
    if same:
        raise BarFileError(f"{target} is the input {source}: write the output elsewhere")


def umask() -> int:
    """The process's file-mode creation mask, read without changing it where the system allows."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _sync_directory(directory: Path) -> None:
    try:
        descriptor = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
