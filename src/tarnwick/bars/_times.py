"""Times of table rows, column-wise: texts, epoch numbers and typed columns
become microseconds, local wall-clock times become epochs in a zone (its
daylight-saving folds resolved by row order), and epochs become local dates.

Zone arithmetic happens here, on Python's side with zoneinfo, so it is the
same on every path whatever zone database the table reader would see."""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass
from typing import Any

import numpy
import numpy.typing as npt
import pyarrow

US = 1_000_000
DAY_US = 86_400 * US
EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()
EARLIEST = (datetime.datetime(1, 1, 2) - datetime.datetime(1970, 1, 1)) // datetime.timedelta(microseconds=1)
LATEST = (datetime.datetime(9999, 12, 30) - datetime.datetime(1970, 1, 1)) // datetime.timedelta(microseconds=1)

Ints = npt.NDArray[numpy.int64]

_ISO = r"^\d{4}-\d{2}-\d{2}([T ]\d{2}(:\d{2}(:\d{2}(\.\d{1,9})?)?)?)?"
_ZONE = r"(Z|[+-]\d{2}(:?\d{2})?)$"
_DIGITS = r"^\d+(\.\d*)?$"
# Dates written 2017.04.19 or 2017/04/19 are read as ISO dates.
_YMD = r"^(\d{4})[./](\d{2})[./](\d{2})"


@dataclass
class Parsed:
    """Times as read: microseconds since the epoch, either UTC (``aware``) or
    of a wall clock (to be placed in a zone); ``bad`` marks rows that could not
    be read (their value is 0)."""

    micros: Ints
    aware: npt.NDArray[numpy.bool_]
    bad: npt.NDArray[numpy.bool_]
    seconds: npt.NDArray[numpy.float64] | None = None  # exact epoch seconds of finer UTC times


_NUMPY_TYPES = {"bool": numpy.bool_, "int8": numpy.int8, "int16": numpy.int16, "int32": numpy.int32,
                "int64": numpy.int64, "uint8": numpy.uint8, "uint16": numpy.uint16, "uint32": numpy.uint32,
                "uint64": numpy.uint64, "float": numpy.float32, "double": numpy.float64,
                "timestamp[us]": numpy.int64}


def one_chunk(array: pyarrow.Array | pyarrow.ChunkedArray) -> pyarrow.Array:
    """A column as one array: its only chunk as it is, or its chunks copied together."""
    if isinstance(array, pyarrow.Array):
        return array
    return array.chunk(0) if array.num_chunks == 1 else array.combine_chunks()


def to_numpy(array: pyarrow.Array | pyarrow.ChunkedArray, dtype: type[Any]) -> npt.NDArray[Any]:
    """A column of numbers or booleans as a numpy array (read-only when it can
    share the column's memory); nulls read as NaN, or as 0 and False.  (pyarrow's own to_numpy imports pandas when it is
    installed, which alone costs more than any conversion here.)"""
    array = one_chunk(array)
    count, offset = len(array), array.offset
    validity, data = array.buffers()[:2]
    if pyarrow.types.is_boolean(array.type):
        bits = numpy.frombuffer(data, numpy.uint8) if data is not None else numpy.zeros(0, numpy.uint8)
        values = numpy.unpackbits(bits, bitorder="little")[offset:offset + count].astype(bool)
    else:
        source = numpy.dtype(_NUMPY_TYPES[str(array.type)])
        values = numpy.frombuffer(data, source, count, offset * source.itemsize) if count else numpy.zeros(0, source)
    if not array.null_count and values.dtype == dtype:
        return values  # a read-only view of the column's memory
    result = numpy.array(values, dtype=dtype)
    if array.null_count:
        valid = numpy.unpackbits(numpy.frombuffer(validity, numpy.uint8), bitorder="little")[offset:offset + count]
        result[valid == 0] = numpy.nan if result.dtype.kind == "f" else 0
    return result


