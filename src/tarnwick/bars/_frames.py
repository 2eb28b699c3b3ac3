"""DataFrames and tables as users have them, into bar records; bars out to polars.

A user's frame is a pandas DataFrame indexed by time (naive or zone-aware),
an Arrow table or a polars DataFrame with a time column, holding ``Open``,
``High``, ``Low``, ``Close`` and perhaps ``Volume`` in any case.  It is read
as ``convert`` reads a file: the table reader's column names (``_columns``),
checks (``_checks``) and rules for spans, stamps, zones and tickers
(``_table``).  A table of the exported schema is read exactly instead (by
``_export``), so bars -> frame -> bars gives the same bytes.

Roughly::

    def records_of(frame, **options):
        table = frame.to_arrow()        # pandas: its time index as a column
        if exported(table) and not options.keys() - {"tz"}:
            return exported_records(table)
        return pack(source_tables(columnar_source(table), **options))
"""

from __future__ import annotations

import datetime
import re
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypedDict, Unpack

import numpy

from ._columns import TIME_ROLES, is_known_name
from ._export import BarsLike, Records, exported_records, to_arrow
from ._pack import pack
from ._records import RECORD_SIZE, SCHEMA_KIND_KEY, Kind, record_dtype
from ._source import Source, TableError, columnar_source
from ._spans import SpanLike
from ._table import Stamp, TableBars, source_tables
from ._zones import TimeZone, parse_zone

if TYPE_CHECKING:
    import polars
    import pyarrow


class FrameOptions(TypedDict, total=False):
    """How to read a user's frame, as ``convert`` takes them (see ``load_tables``)."""

    ticker: str  # the bars' ticker where the frame has no ticker column, else the one to take
    span: SpanLike  # the bars' span; by default inferred from the times
    stamp: Stamp  # whether a row's time is its bar's "start" (default) or "end"
    tz: TimeZone  # the zone of naive times (and of market dates); by default an aware index's own
    kind: Kind  # "daily" or "intraday"; by default daily when no time has a time of day


_OFFSET = re.compile(r"([+-])(\d{2}):(\d{2})")


def records_of(frame: Any, **options: Unpack[FrameOptions]) -> tuple[Records, Kind]:
    """The records of a pandas or polars DataFrame or an Arrow table, and their
    kind: a table of the exported schema exactly, unless ``options`` other
    than ``tz`` ask otherwise; any other as ``convert`` reads a table, the
    tickers in the order of their first rows, each one's bars in time order."""
    table, name = _arrow_of(frame)
    if _is_exported(table) and not options.keys() - {"tz"}:
        return exported_records(table)
    source = columnar_source(Path(name), table, {})
    if "ticker" not in options and "ticker" not in source.layout.columns:
        raise TableError(f"{name}: no ticker column (Ticker, Symbol or Instrument): give ticker=")
    if options.get("tz") is None:
        options["tz"] = _own_zone(source)
    tables = source_tables(source, **options)
    return _packed(tables), tables[0].kind


def _arrow_of(frame: Any) -> tuple[pyarrow.Table, str]:
    """The frame as an Arrow table, and what to call it in messages.  Told
    by the module of its type, so that polars and pandas are imported only
    by those who give their frames."""
    import pyarrow as pa

    module = type(frame).__module__.partition(".")[0]
    if module == "polars":
        return _polars_table(frame), "polars DataFrame"
    if module == "pandas":
        return _pandas_table(frame), "DataFrame"
    if isinstance(frame, pa.RecordBatch):
        return pa.Table.from_batches([frame]), "Arrow table"
    if isinstance(frame, pa.Table):
        return frame, "Arrow table"
    raise TypeError(f"expected a pandas or polars DataFrame or an Arrow table, not {type(frame).__name__}")


