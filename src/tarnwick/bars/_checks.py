"""The checks of a table's columns, each over a whole column at once: a check
notes the earliest row it fails on, and the reader refuses the earliest of
all (by row, then by the order of the checks: times, prices, their order,
volume, notional, trade count, ticker)."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy
import numpy.typing as npt
import pyarrow

from ._source import Source, TableError
from ._spans import LONGEST_SECONDS
from ._times import US, null_mask, parse_texts, to_numpy

Floats = npt.NDArray[numpy.float64]
Mask = npt.NDArray[numpy.bool_]

DAY = 86400.0
MAX_TRADE_COUNT = 2**32 - 1
_NUMBER = r"^[-+]?((\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|nan|inf|infinity)$"
_THOUSANDS = re.compile(r"\s*[-+]?\d{1,3}(\0\d{3})+([.,]\d*)?\s*")  # the separator as NUL


@dataclass(order=True)
class Failure:
    row: int
    check: int
    message: Callable[[], str] = field(compare=False)


class Checks:
    """The columns of one table read as numbers, their failures noted."""

    def __init__(self, source: Source) -> None:
        self.source = source
        self.columns = source.layout.columns
        self.failures: list[Failure] = []
        self.notes: list[str] = []

    def fail(self, mask: Mask, check: int, message: Callable[[int], str]) -> None:
        if mask.any():
            row = int(numpy.argmax(mask))
            self.failures.append(Failure(row, check, lambda: message(row)))

    def refusal(self) -> TableError | None:
        """The error for the earliest failure, if any."""
        if not self.failures:
            return None
        failure = min(self.failures)
        return TableError(f"{self.source.path}, {self.source.where(failure.row)}: {failure.message()}")

    def text(self, row: int, role: str) -> str:
        return self.source.text(row, role)

    def floats(self, role: str, label: str, check: int, unknown: bool = False, counted: bool = False) -> Floats:
        """The role's column as floats, refusing cells that are not finite
        numbers (``unknown``: NaN, written out, is allowed and means unknown;
        ``counted``: a quantity, which may be written 8.95M, 450.5K or 1.2B,
        and whose empty cell is unknown too in a table of numbers as people
        write them)."""
        column = self.source.column(role)
        sniffed = self.source.sniffed
        empty_texts = numpy.zeros(len(column), dtype=bool)  # where the column is read as text
        if column.type == pyarrow.float64():  # as the CSV reader gives numbers
            missing = null_mask(column)
            values = _numpy(column)  # nulls become NaN
        elif pyarrow.types.is_integer(column.type) or pyarrow.types.is_floating(column.type) or \
                pyarrow.types.is_decimal(column.type) or pyarrow.types.is_null(column.type):
            missing = mask_of(column.is_null())
            values = _numpy(column.cast(pyarrow.float64(), safe=False))  # nulls become NaN; big integers round
        else:
            import pyarrow.compute as pc

            texts = pc.utf8_trim_whitespace(column.cast(pyarrow.string()))
            if sniffed.thousands is not None:
                texts = pc.replace_substring(texts, sniffed.thousands, "")
            if sniffed.decimal == ",":
                texts = pc.replace_substring(texts, ",", ".")
            factors = numpy.ones(len(texts))
            if counted:
                texts, factors = _suffixed(texts)
            valid = pc.match_substring_regex(texts, _NUMBER, ignore_case=True)
            missing = ~mask_of(valid)
            values = _numpy(pc.if_else(valid, texts, "nan").cast(pyarrow.float64())) * factors
            empty_texts = mask_of(pc.equal(texts, ""))
        if counted and sniffed.thousands is not None:  # a quiet day of such tables: unknown
            empty = missing & (mask_of(column.is_null()) | empty_texts)  # (read as NaN already)
            if empty.any():
                missing &= ~empty
                self.notes.append(f"{label.lower()}: unknown in {_plural(int(empty.sum()), 'row')} (empty)")
        self.fail(missing, check, lambda row: f"{label} is not a number: {self.text(row, role)!r}"
                                              f"{self.thousands_hint(self.text(row, role))}")
        self.fail(~missing & ~numpy.isfinite(values) & ~(unknown & numpy.isnan(values)), check,
                  lambda row: f"{label} is not a finite number: {self.text(row, role)!r}")
        return values

    def thousands_hint(self, text: str) -> str:
        """Help for a number written with thousands separators that the sniffed rows did not show."""
        mark = "." if self.source.sniffed.decimal == "," else ","
        if self.source.sniffed.thousands is None and _THOUSANDS.fullmatch(text.replace(mark, "\0")):
            return f" (if {mark!r} separates thousands, give --thousands {mark})"
        return ""

    def optional(self, role: str, label: str, check: int, unknown: bool = False,
                 counted: bool = False) -> Floats | None:
        return self.floats(role, label, check, unknown, counted) if role in self.columns else None

    def without_prices(self) -> Mask | None:
        """The rows whose every price is empty or ``null`` (how some sources
        write a day without trading); None when a column of numbers has a
        price on every row, the common case, known at no cost."""
        roles = ("open", "high", "low", "close")
        if any(self.source.column(role).null_count == 0 and not pyarrow.types.is_string(self.source.column(role).type)
               and not pyarrow.types.is_large_string(self.source.column(role).type) for role in roles):
            return None
        rows = numpy.ones(self.source.table.num_rows, dtype=bool)
        for role in roles:
            column = self.source.column(role)
            if pyarrow.types.is_string(column.type) or pyarrow.types.is_large_string(column.type):
                import pyarrow.compute as pc

                texts = pc.utf8_lower(pc.utf8_trim_whitespace(column))
                rows &= mask_of(pc.is_in(texts, value_set=pyarrow.array(["", "null"]))) | null_mask(column)
            else:
                rows &= null_mask(column)
        return rows

    def volume(self) -> Floats | None:
        """The volume: real volume where the table has it and any is non-zero, else tick volume."""
        real = self.optional("volume", "Volume", 6, unknown=True, counted=True)
        ticks = self.optional("tickvolume", "Tick volume", 6, unknown=True, counted=True)
        for values, label in ((real, "Volume"), (ticks, "Tick volume")):
            if values is not None:
                self.fail(values < 0, 7, _negative(values, label))
        if real is not None and ticks is not None:
            if bool((real != 0).any()):
                self.notes.append("volume: real volume")
                return real
            self.notes.append("volume: tick volume (the real volume is zero throughout)")
            return ticks
        return real if real is not None else ticks

    def trades(self) -> npt.NDArray[numpy.uint32] | None:
        if "trades" not in self.columns:
            return None
        counts = self.floats("trades", "Trades", 10)
        good = (counts == numpy.floor(counts)) & (counts >= 0) & (counts <= MAX_TRADE_COUNT)
        self.fail(~good, 10,
                  lambda row: f"Trades is not a count from 0 to {MAX_TRADE_COUNT}: {self.text(row, 'trades')!r}")
        return numpy.where(good, counts, 0).astype(numpy.uint32)

    def given_spans(self) -> Floats | None:
        """Spans in seconds from the table itself: a span column (seconds, or
        a duration), a column of days, or a kline's close times."""
        if "spandays" in self.columns:
            days = self.floats("spandays", "Span", 5)
            self.fail(~(days >= 1) | (days != numpy.floor(days)) | (days * DAY > LONGEST_SECONDS), 5,
                      lambda row: f"Span is not a whole number of days: {self.text(row, 'spandays')!r}")
            return days * DAY
        if "span" in self.columns:
            column = self.source.column("span")
            if pyarrow.types.is_duration(column.type):  # (nulls become NaN, which the check refuses)
                per_second = {"s": 1, "ms": 1000, "us": US, "ns": 10**9}[column.type.unit]
                values = _numpy(column.cast(pyarrow.int64()).cast(pyarrow.float64(), safe=False)) / per_second
            else:
                values = self.floats("span", "Span", 5)
            self.fail(~(values > 0) | (values > LONGEST_SECONDS), 5,
                      lambda row: f"Span is not a positive length of time up to 10000 years: "
                                  f"{self.text(row, 'span')!r}")
            return values
        if "closetime" in self.columns and "datetime" in self.columns:
            opened = parse_texts(self.source.column("datetime")).micros
            closed = parse_texts(self.source.column("closetime"))
            # The close time is the bar's last millisecond; dumps in microseconds
            # may end a microsecond before the next bar instead.
            spans = (closed.micros - opened + 1000) / US
            spans = numpy.where(numpy.abs(spans - numpy.round(spans)) <= 0.001, numpy.round(spans), spans)
            self.fail(closed.bad | ~(spans > 0), 0,
                      lambda row: f"not a close time after the open time: {self.text(row, 'closetime')!r}")
            return spans
        return None