def null_mask(array: pyarrow.Array | pyarrow.ChunkedArray) -> npt.NDArray[numpy.bool_]:
    """Which rows of a column are null, read from its validity bitmaps.  (This
    and ``to_numpy`` keep the common path clear of pyarrow's compute module,
    whose import alone takes longer than reading a column.)"""
    if not array.null_count:
        return numpy.zeros(len(array), dtype=bool)
    if array.null_count == len(array):  # a column of nulls alone (type null) has no bitmap
        return numpy.ones(len(array), dtype=bool)
    array = one_chunk(array)
    count, offset = len(array), array.offset
    valid = numpy.unpackbits(numpy.frombuffer(array.buffers()[0], numpy.uint8), bitorder="little")
    nulls: npt.NDArray[numpy.bool_] = valid[offset:offset + count] == 0
    return nulls


def _micros(array: pyarrow.Array | pyarrow.ChunkedArray) -> Ints:
    integers = array.cast(pyarrow.int64())
    if integers.null_count:
        integers = integers.fill_null(0)
    return to_numpy(integers, numpy.int64)


def supported(micros: Ints) -> npt.NDArray[numpy.bool_]:
    """Which times the reader supports: 0001-01-02 to 9999-12-30, a day inside
    what dates can say, so that a time in any zone still has a date."""
    ok: npt.NDArray[numpy.bool_] = (micros >= EARLIEST) & (micros <= LATEST)
    return ok


# Microseconds of one count of each unit, as a fraction (nanoseconds: 1/1000).
_UNIT_MICROS = {"s": (US, 1), "ms": (1000, 1), "us": (1, 1), "ns": (1, 1000), "day": (DAY_US, 1)}


