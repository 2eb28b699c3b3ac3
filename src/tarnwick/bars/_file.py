"""Bar files: 101-byte bar records back to back, written atomically and read
through a memory mapping without copying."""

from __future__ import annotations

import mmap
import os
import struct
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, Literal, Self, TypeVar, overload

from tarnwick.base.candlestick import BarData, DailyBar

from ._layout import BAR_KIND_CODE, OFFSETS, RECORD_SIZE, Kind, looks_daily

StrPath = str | os.PathLike[str]

B = TypeVar("B", bound=BarData, covariant=True)

# timestamp and bar_span, the two fields whose meaning depends on the class.
_TIME_FIELDS = struct.Struct("=dd")
_TIME_OFFSET = OFFSETS["timestamp"]


class BarFileError(ValueError):
    """A file that does not hold bar records, or bars that do not make a bar file."""


def _class_for(kind: Kind | type[BarData] | None, buffer: bytes | mmap.mmap | None, count: int) -> type[BarData]:
    if kind is None:
        if buffer is None or count == 0:
            return BarData
        first = _TIME_FIELDS.unpack_from(buffer, _TIME_OFFSET)
        last = _TIME_FIELDS.unpack_from(buffer, (count - 1) * RECORD_SIZE + _TIME_OFFSET)
        return DailyBar if looks_daily(*first) and looks_daily(*last) else BarData
    if kind == "daily":
        return DailyBar
    if kind == "intraday":
        return BarData
    if isinstance(kind, type) and issubclass(kind, BarData):
        return kind
    raise TypeError(f"kind must be 'daily', 'intraday', None or a BarData class, not {kind!r}")


def _check_kind_codes(path: Path, data: bytes | mmap.mmap, count: int) -> None:
    codes = data[0 : count * RECORD_SIZE : RECORD_SIZE]
    if codes.count(BAR_KIND_CODE) != count:
        index = next(i for i, code in enumerate(codes) if code != BAR_KIND_CODE)
        raise BarFileError(
            f"{path}: record {index} is not a bar record (kind code {codes[index]}, bars carry {BAR_KIND_CODE})"
        )