_SUFFIXES = {"K": 1e3, "M": 1e6, "B": 1e9}


def _suffixed(texts: pyarrow.ChunkedArray) -> tuple[pyarrow.ChunkedArray, Floats]:
    """Quantities written 8.95M, 450.5K or 1.2B: the numbers without their
    suffix, and the factor each stands for (1 without one)."""
    import pyarrow.compute as pc

    last = pc.utf8_upper(pc.utf8_slice_codeunits(texts, -1))
    factors = numpy.ones(len(texts))
    for suffix, factor in _SUFFIXES.items():
        factors[mask_of(pc.equal(last, suffix))] = factor
    if bool((factors == 1).all()):
        return texts, factors
    return pc.if_else(pyarrow.array(factors != 1), pc.utf8_slice_codeunits(texts, 0, -1), texts), factors


def _plural(count: int, unit: str) -> str:
    return f"{count} {unit}{'' if count == 1 else 's'}"


def _negative(values: Floats, label: str) -> Callable[[int], str]:
    return lambda row: f"{label} is negative: {float(values[row])!r}"


def _numpy(array: pyarrow.ChunkedArray | pyarrow.Array) -> Floats:
    return to_numpy(array, numpy.float64)


def mask_of(array: pyarrow.ChunkedArray | pyarrow.Array) -> Mask:
    """A column of booleans as a mask, nulls false."""
    if array.null_count:  # (fill_null costs more than the whole check when there is nothing to fill)
        array = array.fill_null(False)
    return to_numpy(array, numpy.bool_)