def _typed_micros(counts: Ints, unit: str) -> tuple[Ints, npt.NDArray[numpy.bool_]]:
    """Counts of ``unit`` as microseconds, and which of them lie outside the
    supported times (their microseconds are 0).  The range is checked in the
    column's own unit, before a multiplication could wrap; the least int64,
    the common marker of no value, is outside in every unit."""
    numerator, denominator = _UNIT_MICROS[unit]
    low, high = -(-EARLIEST * denominator // numerator), LATEST * denominator // numerator
    outside = (counts < low) | (counts > high) | (counts == numpy.iinfo(numpy.int64).min)
    if outside.any():
        counts = numpy.where(outside, 0, counts)
    micros: Ints = counts // denominator if denominator > 1 else counts * numerator if numerator > 1 else counts
    return micros, outside


def parse_typed(column: pyarrow.ChunkedArray) -> Parsed | None:
    """Times from a typed column (Parquet, Arrow); None when it holds text or
    numbers.  Times outside the supported ones are bad rows."""
    kind = column.type
    seconds = None
    if kind == pyarrow.timestamp("us"):  # as the CSV reader gives ISO date-times
        return Parsed(to_numpy(column, numpy.int64), numpy.zeros(len(column), dtype=bool), null_mask(column))
    if pyarrow.types.is_timestamp(kind):
        micros, outside = _typed_micros(_micros(column), kind.unit)
        aware = numpy.full(len(micros), kind.tz is not None)
        if kind.tz is not None and kind.unit == "ns":  # seconds as the records hold them, to the nanosecond
            whole, part = numpy.divmod(_micros(column), 1_000_000_000)
            seconds = whole.astype(numpy.float64) + part / 1e9
    elif pyarrow.types.is_date(kind):  # days, or milliseconds of whole days
        if pyarrow.types.is_date32(kind):
            micros, outside = _typed_micros(_micros(column.cast(pyarrow.int32())), "day")
        else:
            micros, outside = _typed_micros(_micros(column), "ms")
        aware = numpy.zeros(len(micros), dtype=bool)
    elif pyarrow.types.is_integer(kind) and not column.null_count and len(column):
        return epoch_counts(_micros(column))
    else:
        return None
    bad = null_mask(column) | outside
    return Parsed(micros, aware, bad, seconds)


def _per_second(count: int) -> int:
    """The counts of a second in an epoch count of ``count``'s digits."""
    return 1 if count < 10**11 else 1000 if count < 10**14 else US if count < 10**17 else 1_000_000_000


def epoch_counts(counts: Ints) -> Parsed | None:
    """Integer epoch times, each in the unit its digits say (as ``parse_texts``
    reads them as text: 9 to 11 digits seconds, 12 to 14 milliseconds, 15 to
    17 microseconds, 18 or 19 nanoseconds); None unless every count has 9
    digits or more (8 are a date, 20240105)."""
    least = int(counts.min())
    if least < 10**8:
        return None
    low, high = _per_second(least), _per_second(int(counts.max()))
    if low == high:  # the usual column, all in one unit: scalar arithmetic
        micros = counts * (US // low) if low <= US else counts // (low // US)
    else:
        per_row = numpy.where(counts < 10**11, 1, numpy.where(counts < 10**14, 1000,
                              numpy.where(counts < 10**17, US, 1_000_000_000)))
        whole, part = numpy.divmod(counts, per_row)
        micros = whole * US + part * US // per_row
    seconds = None
    if low == high == 1_000_000_000:  # exact seconds where microseconds lose digits
        whole, part = numpy.divmod(counts, 1_000_000_000)
        seconds = whole.astype(numpy.float64) + part / 1e9
    count = len(counts)
    return Parsed(micros, numpy.ones(count, dtype=bool), ~supported(micros), seconds)


def parse_texts(texts: pyarrow.ChunkedArray, date_format: str | None = None) -> Parsed:
    """Times from texts: ISO dates and date-times (``T`` or a blank, fractions,
    ``Z`` or an offset), dotted or slashed year-first dates, ``20240105``, epoch
    seconds, milliseconds or microseconds (told apart by their digits), or
    ``date_format`` (strftime, optionally followed by a time of day)."""
    import pyarrow.compute as pc

    texts = pc.utf8_trim_whitespace(texts.cast(pyarrow.string()))
    count = len(texts)
    micros = numpy.zeros(count, dtype=numpy.int64)
    aware = numpy.zeros(count, dtype=bool)
    done = numpy.zeros(count, dtype=bool)
    exact = numpy.full(count, numpy.nan)  # epoch seconds of UTC times given to the nanosecond

    def take(mask: npt.NDArray[numpy.bool_], values: pyarrow.Array | pyarrow.ChunkedArray, zoned: bool) -> None:
        got = to_numpy(values.is_valid(), bool)
        rows = numpy.flatnonzero(mask)[got]
        values = values.filter(pyarrow.array(got))
        if values.type.unit == "ns":
            whole, part = numpy.divmod(_micros(values), 1_000_000_000)
            exact[rows] = whole.astype(numpy.float64) + part / 1e9
            values = values.cast(pyarrow.timestamp("us", values.type.tz), safe=False)
        micros[rows] = _micros(values)
        aware[rows] = zoned
        done[rows] = True

    def subset(mask: npt.NDArray[numpy.bool_]) -> pyarrow.Array:
        return texts.filter(pyarrow.array(mask)).combine_chunks()

    if date_format is not None:
        has_time = bool(set(_DIRECTIVE.findall(date_format)) & set("HIMSfpXcz"))
        for pattern in (date_format,) if has_time else (date_format, date_format + " %H:%M",
                                                         date_format + " %H:%M:%S"):
            rest = ~done
            if rest.any():
                rows = numpy.flatnonzero(rest)
                got, values, zoned = _strptime(subset(rest), pattern)
                micros[rows[got]] = values[got]
                aware[rows[got]] = zoned[got]
                done[rows[got]] = True
        return Parsed(micros, aware, ~done)

    try:  # the common case: ISO date-times without an offset, all of them
        return Parsed(_micros(texts.cast(pyarrow.timestamp("us"))), aware, done)
    except pyarrow.ArrowInvalid:
        pass
    numeric = _mask(pc.match_substring_regex(texts, _DIGITS))
    if numeric.any():
        _numbers(subset(numeric), numeric, micros, aware, done, exact)
    rest = ~done & ~numeric
    if rest.any():
        iso = pc.replace_substring_regex(subset(rest), _YMD, r"\1-\2-\3")
        naive = _mask(pc.match_substring_regex(iso, _ISO + "$"))
        zoned = _mask(pc.match_substring_regex(iso, _ISO + _ZONE))
        rows = numpy.flatnonzero(rest)
        for wanted, unit, is_aware in ((naive, pyarrow.timestamp("us"), False),
                                       (zoned, pyarrow.timestamp("ns", "UTC"), True)):
            if wanted.any():
                chosen = iso.filter(pyarrow.array(wanted))
                try:
                    values = chosen.cast(unit)
                except pyarrow.ArrowInvalid:  # a valid shape but no such date: one by one
                    values = pyarrow.array([_one(text, unit) for text in chosen.to_pylist()], type=unit)
                mask = numpy.zeros(count, dtype=bool)
                mask[rows[wanted]] = True
                take(mask, values, is_aware)
    seconds = exact if bool(aware.all()) and not bool(numpy.isnan(exact).any()) else None
    return Parsed(micros, aware, ~done, seconds)


_SLASHED = r"^\s*(?P<first>\d{1,2})/(?P<second>\d{1,2})/\d{4}(?:\s|$)"


def slashed_format(texts: pyarrow.ChunkedArray, month_first: bool) -> str | None:
    """The pattern of dates written 05/01/2024 (a time of day may follow):
    day first when a first number is past 12, month first when a second one
    is, else ``month_first`` says (None: nobody can tell).  None too when not
    every text is such a date."""
    import pyarrow.compute as pc

    texts = one_chunk(texts.cast(pyarrow.string()))
    if not len(texts) or not re.match(_SLASHED, texts[0].as_py() or ""):  # (spares other tables a pass)
        return None
    parts = pc.extract_regex(texts, _SLASHED)
    if parts.null_count:
        return None
    first, second = (pc.max(pc.struct_field(parts, name).cast(pyarrow.int64())).as_py() for name in ("first", "second"))
    if first > 12 and second <= 12:
        return "%d/%m/%Y"
    if second > 12 and first <= 12 or (month_first and first <= 12):
        return "%m/%d/%Y"
    return None


# The directives of Python's strptime; the table reader's own parser knows a
# few of them, and texts of the others are parsed by Python, each distinct text once.
DIRECTIVES = frozenset("aAbBcdfGhHIjmMpSuUVwWxXyYzZ%") | {":z"}
_READER_DIRECTIVES = frozenset("YmdHMS%")
_DIRECTIVE = re.compile(r"%(:?.?)", re.DOTALL)


def check_date_format(pattern: str) -> None:
    """Refuses a pattern with a directive that Python's strptime does not take, naming it."""
    seen = set()
    for directive in _DIRECTIVE.findall(pattern):
        if directive not in DIRECTIVES:
            shown = f"%{directive}" if directive else "a lone % at the end"
            raise ValueError(f"--date-format {pattern!r}: {shown} is no directive of dates or times (they are "
                             "those of Python's strptime: %Y %m %d %H %M %S %f %z %b %p %y %j ...; %% is a %)")
        if directive in seen and directive != "%":
            raise ValueError(f"--date-format {pattern!r}: %{directive} comes twice")
        seen.add(directive)


def _strptime(texts: pyarrow.Array, pattern: str) -> tuple[npt.NDArray[numpy.bool_], Ints, npt.NDArray[numpy.bool_]]:
    """Which texts fit ``pattern``, their epoch microseconds, and which of them
    were UTC (a ``%z`` offset) rather than wall-clock times."""
    import pyarrow.compute as pc

    directives = set(_DIRECTIVE.findall(pattern))
    if directives <= _READER_DIRECTIVES:
        parsed = pc.strptime(texts, format=pattern, unit="us", error_is_null=True)
        return to_numpy(parsed.is_valid(), bool), _micros(parsed), numpy.zeros(len(texts), dtype=bool)
    if directives - {"f"} <= _READER_DIRECTIVES and re.search(r"%S[.,]%f$", pattern):
        # Fractions after the seconds (the common tick-history form): the
        # reader parses the rest, and the fraction's digits are microseconds.
        parts = pc.extract_regex(texts, rf"^(?P<rest>.*){re.escape(pattern[-3])}(?P<fraction>\d{{1,6}})$")
        rest = pc.struct_field(parts, "rest")
        parsed = pc.strptime(rest, format=pattern[:-3], unit="us", error_is_null=True)
        fraction = pc.utf8_rpad(pc.struct_field(parts, "fraction"), 6, "0").cast(pyarrow.int64()).fill_null(0)
        got = to_numpy(parsed.is_valid(), bool) & to_numpy(parts.is_valid(), bool)
        return got, _micros(parsed) + to_numpy(fraction, numpy.int64), numpy.zeros(len(texts), dtype=bool)
    count = len(texts)
    got, values, zoned = numpy.zeros(count, bool), numpy.zeros(count, numpy.int64), numpy.zeros(count, bool)
    encoded = texts.dictionary_encode()
    known = [_python_time(text, pattern) for text in encoded.dictionary.to_pylist()]
    if known:
        indices = to_numpy(encoded.indices.fill_null(0), numpy.int64)
        got = numpy.array([value is not None for value, _ in known])[indices] & to_numpy(encoded.is_valid(), bool)
        values = numpy.array([value or 0 for value, _ in known], dtype=numpy.int64)[indices]
        zoned = numpy.array([offset for _, offset in known], dtype=bool)[indices]
    return got, values, zoned


_EPOCH = datetime.datetime(1970, 1, 1)
_EPOCH_UTC = _EPOCH.replace(tzinfo=datetime.UTC)
_MICROSECOND = datetime.timedelta(microseconds=1)


def _python_time(text: str | None, pattern: str) -> tuple[int | None, bool]:
    """A text's epoch microseconds by Python's strptime (None: it does not fit), and whether it had an offset."""
    if text is None:
        return None, False
    try:
        moment = datetime.datetime.strptime(text, pattern)
    except ValueError:
        return None, False
    if moment.tzinfo is None:
        return (moment - _EPOCH) // _MICROSECOND, False
    return (moment - _EPOCH_UTC) // _MICROSECOND, True


def _one(text: str, unit: pyarrow.DataType) -> datetime.datetime | None:
    try:
        return pyarrow.scalar(text).cast(unit).as_py()  # type: ignore[no-any-return]
    except (pyarrow.ArrowInvalid, ValueError, OverflowError):
        return None


def _mask(array: pyarrow.Array | pyarrow.ChunkedArray) -> npt.NDArray[numpy.bool_]:
    if array.null_count:  # (fill_null costs more than the whole check when there is nothing to fill)
        array = array.fill_null(False)
    return to_numpy(array, bool)


def _numbers(texts: pyarrow.Array, rows_mask: npt.NDArray[numpy.bool_], micros: Ints, aware: npt.NDArray[numpy.bool_],
             done: npt.NDArray[numpy.bool_], exact: npt.NDArray[numpy.float64]) -> None:
    """20240105 as a date; longer numbers as epoch times, UTC by definition:
    seconds (9 to 11 digits), milliseconds (12 to 14), microseconds (15 to
    17) or nanoseconds (18 or 19, read as integers: a double cannot hold them)."""
    import pyarrow.compute as pc

    rows = numpy.flatnonzero(rows_mask)
    integral = pc.list_element(pc.split_pattern(texts, "."), 0)
    digits = to_numpy(pc.utf8_length(integral), numpy.int64)
    dates = digits == 8
    if dates.any():
        parsed = pc.strptime(texts.filter(pyarrow.array(dates)), format="%Y%m%d", unit="us", error_is_null=True)
        got = to_numpy(parsed.is_valid(), bool)
        chosen = rows[dates][got]
        micros[chosen] = _micros(parsed.filter(pyarrow.array(got)))
        done[chosen] = True
    epochs = (digits >= 9) & (digits <= 17)
    if epochs.any():
        values = to_numpy(texts.filter(pyarrow.array(epochs)).cast(pyarrow.float64()), numpy.float64)
        length = digits[epochs]
        scale = numpy.where(length <= 11, US, numpy.where(length <= 14, 1000, 1)).astype(numpy.float64)
        micros[rows[epochs]] = numpy.round(values * scale).astype(numpy.int64)
        aware[rows[epochs]] = done[rows[epochs]] = True
    # 19 digits past the largest 64-bit integer (in 2262) are no time
    fits = _mask(pc.less_equal(integral, str(2**63 - 1)))
    nanos = (digits == 18) | ((digits == 19) & fits)
    if nanos.any():
        counts = to_numpy(integral.filter(pyarrow.array(nanos)).cast(pyarrow.int64()), numpy.int64)
        whole, part = numpy.divmod(counts, 1_000_000_000)
        micros[rows[nanos]] = counts // 1000
        exact[rows[nanos]] = whole.astype(numpy.float64) + part / 1e9
        aware[rows[nanos]] = done[rows[nanos]] = True


# ---- zones ------------------------------------------------------------------------


def _naive(seconds: int) -> datetime.datetime:
    return datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)


def _offset(naive: datetime.datetime, zone: datetime.tzinfo | None, fold: int) -> int:
    """The zone's offset from UTC in seconds at a wall-clock time (the machine's zone for None)."""
    moment = naive.replace(fold=fold)
    if zone is None:
        return round((moment - datetime.datetime(1970, 1, 1)).total_seconds() - moment.timestamp())
    offset = moment.replace(tzinfo=zone).utcoffset()
    return 0 if offset is None else round(offset.total_seconds())


def _utc_offset(epoch: int, zone: datetime.tzinfo | None) -> int:
    moment = datetime.datetime.fromtimestamp(epoch, datetime.UTC)
    local = moment.astimezone(zone) if zone is not None else moment.astimezone()
    offset = local.utcoffset()
    return 0 if offset is None else round(offset.total_seconds())


class NonexistentTime(ValueError):
    def __init__(self, row: int, text: str) -> None:
        super().__init__(text)
        self.row = row


NO_EPOCH = numpy.iinfo(numpy.int64).min
"""A ticker's carried epoch before its first row (see ``localize``)."""


def localize(wall: Ints, zone: datetime.tzinfo | None, zone_name: str, tickers: Ints | None = None,
             carried: Ints | None = None, forward: bool = True) -> Ints:
    """Epoch microseconds of wall-clock times in ``zone``, natively in one pass.

    A time that the clocks show twice (the hour repeated when they fall back)
    is the earlier instant unless the row before it of the same ticker is at
    or past that instant: rows in time order go on into the repeated hour
    (``forward`` False: rows newest first, the mirror image).  ``tickers``
    (None: one) gives each row's ticker as an index into ``carried``, each
    ticker's last epoch so far (``NO_EPOCH`` for none), which is updated, so
    that a table read in pieces places the hour as a whole one.  A time the
    clocks skip raises ``NonexistentTime``."""
    if isinstance(zone, datetime.timezone):
        offset = _offset(_naive(0), zone, 0)
        return wall - offset * US if offset else wall
    from ._pack import to_utc
    from ._zones import zone_covering

    epochs = numpy.empty_like(wall)
    if not len(wall):
        return epochs
    if carried is None:
        carried = numpy.full(1 if tickers is None else int(tickers.max(initial=0)) + 1, NO_EPOCH)
    skipped = to_utc(epochs, wall, tickers, carried, zone_covering(zone, wall, US), forward)
    if skipped >= 0:
        naive = _naive(int(wall[skipped]) // US)
        raise NonexistentTime(skipped, f"{naive} does not exist in {zone_name} (the clocks skip it)")
    return epochs


def to_local(epochs: Ints, zone: datetime.tzinfo | None) -> Ints:
    """Epoch microseconds as wall-clock microseconds in ``zone``."""
    if isinstance(zone, datetime.timezone):
        offset = _utc_offset(0, zone)
        return epochs + offset * US if offset else epochs
    from ._pack import to_wall
    from ._zones import zone_covering

    local = numpy.empty_like(epochs)
    if len(epochs):
        to_wall(local, epochs, zone_covering(zone, epochs, US))
    return local

