"""The bar record and the bar file, as Python sees them: the one place for
the fields, their offsets and types, the record size, the bar kind code, the
date numbers of daily bars, the file header, the rule that gives the kind of
a file without one, the keys of a table's schema metadata, and the one way
to open records (``open_records``).  Everything on the Python side that
reads or writes record bytes takes them from here.

A bar file is an optional header record followed by bar records:

- the header is one 101-byte record whose kind code (byte 0) is
  ``HEADER_KIND_CODE``, not a bar's, whose ticker bytes hold ``FILE_MAGIC``,
  whose ``timestamp`` holds the format version, whose ``bar_span`` holds the
  kind of the bars (``KIND_CODES``) and whose ``volume`` holds the number of
  bars that follow (0: not stated, as files of older versions have it);
- a file without a header is a plain concatenation of bar records, whose
  kind is decided by its first and last record (``kind_by_rule``).
"""

from __future__ import annotations

import datetime
import math
import mmap
import os
import struct
from pathlib import Path
from collections.abc import Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

from tarnwick.base.candlestick import BarData, DailyBar

if TYPE_CHECKING:
    import numpy

Kind = Literal["daily", "intraday"]


class BarFileError(ValueError):
    """A file that does not hold bar records, or bars that do not make a bar file."""


# ---- the record ------------------------------------------------------------------------

RECORD_SIZE = 101
"""Bytes in one bar record, and so the unit of every bar file's size."""

BAR_KIND_CODE = 40
"""The record-kind code that every bar record carries in its first byte."""

TICKER_BYTES = 32
"""Bytes of the ticker field: UTF-8, zero-padded, no NUL inside."""

RECORD_FIELDS: tuple[tuple[str, str], ...] = (
    ("dtype", "u1"),
    ("ticker", "S32"),
    ("timestamp", "=f8"),
    ("bar_span", "=f8"),
    ("high_price", "=f8"),
    ("low_price", "=f8"),
    ("open_price", "=f8"),
    ("close_price", "=f8"),
    ("volume", "=f8"),
    ("notional", "=f8"),
    ("trade_count", "=u4"),
)
"""The bar record's fields in order, as numpy type codes: packed, native byte order."""

_FIELD_SIZES = {"u1": 1, "S32": TICKER_BYTES, "=f8": 8, "=u4": 4}


def _offsets() -> dict[str, int]:
    offsets, offset = {}, 0
    for name, code in RECORD_FIELDS:
        offsets[name] = offset
        offset += _FIELD_SIZES[code]
    return offsets


OFFSETS: dict[str, int] = _offsets()
"""Byte offset of each field in the record."""

RECORD_STRUCT = struct.Struct("=B32s8dI")
"""The whole record for ``struct``: kind, ticker, the eight floats, the trade count."""
if RECORD_STRUCT.size != RECORD_SIZE or OFFSETS["trade_count"] + 4 != RECORD_SIZE:
    raise ImportError("the record layout does not add up to 101 bytes")

_TIME_FIELDS = struct.Struct("=dd")  # timestamp and bar_span, whose meaning depends on the kind
_dtype: numpy.dtype[numpy.void] | None = None


def record_dtype() -> numpy.dtype[numpy.void]:
    """The record as a packed numpy structured dtype (``RECORD_DTYPE``)."""
    global _dtype
    if _dtype is None:
        import numpy

        _dtype = numpy.dtype(list(RECORD_FIELDS))
    return _dtype


def gather_fields(records: memoryview, names: tuple[str, ...]) -> dict[str, numpy.ndarray[Any, Any]]:
    """The named fields of flat bar records as contiguous read-only numpy
    arrays of their fields' types, copied out natively in one pass over the
    records (reducing a contiguous column is several times faster than a
    field view with the record's 101-byte stride)."""
    import numpy

    from ._pack import gather

    fields: Mapping[str, tuple[Any, ...]] = record_dtype().fields or {}
    unknown = [name for name in names if name not in fields]
    if unknown:
        raise ValueError(f"no field {unknown[0]!r} in a bar record; its fields are {', '.join(fields)}")
    count = records.nbytes // RECORD_SIZE
    columns = {name: numpy.empty(count, fields[name][0]) for name in names}
    gather(records, tuple((OFFSETS[name], column) for name, column in columns.items()))
    for column in columns.values():
        column.flags.writeable = False  # as the fields of the records' array are
    return columns


