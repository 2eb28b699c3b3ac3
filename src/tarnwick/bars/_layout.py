"""The bar record and the bar file, as Python sees them: one place for the
fields, their offsets and types, the record size, the bar kind code, date
numbers and the file header.  Everything on the Python side that reads or
writes record bytes (files, tables, export, the tool) takes them from here.

A bar file is an optional header record followed by bar records:

- the header is one 101-byte record whose kind code (byte 0) is
  ``HEADER_KIND_CODE``, not a bar's, whose ticker bytes hold ``FILE_MAGIC``,
  whose ``timestamp`` holds the format version and whose ``bar_span`` holds
  the kind of the bars (``KIND_CODES``);
- a file without a header is a plain concatenation of bar records, whose
  kind is decided by the records themselves (``looks_daily``).
"""

from __future__ import annotations

import datetime
import math
import struct
from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    import numpy

Kind = Literal["daily", "intraday"]

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
    assert offset == RECORD_SIZE
    return offsets


OFFSETS: dict[str, int] = _offsets()
"""Byte offset of each field in the record."""

RECORD_STRUCT = struct.Struct("=B32s8dI")
"""The whole record for ``struct``: kind, ticker, the eight floats, the trade count."""
assert RECORD_STRUCT.size == RECORD_SIZE

def record_dtype() -> numpy.dtype[numpy.void]:
    """The record as a packed numpy structured dtype (``RECORD_DTYPE``)."""
    global _dtype
    if _dtype is None:
        import numpy

        _dtype = numpy.dtype(list(RECORD_FIELDS))
        assert _dtype.itemsize == RECORD_SIZE
    return _dtype


_dtype: numpy.dtype[numpy.void] | None = None

# ---- the file header ----------------------------------------------------------

HEADER_KIND_CODE = 0
"""Kind code of a bar file's header record (a bar record carries 40)."""

FILE_MAGIC = b"tarnwick.bars".ljust(TICKER_BYTES, b"\0")
"""The ticker bytes of a header record."""

FORMAT_VERSION = 1
"""The version of the file format that this code writes and reads."""

KIND_CODES: dict[Kind, float] = {"intraday": 1.0, "daily": 2.0}
"""What a header's ``bar_span`` field holds for each kind of bars."""


def header_record(kind: Kind) -> bytes:
    """The header record of a file of ``kind`` bars."""
    return RECORD_STRUCT.pack(HEADER_KIND_CODE, FILE_MAGIC, float(FORMAT_VERSION), KIND_CODES[kind],
                              0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0)


def is_header(record: bytes | memoryview) -> bool:
    """Whether a 101-byte record is a file header (kind code and magic), whatever its version."""
    return (len(record) >= RECORD_SIZE and record[0] == HEADER_KIND_CODE
            and bytes(record[1:1 + TICKER_BYTES]) == FILE_MAGIC)


def parse_header(record: bytes | memoryview) -> tuple[int, Kind | None]:
    """The format version and the kind that a header record states (None for a
    kind code this version does not know)."""
    _, _, version, code = struct.unpack_from("=B32sdd", record)
    kind = next((name for name, value in KIND_CODES.items() if value == code), None)
    return int(version) if math.isfinite(version) else -1, kind


# ---- date numbers ---------------------------------------------------------------


def date_number(day: datetime.date) -> float:
    """A market date as the record stores it: year*10000 + month*100 + day."""
    return float(day.year * 10000 + day.month * 100 + day.day)


def is_date_number(value: float) -> bool:
    """Whether ``value`` is a market date written as year*10000 + month*100 + day
    (20240105.0), with a year from 1900 to 9999."""
    if not math.isfinite(value) or value != int(value) or not 19000101 <= value <= 99991231:
        return False
    number = int(value)
    year, month, day = number // 10000, number // 100 % 100, number % 100
    if not 1 <= month <= 12 or day < 1:
        return False
    leap = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
    days = (31, 29 if leap else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)[month - 1]
    return day <= days


def looks_daily(timestamp: float, bar_span: float) -> bool:
    """The rule by which a record of a file without a header is taken for a
    daily bar: its timestamp is a valid date number and its span a whole
    number of days, at least one.  Intraday records hold epoch seconds,
    which are date numbers only for bars of 1970 to 1973."""
    return is_date_number(timestamp) and math.isfinite(bar_span) and bar_span >= 1 and bar_span == int(bar_span)


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
