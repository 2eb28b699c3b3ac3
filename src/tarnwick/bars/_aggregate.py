"""Bars from trades: time bars (``span``), tick bars (``ticks``), volume bars
(``volume``) and value bars (``value``), in one native pass
(``tarnwick.bars._aggregating``) over columns of trades or packed trade and
tick records, a piece at a time.

This module reads the options, turns the source into pieces of columns (or
hands a table to ``_trade_tables``), and gives the pass a zone table around
each piece's times (``_zones``); the pass does the bars and the checks.
"""

from __future__ import annotations

import datetime
import importlib
import math
import re
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar

from tarnwick.base.candlestick import BarData, DailyBar

from . import _aggregating
from ._records import TICKER_BYTES
from ._sequence import BarSequence
from ._spans import Span, SpanLike, clock_seconds, parse_session
from ._zones import ZoneTable, resolve_zone, zone_covering_valid

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

B = TypeVar("B", bound=BarData, covariant=True)


class AggregateError(ValueError):
    """Trades that cannot make bars: a time that runs backwards within a
    ticker, a price that is not finite and positive, a size or notional that
    is negative or not finite."""


@dataclass(frozen=True, slots=True)
class _Piece:
    """Trades as the pass reads them (the fields of ``_trade_tables.TradePiece``)."""

    times: NDArray[numpy.float64]
    prices: NDArray[numpy.float64]
    sizes: NDArray[numpy.float64]
    notionals: NDArray[numpy.float64] | None
    tickers: NDArray[numpy.int32] | None
    names: tuple[str, ...]
    first_row: int
    source_name: str


class AggregatedBars(BarSequence[B]):
    """The bars that ``aggregate`` made, in one read-only buffer of packed
    records that this object exports (``bytes(bars)``, ``numpy.frombuffer``,
    ``tarnwick.bars.write``).  Indexing and iteration give bars that read the
    buffer in place; use ``copy.copy`` for bars to change."""

    __slots__ = ("_rule",)
    _noun = "aggregated bars"

    def __init__(self, records: object, bar_class: type[B], rule: str) -> None:
        super().__init__(memoryview(records), bar_class)  # type: ignore[arg-type]
        self._rule = rule

    @property
    def rule(self) -> str:
        """When the bars close: ``"span 1min"``, ``"ticks 100"``, ``"volume 20"`` or ``"value 1e6"``."""
        return self._rule

    def _label(self) -> str:
        return f" by {self._rule}"


# ---- the options -----------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _Rules:
    rule: str            # time, ticks, volume or value
    threshold: float
    span: Span | None    # time bars
    origin: int
    session: tuple[int, int]

    def describe(self) -> str:
        return f"span {self.span}" if self.span is not None else f"{self.rule} {self.threshold:g}"


def read_rules(span: SpanLike | Span | None, ticks: object, volume: object, value: object, session: object,
               origin: object, fill: bool) -> _Rules:
    """The options shared by ``aggregate`` and ``Aggregator``, checked: exactly one rule and what it needs."""
    given = {name: option for name, option in (("span", span), ("ticks", ticks), ("volume", volume),
                                               ("value", value)) if option is not None}
    if len(given) != 1:
        raise ValueError("give exactly one of span=, ticks=, volume= and value=, not "
                         f"{' and '.join(f'{name}=' for name in given) or 'none'}")
    ((name, option),) = given.items()
    if name != "span":
        for other, set_ in (("session", session is not None), ("origin", origin is not None), ("fill", fill)):
            if set_:
                raise ValueError(f"{other}= applies to time bars (span=) only, not to {name} bars")
        return _Rules("ticks" if name == "ticks" else name, _threshold(name, option), None, 0, (-1, -1))
    target = Span.parse(span)  # type: ignore[arg-type]
    if origin is not None and target.daily:
        raise ValueError("an origin applies to intraday spans only")
    opening = clock_seconds(origin, "an origin") % target.count if origin is not None else 0  # type: ignore[arg-type]
    hours = parse_session(session) if session is not None else (-1, -1)  # type: ignore[arg-type]
    return _Rules("time", 0.0, target, opening, hours)


def _threshold(name: str, option: object) -> float:
    if name == "ticks":
        if isinstance(option, bool) or not isinstance(option, int) or option < 1 or option > 2**32 - 1:
            raise ValueError(f"ticks= is a whole number of trades from 1 to 4294967295, not {option!r}")
        return float(option)
    if isinstance(option, bool) or not isinstance(option, (int, float)) or not 0 < option < math.inf:
        raise ValueError(f"{name}= is a finite positive number, not {option!r}")
    return float(option)


# ---- the source --------------------------------------------------------------------------------