class BarFile(Sequence[B]):
    """The bars of a bar file, laid over a read-only memory mapping of it.

    ``len``, indexing (negative indices too) and iteration give bars made with
    ``from_buffer``: they read the file's bytes in place and cannot be
    assigned to.  A slice gives a list of such bars.  Use ``copy.copy(bar)``
    for a bar that outlives the file, or ``bytes(memoryview(bar))`` for its
    record.  The object itself exports the whole file as a read-only buffer,
    so ``numpy.frombuffer(bars, RECORD_DTYPE)`` makes columns without copying.

    ``close()`` (or leaving a ``with`` block) ends the object's use: any later
    access raises ``ValueError``.  The mapping is unmapped at once when no bar
    or buffer taken from it is alive; otherwise each such bar keeps the memory
    it reads mapped, and the mapping goes when the last of them is dropped.
    Nothing ever reads unmapped memory.  A mapped file must not be truncated
    meanwhile (reading past its new end kills the process with SIGBUS);
    ``write`` replaces files instead of truncating them, which is safe.
    """

    __slots__ = ("_cls", "_count", "_mmap", "_path", "_view", "__weakref__")

    def __init__(self, path: StrPath, kind: Kind | type[B] | None = None) -> None:
        self._path = Path(path)
        self._mmap: mmap.mmap | None = None
        self._view: memoryview | None = None
        with open(self._path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            if size % RECORD_SIZE:
                raise BarFileError(
                    f"{self._path}: {size} bytes is not a whole number of {RECORD_SIZE}-byte bar records "
                    f"({size // RECORD_SIZE} records and {size % RECORD_SIZE} bytes more)"
                )
            self._count = size // RECORD_SIZE
            if size:
                self._mmap = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            if self._mmap is not None:
                _check_kind_codes(self._path, self._mmap, self._count)
            self._cls: type[B] = _class_for(kind, self._mmap, self._count)  # type: ignore[assignment]
            if self._mmap is not None:
                self._view = memoryview(self._mmap)
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
    def closed(self) -> bool:
        """Whether ``close`` has been called."""
        return self._count < 0

    def _open_view(self) -> memoryview | None:
        if self._count < 0:
            raise ValueError(f"bar file {self._path} is closed")
        return self._view

    def _bar(self, view: memoryview, index: int) -> B:
        start = index * RECORD_SIZE
        return self._cls.from_buffer(view[start : start + RECORD_SIZE])

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
            return [self._bar(view, i) for i in range(*index.indices(self._count))]  # type: ignore[arg-type]
        try:
            position = index.__index__()
        except AttributeError:
            raise TypeError(f"bar file indices must be integers or slices, not {type(index).__name__}") from None
        if position < 0:
            position += self._count
        if not 0 <= position < self._count or view is None:
            raise IndexError("bar file index out of range")
        return self._bar(view, position)

    def __iter__(self) -> Iterator[B]:
        self._open_view()
        for index in range(self._count):
            view = self._open_view()  # refuses to go on once closed
            assert view is not None
            yield self._bar(view, index)

    def __buffer__(self, flags: int, /) -> memoryview:
        # A new view of the mapping for each consumer: it pins the mapping
        # like a bar does, and is read-only, so requests to write fail.
        view = self._open_view()
        return view[:] if view is not None else memoryview(b"")

    def close(self) -> None:
        """Ends the use of this object; see the class's description for the mapping."""
        if self._count < 0:
            return
        self._count = -1
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
    ``BarData`` subclass, or None to decide by the records: daily when the
    first and the last record both hold a date number (year 1900 to 9999) as
    timestamp and a whole number of at least one as span, intraday otherwise.
    Refuses, with ``BarFileError``, a file whose size is not a multiple of
    101 bytes or that holds records of another kind than bars.
    """
    return BarFile(path, kind)


def write(path: StrPath, bars: Iterable[BarData]) -> int:
    """Writes the records of ``bars`` back to back into ``path`` and returns
    their number.

    The file is written whole or not at all: the bytes go to a temporary file
    in the same directory, which replaces ``path`` only once every bar has
    been written and flushed to disk.  A file holds either daily or intraday
    bars: mixing ``DailyBar`` with other bars is refused (``BarFileError``),
    as are records that are not bars, and objects that are not bars
    (``TypeError``).
    """
    target = Path(path)
    directory = target.parent
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=directory)
    count = 0
    daily: bool | None = None
    try:
        with open(handle, "wb") as file:
            chunk = bytearray()
            for bar in bars:
                if not isinstance(bar, BarData):
                    raise TypeError(f"bar {count} is a {type(bar).__name__}, not a BarData")
                is_daily = isinstance(bar, DailyBar)
                if daily is None:
                    daily = is_daily
                elif is_daily != daily:
                    raise BarFileError(
                        f"bar {count} is {'a DailyBar' if is_daily else 'an intraday bar'} in a file of "
                        f"{'daily' if daily else 'intraday'} bars"
                    )
                record = memoryview(bar)
                if record[0] != BAR_KIND_CODE:
                    raise BarFileError(f"bar {count} holds a record of kind {record[0]}, not a bar record")
                chunk += record
                count += 1
                if len(chunk) >= 1 << 20:
                    file.write(chunk)
                    chunk.clear()
            file.write(chunk)
            file.flush()
            os.fsync(file.fileno())
        try:
            mode = os.stat(target).st_mode & 0o7777  # a replaced file keeps its mode
        except FileNotFoundError:
            mode = 0o666 & ~_umask()  # a new one gets what open() would give it
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    _sync_directory(directory)
    return count


def _umask() -> int:
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