def _pandas_table(frame: Any) -> pyarrow.Table:
    import pandas
    import pyarrow as pa

    if isinstance(frame.columns, pandas.MultiIndex) and frame.columns.nlevels == 2:
        frame = _one_row_per_ticker(frame)
    index = frame.index
    if any(name is not None for name in index.names):
        frame = frame.reset_index()  # a named index is a column like any other: to_pandas's end, a user's Date
    elif isinstance(index, pandas.DatetimeIndex):
        frame = frame.rename_axis("Datetime").reset_index()  # the usual frame: its unnamed index is the time
    return pa.Table.from_pandas(frame, preserve_index=False)


def _one_row_per_ticker(frame: Any) -> Any:
    """A wide frame, its columns by price and ticker (("Close", "ABC"), ...),
    as one row per time and ticker with a Ticker column; a ticker's rows whose
    prices are all empty are times when only other tickers traded."""
    import pandas

    levels = [frame.columns.get_level_values(level) for level in (0, 1)]
    prices = [all(isinstance(name, str) and is_known_name(name) for name in names) for names in levels]
    if prices.count(True) != 1:
        return frame  # not that layout: refused for its names
    tickers = prices.index(False)
    frame = frame.rename_axis(["Ticker", "Price"] if tickers == 0 else ["Price", "Ticker"], axis="columns")
    if isinstance(frame.index, pandas.DatetimeIndex) and frame.index.name is None:
        frame = frame.rename_axis("Datetime")
    return frame.stack(level="Ticker", future_stack=True).dropna(how="all")


def _polars_table(frame: Any) -> pyarrow.Table:
    import polars

    # The oldest layout: plain and large strings, which every reader of Arrow takes, not string views.
    return frame.to_arrow(compat_level=polars.CompatLevel.oldest())


def _is_exported(table: pyarrow.Table) -> bool:
    """Whether the table is one that ``to_arrow`` made: its metadata states
    the kind, or it has the end and span columns that only exports name so."""
    names = set(table.column_names)
    return (SCHEMA_KIND_KEY.encode() in (table.schema.metadata or {}) or {"end", "span_seconds"} <= names
            or {"end_date", "span_days"} <= names)


def _own_zone(source: Source) -> datetime.tzinfo | None:
    """The zone of the frame's zone-aware times, whose clocks give its market
    dates; None (the profile's zone) for naive times."""
    role = next(role for role in TIME_ROLES if role in source.layout.columns)
    name = getattr(source.column(role).type, "tz", None)
    if not name:
        return None
    offset = _OFFSET.fullmatch(name)
    if offset is None:
        return parse_zone(name)
    sign, hours, minutes = offset.groups()
    delta = datetime.timedelta(hours=int(hours), minutes=int(minutes))
    return datetime.timezone(-delta if sign == "-" else delta)


def _packed(tables: list[TableBars]) -> Records:
    """The bars of each ticker's table as one array of records, natively packed."""
    data = bytearray(sum(map(len, tables)) * RECORD_SIZE)
    start = 0
    for table in tables:
        end = start + len(table) * RECORD_SIZE
        pack(memoryview(data)[start:end], table.ticker.encode("utf-8"), table.float_columns, table.trades, 0)
        start = end
    return numpy.frombuffer(data, record_dtype())


# ---- polars --------------------------------------------------------------------------


def to_polars(source: BarsLike, *, tz: TimeZone = None) -> polars.DataFrame:
    """The bars of ``source`` as a polars DataFrame of the exported columns
    (see ``schema``; times zone-aware, in the zone of ``tz``)."""
    frame: polars.DataFrame = _polars().from_arrow(to_arrow(source, tz=tz))
    return frame


def from_polars(frame: polars.DataFrame, **options: Unpack[FrameOptions]) -> tuple[Records, Kind]:
    """The records of a polars DataFrame, and their kind (see ``from_pandas``)."""
    return records_of(frame, **options)


def _polars() -> Any:
    try:
        import polars
    except ImportError as error:
        raise ModuleNotFoundError("polars DataFrames need polars: pip install 'tarnwick[polars]'",
                                  name="polars") from error
    return polars