_COLUMN_KEYS = {"times": ("times", "time"), "prices": ("prices", "price"), "sizes": ("sizes", "size"),
                "notionals": ("notionals", "notional")}


def _column_pieces(source: tuple[Any, ...] | Mapping[str, Any], ticker: str | None) -> Iterator[_Piece]:
    """One piece of the arrays in ``source``: (times, prices, sizes[, notionals])
    or a mapping with those keys (singular or plural)."""
    import numpy

    if isinstance(source, Mapping):
        found = {key: next((source[name] for name in names if name in source), None)
                 for key, names in _COLUMN_KEYS.items()}
        missing = [key for key in ("times", "prices", "sizes") if found[key] is None]
        if missing:
            raise ValueError(f"trade columns need {', '.join(missing)} (keys: {', '.join(map(str, source))})")
        arrays = [found["times"], found["prices"], found["sizes"], found["notionals"]]
    elif len(source) in (3, 4):
        arrays = [*source, None][:4]
    else:
        raise ValueError(f"trade columns are (times, prices, sizes[, notionals]), not {len(source)} arrays")
    times = epoch_seconds(numpy.asarray(arrays[0]))
    columns = [numpy.ascontiguousarray(array, dtype=numpy.float64) if array is not None else None
               for array in arrays[1:]]
    name = (ticker or "").encode()
    if len(name) > TICKER_BYTES or b"\0" in name:
        raise ValueError(f"ticker {ticker!r} is not one that a record can hold (at most {TICKER_BYTES} bytes of "
                         "UTF-8, no NUL)")
    lengths = [len(times), *(len(column) for column in columns if column is not None)]
    if len(set(lengths)) != 1:
        raise ValueError(f"trade columns have {', '.join(map(str, lengths))} rows: they must have as many")
    yield _Piece(times, columns[0], columns[1], columns[2], None, (ticker or "",), 0, "trades")  # type: ignore[arg-type]