def kind_of(bar_class: type[BarData]) -> Kind:
    """``"daily"`` for ``DailyBar`` and its subclasses, ``"intraday"`` for every other bar class."""
    return "daily" if issubclass(bar_class, DailyBar) else "intraday"


def class_of(kind: Kind) -> type[BarData]:
    """The bar class of a kind: ``DailyBar`` or ``BarData``."""
    return DailyBar if kind == "daily" else BarData


# ---- the schema of tables --------------------------------------------------------------

SCHEMA_KIND_KEY = "tarnwick.bars.kind"
"""The schema metadata key that states a table's kind of bars (``daily`` or ``intraday``)."""

SCHEMA_FORMAT_KEY = "tarnwick.bars.format"
"""The schema metadata key that states the format version of a table of bars."""

# ---- date numbers ------------------------------------------------------------------------


def date_number(day: datetime.date) -> float:
    """A market date as the record stores it: year*10000 + month*100 + day."""
    return float(day.year * 10000 + day.month * 100 + day.day)


def market_date(number: float) -> datetime.date:
    """The market date of a date number (years 1 to 9999); ``ValueError`` for any other value."""
    if math.isfinite(number) and number == int(number) and 10101 <= number <= 99991231:
        value = int(number)
        try:
            return datetime.date(value // 10000, value // 100 % 100, value % 100)
        except ValueError:
            pass
    raise ValueError(f"{number!r} is not a date number (year*10000 + month*100 + day)")


def is_date_number(value: float) -> bool:
    """Whether ``value`` is a market date written as year*10000 + month*100 + day
    (20240105.0), with a year from 1900 to 9999."""
    try:
        return market_date(value).year >= 1900
    except ValueError:
        return False


def date_numbers(dates: numpy.ndarray[Any, Any]) -> numpy.ndarray[Any, Any]:
    """``date_number`` over an array of ``datetime64[D]``, as float64."""
    import numpy

    months = dates.astype("M8[M]")
    years = dates.astype("M8[Y]").astype(numpy.int64) + 1970
    month = months.astype(numpy.int64) % 12 + 1
    day = (dates - months.astype("M8[D]")).astype(numpy.int64) + 1
    numbers: numpy.ndarray[Any, Any] = (years * 10000 + month * 100 + day).astype(numpy.float64)
    return numbers


def dates_from_numbers(numbers: numpy.ndarray[Any, Any]) -> numpy.ndarray[Any, Any]:
    """``market_date`` over an array of date numbers, as ``datetime64[D]``;
    ``BarFileError`` naming the first record that holds no market date."""
    import numpy

    valid = numpy.isfinite(numbers) & (numbers == numpy.floor(numbers)) & (numbers >= 10101) & (numbers <= 99991231)
    whole = numpy.where(valid, numbers, 19700101).astype(numpy.int64)
    year, month, day = whole // 10000, whole // 100 % 100, whole % 100
    months = (year - 1970) * 12 + (month - 1)
    dates: numpy.ndarray[Any, Any] = months.astype("M8[M]").astype("M8[D]") + (day - 1).astype("m8[D]")
    valid &= (month >= 1) & (month <= 12) & (day >= 1) & (date_numbers(dates) == whole)
    if not valid.all():
        first = int(numpy.argmax(~valid))
        raise BarFileError(f"record {first} of daily bars holds no market date ({numbers[first]!r})")
    return dates


# ---- the kind rule of files without a header ----------------------------------------------


def looks_daily(timestamp: float, bar_span: float) -> bool:
    """The rule by which a record of a file without a header is taken for a
    daily bar: its timestamp is a valid date number and its span a whole
    number of days, at least one.  Intraday records hold epoch seconds,
    which are date numbers only for bars of 1970 to 1973."""
    return is_date_number(timestamp) and math.isfinite(bar_span) and bar_span >= 1 and bar_span == int(bar_span)


def kind_by_rule(name: str, records: memoryview) -> Kind:
    """The kind of headerless bar records: daily when the first and the last
    record both look daily (``looks_daily``), intraday when neither does.
    Records whose two ends disagree (daily bars followed by intraday ones,
    or intraday bars of 1970 to 1973 followed by later ones) are refused:
    only the caller can say what they are."""
    count = len(records) // RECORD_SIZE
    if not count:
        return "intraday"
    ends = []
    for index in (0, count - 1):
        record = records[index * RECORD_SIZE : (index + 1) * RECORD_SIZE].tobytes()
        if record[0] != BAR_KIND_CODE:
            raise BarFileError(f"{name}: {_not_a_bar(index, record)}")
        ends.append(looks_daily(*_TIME_FIELDS.unpack_from(record, OFFSETS["timestamp"])))
    if ends[0] != ends[1]:
        raise BarFileError(f"{name}: without a header, its first record looks {_looks(ends[0])} and its last "
                           f"{_looks(ends[1])}: say which they are (kind='daily' or 'intraday', --daily or "
                           "--intraday)")
    return "daily" if ends[0] else "intraday"


def _looks(daily: bool) -> str:
    return "daily (a date number and whole days)" if daily else "intraday"


def _not_a_bar(index: int, record: bytes) -> str:
    if is_header(record):
        return f"record {index} is a file header"
    return f"record {index} is not a bar record (kind code {record[0]}, bars carry {BAR_KIND_CODE})"


CODE_WINDOW = 1 << 16
"""Records whose kind codes are looked at together: a refusal stops at the first bad window."""


def first_foreign_record(data: memoryview | mmap.mmap, first: int = 0) -> str | None:
    """What is wrong with the first record that is not a bar record
    ("record 3 is a file header"), or None if every record is one.  ``data``
    holds the records from byte ``first`` on (a mapping is read fastest
    whole, a header and all).  The codes are read a window at a time, so the
    cost follows the records up to the first bad one, whatever a file's size
    claims."""
    stop = len(data)
    for start in range(first, stop, CODE_WINDOW * RECORD_SIZE):
        codes = data[start : min(start + CODE_WINDOW * RECORD_SIZE, stop) : RECORD_SIZE]
        if isinstance(codes, memoryview):
            codes = codes.tobytes()
        if codes.count(BAR_KIND_CODE) != len(codes):
            at = start + next(i for i, code in enumerate(codes) if code != BAR_KIND_CODE) * RECORD_SIZE
            return _not_a_bar((at - first) // RECORD_SIZE, bytes(data[at : at + RECORD_SIZE]))
    return None


def check_kind_codes(name: str, data: memoryview | mmap.mmap, first: int = 0) -> None:
    """Refuses records of which one is not a bar record, naming the first
    (see ``first_foreign_record``)."""
    problem = first_foreign_record(data, first)
    if problem is not None:
        raise BarFileError(f"{name}: {problem}")


# ---- the file header -------------------------------------------------------------------------

HEADER_KIND_CODE = 0
"""Kind code of a bar file's header record (a bar record carries ``BAR_KIND_CODE``)."""

FILE_MAGIC = b"tarnwick.bars".ljust(TICKER_BYTES, b"\0")
"""The ticker bytes of a header record."""

FORMAT_VERSION = 1
"""The version of the file format that this code writes and reads."""

KIND_CODES: dict[Kind, float] = {"intraday": 1.0, "daily": 2.0}
"""What a header's ``bar_span`` field holds for each kind of bars."""

_HEADER = struct.Struct("=B32sdd32xd")  # kind, magic, version, kind code, count


def header_record(kind: Kind, count: int = 0) -> bytes:
    """The header record of a file of ``count`` bars of ``kind`` (0: not stated)."""
    return RECORD_STRUCT.pack(HEADER_KIND_CODE, FILE_MAGIC, float(FORMAT_VERSION), KIND_CODES[kind],
                              0.0, 0.0, 0.0, 0.0, float(count), 0.0, 0)


def is_header(record: bytes | memoryview) -> bool:
    """Whether a 101-byte record is a file header (kind code and magic), whatever its version."""
    return (len(record) >= RECORD_SIZE and record[0] == HEADER_KIND_CODE
            and bytes(record[1 : 1 + TICKER_BYTES]) == FILE_MAGIC)


def read_header(name: str, record: bytes | memoryview) -> tuple[Kind, int | None]:
    """The kind of bars and their number (None: not stated) that a header
    record states; ``BarFileError`` for a header this version cannot read."""
    _, _, version, code, count = _HEADER.unpack_from(record)
    if version != FORMAT_VERSION:
        raise BarFileError(f"{name}: bar file format version {version:g} is not known to this version of tarnwick, "
                           f"which reads version {FORMAT_VERSION}")
    kind = next((kind for kind, value in KIND_CODES.items() if value == code), None)
    if kind is None:
        known = ", ".join(f"{value:g} {kind}" for kind, value in KIND_CODES.items())
        raise BarFileError(f"{name}: the header states kind code {code:g}, a kind of bars this version does not "
                           f"know ({known})")
    if not (math.isfinite(count) and count == int(count) and 0 <= count < 2**53):
        raise BarFileError(f"{name}: the header states {count:g} bars, which is not a count of bars")
    return kind, int(count) or None


def _check_size(name: str, size: int, headed: bool, stated: int | None) -> None:
    """Refuses a size that is not the header (if any) and whole records, or
    that holds another number of records than the header states: the one
    message of a truncated (or extended) file, whoever reads it."""
    records, rest = divmod(size - (RECORD_SIZE if headed else 0), RECORD_SIZE)
    if not rest and stated in (None, records):
        return
    holds = f"{'the header and ' if headed else ''}{records} records" + (f" and {rest} bytes more" if rest else "")
    if stated is None:
        raise BarFileError(f"{name}: {size} bytes is not a whole number of {RECORD_SIZE}-byte bar records ({holds}): "
                           "the file is truncated or not a bar file")
    if records < stated:
        raise BarFileError(f"{name}: truncated: the header states {stated} bars, but its {size} bytes hold {holds}")
    raise BarFileError(f"{name}: the header states {stated} bars, but its {size} bytes hold {holds}: "
                       "something was added after it was written")


# ---- opening records ----------------------------------------------------------------------------


class OpenRecords:
    """Bar records opened by ``open_records``: a flat read-only view of the
    bar records only (any header stripped), their kind, a name for messages
    and, for a path, the mapping that ``close`` unmaps.  A context manager."""

    __slots__ = ("inferred", "kind", "mapping", "name", "view")

    def __init__(self, view: memoryview, kind: Kind, name: str, *, inferred: bool = False,
                 mapping: mmap.mmap | None = None) -> None:
        self.view = view
        self.kind: Kind = kind
        self.name = name
        self.inferred = inferred  # the kind came from the rule, not from a header or the caller
        self.mapping = mapping

    def close(self) -> None:
        """Releases the view and unmaps a mapping that nothing else holds
        (views, arrays or bars taken from it keep it until the last of them goes)."""
        mapping, self.mapping = self.mapping, None
        try:
            self.view.release()
        except BufferError:
            pass  # exported further (an array, a pin): released with its last user
        if mapping is not None:
            try:
                mapping.close()
            except BufferError:
                pass

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


def open_records(source: object, kind: Kind | type[BarData] | None = None, *,
                 check_codes: bool = False) -> OpenRecords:
    """Opens bar records: ``source`` is the path of a bar file (mapped
    read-only), an open ``BarFile`` (or ``ResampledBars``), or a buffer of records with or without
    a header.  The kind is the one a header states (``kind``, a kind or a bar
    class, may only agree), else ``kind``, else the headerless rule.

    Refuses with ``BarFileError`` a header this version cannot read, a size
    that is not whole records or not the number the header states, a kind
    that contradicts the header, and (``check_codes``) a record that is not a
    bar record in a file without a header.  A header vouches for the records
    after it, so a file with one opens without reading them: ``verify``
    checks every record, and the resampling pass refuses a foreign one."""
    from ._sequence import BarSequence

    wanted = kind_of(kind) if isinstance(kind, type) and issubclass(kind, BarData) else kind
    if wanted not in (None, "daily", "intraday"):
        raise TypeError(f"kind must be 'daily', 'intraday', None or a BarData class, not {kind!r}")
    if isinstance(source, BarSequence):  # an open bar file or resampled bars: its kind is known
        name = source.name
        view = memoryview(source)
        if wanted not in (None, source.kind):
            view.release()
            raise BarFileError(f"{name}: the file holds {source.kind} bars, which cannot be read as "
                               f"{_class_name(kind)}")
        return OpenRecords(view, source.kind, name)
    if isinstance(source, (str, os.PathLike)):
        return _open_path(Path(source), wanted, kind, check_codes)
    try:
        given = memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"bar records come as a bar file (a path or a BarFile) or a buffer of bar records, "
                        f"not {type(source).__name__}") from None
    with given:
        if not given.c_contiguous:
            raise BarFileError("the records must be in a C-contiguous buffer")
        flat = (given.cast("B") if given.ndim != 1 or given.format != "B" else given).toreadonly()
    try:
        return _opened(flat, "records", wanted, kind, check_codes)
    except BaseException:
        flat.release()
        raise


def _open_path(path: Path, wanted: Kind | None, kind: object, check_codes: bool) -> OpenRecords:
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if not size:
            return _opened(memoryview(b""), str(path), wanted, kind, check_codes)
        mapping = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
    whole = memoryview(mapping)
    try:
        records = _opened(whole, str(path), wanted, kind, check_codes, mapping)
    except BaseException:
        whole.release()
        try:
            mapping.close()
        except BufferError:
            pass  # a view in the error's traceback: the mapping goes with it
        raise
    records.mapping = mapping
    return records


def _opened(whole: memoryview, name: str, wanted: Kind | None, kind: object, check_codes: bool,
            mapping: mmap.mmap | None = None) -> OpenRecords:
    """The records of a flat view of a file's bytes (the view passes to the
    result), which is ``mapping``'s if the file is mapped."""
    headed = is_header(whole[:RECORD_SIZE])
    stated, count = read_header(name, whole) if headed else (None, None)
    _check_size(name, len(whole), headed, count)
    if stated is not None and wanted not in (None, stated):
        raise BarFileError(f"{name}: the file holds {stated} bars, which cannot be read as {_class_name(kind)}")
    if check_codes and not headed:
        check_kind_codes(name, whole if mapping is None else mapping, RECORD_SIZE if headed else 0)
    view = whole[RECORD_SIZE:] if headed else whole
    try:
        found = stated or wanted or kind_by_rule(name, view)
    except BaseException:
        view.release()
        raise
    if headed:
        whole.release()  # the records' view holds what it needs
    return OpenRecords(view, found, name, inferred=stated is None and wanted is None)


def _class_name(kind: object) -> str:
    if isinstance(kind, type):
        return kind.__name__
    return class_of("daily" if kind == "daily" else "intraday").__name__


# ---- one file per ticker ----------------------------------------------------------

_PLAIN = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_")


def ticker_file_name(ticker: str, suffix: str = ".bars") -> str:
    """The file name under which a directory of per-ticker files keeps ``ticker``.

    Letters, digits, ``-`` and ``_`` stand as they are; every other byte of the
    ticker's UTF-8 (a dot, a slash, a space, a ``%``) becomes ``%XX``, and a
    lower-case letter is preceded by ``^`` (tickers are mostly upper case), so
    that tickers differing only in case stay distinct on file systems that
    ignore case.  Any ticker so gives
    a safe name, and distinct tickers give distinct names; the empty ticker
    is ``%``.
    """
    if not ticker:
        return "%" + suffix
    parts = []
    for byte in ticker.encode("utf-8"):
        if byte not in _PLAIN:
            parts.append(f"%{byte:02X}")
        elif 97 <= byte <= 122:
            parts.append("^" + chr(byte))
        else:
            parts.append(chr(byte))
    return "".join(parts) + suffix