def epoch_seconds(times: numpy.ndarray[Any, Any]) -> NDArray[numpy.float64]:
    """Times as UTC epoch seconds: float seconds, or numpy datetime64 (NaT becomes NaN, which the pass refuses)."""
    import numpy

    if times.dtype.kind == "M":
        nanoseconds = times.astype("datetime64[ns]").view(numpy.int64)
        seconds = (nanoseconds // 1_000_000_000).astype(numpy.float64) + (nanoseconds % 1_000_000_000) / 1e9
        seconds[numpy.isnat(times)] = math.nan
        return seconds
    if times.dtype.kind not in "iuf":
        raise TypeError(f"trade times are float epoch seconds or numpy datetime64, not {times.dtype}")
    return numpy.ascontiguousarray(times, dtype=numpy.float64)


def _is_buffer(source: object) -> bool:
    try:
        memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        return False
    return True


# ---- aggregate ---------------------------------------------------------------------------------


def aggregate(source: object, *, span: SpanLike | Span | None = None, ticks: int | None = None,
              volume: float | None = None, value: float | None = None,
              tz: datetime.tzinfo | str | None = None,
              session: str | tuple[str | datetime.time, str | datetime.time] | None = None,
              origin: str | datetime.time | None = None, fill: bool = False,
              ticker: str | None = None, **table_options: Any) -> AggregatedBars[Any]:
    """Makes bars from trades and returns them.

    Exactly one rule: ``span`` (time bars: seconds, a ``timedelta`` or text as
    for ``resample``), ``ticks`` (a bar every N trades), ``volume`` (every V
    units traded) or ``value`` (every X of notional traded).

    ``source`` is a buffer of packed trade records (notional as recorded) or
    tick records (their running totals' growth; a total that falls starts a
    new session counted from zero; a tick without volume is not a trade); a
    tuple ``(times, prices, sizes[, notionals])`` or a mapping of arrays
    (times as float epoch seconds or ``numpy.datetime64``; without notionals,
    price * size), whose bars get the ticker ``ticker``; or a trade table
    (a CSV, Parquet or Arrow file, a pandas or Arrow table), read in pieces
    with ``table_options`` (those of ``convert``'s ``Reading``, one by one or
    as ``reading=``, and ``show_progress``; see ``_trade_tables.trade_pieces``).

    Time bars follow the wall clock of ``tz`` as ``resample``'s buckets do
    (``origin``, ``session``, days, weeks, months), for instants: a trade at
    t is in the bucket [start, end), its bar stamped with the bucket's end;
    ``fill=True`` gives each empty bucket between two trades (within the
    session) a bar at the previous close with no volume.  Tick, volume and
    value bars close when their trade count, volume or notional reaches the
    threshold; a trade across it is split at its price, the part that fills
    the bar into it and the rest into the next bars, so that every closed
    volume bar holds exactly V and every value bar exactly X.  These bars
    tile time: each starts where the one before ended (the first at its first
    trade) and ends at its last trade.  Tickers are apart, in order of first
    appearance.

    Raises ``AggregateError`` naming the row or record of a trade that runs
    back in time within its ticker, or whose price is not finite and
    positive, or size or notional negative or not finite.
    """
    rules = read_rules(span, ticks, volume, value, session, origin, fill)
    target = rules.span
    daily = target is not None and target.daily
    batch = _aggregating.Batch(rules.rule, rules.threshold, fill, target.unit if target else "s",
                               target.count if target else 1, float(rules.origin), float(rules.session[0]),
                               float(rules.session[1]))
    zone = resolve_zone(tz) if target is not None else datetime.UTC
    if table_options and (isinstance(source, (tuple, Mapping)) or _is_buffer(source)):
        raise TypeError(f"{next(iter(table_options))}= reads a trade table; arrays and records need no reading")
    if _is_buffer(source) and not isinstance(source, (str, tuple)):
        if ticker is not None:
            raise ValueError("ticker= names the trades of columns and tables; records carry their tickers")
        _add_records(batch, source, zone)
    else:
        pieces: Iterable[Any]
        if isinstance(source, (tuple, Mapping)):
            pieces = _column_pieces(source, ticker)
        else:
            pieces = _table_pieces(source, ticker, tz, table_options)
        _add_pieces(batch, pieces, zone)
    return AggregatedBars(batch.finish(), DailyBar if daily else BarData, rules.describe())


def _table_pieces(source: object, ticker: str | None, tz: datetime.tzinfo | str | None,
                  table_options: Mapping[str, Any]) -> Iterator[Any]:
    """The pieces of a trade table, read by ``_trade_tables`` (imported by name:
    it reads files and frames, which this module leaves to it)."""
    try:
        tables: Any = importlib.import_module(f"{__package__}._trade_tables")
    except ModuleNotFoundError:
        raise TypeError("aggregate reads packed records and trade columns; "
                        f"not a {type(source).__name__}") from None
    pieces: Iterator[Any] = tables.trade_pieces(source, ticker=ticker, tz=tz, **table_options)
    return pieces


def _add_records(batch: _aggregating.Batch, records: object, zone: datetime.tzinfo | None) -> None:
    import numpy

    times = numpy.frombuffer(_aggregating.record_times(records), numpy.float64)  # type: ignore[arg-type]
    first, last, transitions, offsets = zone_covering_valid(zone, times)
    try:
        if batch.add_records(records, transitions, offsets, first, last):  # type: ignore[arg-type]
            return
    except ValueError as error:
        raise AggregateError(f"records: {error}") from None
    raise AssertionError("the zone table covers every time the pass accepts")


_ROW = re.compile(r"row (\d+)")


def _located(piece: Any, message: str) -> str:
    """The pass's message about a row of a piece, naming it where the table
    says it is (a table's piece knows its lines: ``where``)."""
    found = _ROW.match(message)
    if found is None or not hasattr(piece, "where"):
        return f"{piece.source_name}: {message}"
    return f"{piece.where(int(found[1]) - piece.first_row)}{message[found.end():]}"


def _add_pieces(batch: _aggregating.Batch, pieces: Iterable[Any], zone: datetime.tzinfo | None) -> None:
    """Adds each piece; its zone table reaches back to the pieces before, for the buckets between."""
    import numpy

    reach: list[float] = []  # the first and the last time of the pieces so far
    for piece in pieces:
        times = piece.times
        ends = [float(t) for t in times[[0, -1]] if math.isfinite(t)] if len(times) else []
        names = tuple(name.encode() for name in piece.names)
        for first, last, transitions, offsets in _piece_tables(zone, times, numpy.array(ends + reach)):
            try:
                if batch.add_columns(times, piece.prices, piece.sizes, piece.notionals, piece.tickers, names,
                                     piece.first_row, transitions, offsets, first, last):
                    break
            except ValueError as error:
                raise AggregateError(_located(piece, str(error))) from None
        else:
            raise AssertionError("the zone table covers every time the pass accepts")
        reach = [min(reach[0], ends[0]), max(reach[1], ends[-1])] if reach and ends else ends or reach


def _piece_tables(zone: datetime.tzinfo | None, times: Any, ends: Any) -> Iterator[ZoneTable]:
    """Zone tables for a piece, cheapest first: around its first and last
    times (and the pieces' before), then around all of them, which costs a
    pass over the times that a piece in time order never needs."""
    import numpy

    yield zone_covering_valid(zone, ends)
    yield zone_covering_valid(zone, numpy.concatenate([times, ends]))
