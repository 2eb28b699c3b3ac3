"""Bars into and out of the data ecosystem: Arrow tables, pandas DataFrames,
Parquet and CSV files, and Parquet datasets partitioned by ticker.

Every table has one schema per kind of bars (``schema``), with the kind
and the format version in its metadata:

==============  ========================  =======================
column          intraday bars             daily bars
==============  ========================  =======================
ticker          string                    string
start / end     timestamp[ns, ZONE]       start_date / end_date: date32
span            span_seconds: float64     span_days: int32
open ... close  float64 (open, high, low, close)
volume          float64
notional        float64
trade_count     uint32
==============  ========================  =======================

Times are the record's epoch seconds to the nanosecond, in the time zone
of ``tz`` (a tzinfo, a zone name, ``"UTC"`` or ``"local"``; by default
``PROFILE.time_zone``); ``start`` is ``end`` less the span.  Reading a
table back takes ``end`` and the span, so records -> table -> records gives
the same bytes (for times from February 1970 on, where a double's seconds
are no finer than a nanosecond).

A dataset holds each ticker's bars in one part file, in their order:
``ticker=NAME/part-0.parquet``, NAME the ticker percent-encoded as in URLs
(every byte of its UTF-8 but letters, digits and ``_.-~``), which
``pyarrow.dataset``'s hive partitioning decodes; tickers are text, read
back as strings whatever they look like.  An export can add the partitions
of further tickers to a dataset (``append``).
"""

from __future__ import annotations

import datetime
import math
import os
import shutil
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, Unpack

import numpy

from tarnwick.base.candlestick import BarData, DailyBar

from ._bar_sets import BarSet, input_paths, is_set, read_set
from ._file import BarFileError, StrPath
from ._records import (BAR_KIND_CODE, FORMAT_VERSION, SCHEMA_FORMAT_KEY, SCHEMA_KIND_KEY, TICKER_BYTES, Kind,
                       date_numbers, dates_from_numbers, record_dtype)
from ._zones import TimeZone, zone_name
from ._output import output_directory, output_file

if TYPE_CHECKING:
    import pandas
    import pyarrow
    import pyarrow.dataset

    from ._frames import FrameOptions

Format = Literal["parquet", "csv", "dataset"]
FORMATS: dict[str, Format] = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv"}
"""The export format that each file suffix stands for (a directory is a dataset)."""

PRICES = ("open", "high", "low", "close", "volume", "notional")
_PRICE_FIELDS = ("open_price", "high_price", "low_price", "close_price", "volume", "notional")
_NS = 1_000_000_000
_DAY_SECONDS = 86_400

Records = numpy.ndarray[Any, numpy.dtype[numpy.void]]
BarsLike = BarSet | Iterable[BarData]
"""Bar files as one set (a path, a ``BarFile``, a directory of bar files or a
list of paths and ``BarFile``s; see ``_bar_sets``), or bars of one kind."""


def schema(kind: Kind, tz: TimeZone = None, *, zone: TimeZone = None) -> pyarrow.Schema:
    """The exported table's schema for ``kind`` bars, times in the zone of
    ``tz`` (see ``resolve_zone``; ``zone`` is its older name)."""
    import pyarrow as pa

    if kind == "daily":
        times = [pa.field("start_date", pa.date32(), False), pa.field("end_date", pa.date32(), False),
                 pa.field("span_days", pa.int32(), False)]
    else:
        stamp = pa.timestamp("ns", tz=zone_name(_tz(tz, zone)))
        times = [pa.field("start", stamp, False), pa.field("end", stamp, False),
                 pa.field("span_seconds", pa.float64(), False)]
    return pa.schema(
        [pa.field("ticker", pa.string(), False), *times, *(pa.field(name, pa.float64(), False) for name in PRICES),
         pa.field("trade_count", pa.uint32(), False)],
        metadata={SCHEMA_FORMAT_KEY: str(FORMAT_VERSION), SCHEMA_KIND_KEY: kind},
    )


def _tz(tz: TimeZone, zone: TimeZone) -> TimeZone:
    """``tz``, or ``zone``: the keyword's name before every function took ``tz``."""
    if zone is None:
        return tz
    if tz is not None:
        raise TypeError("give tz or zone (its older name), not both")
    return zone


# ---- records to a table ----------------------------------------------------------


def to_arrow(source: BarsLike, *, kind: Kind | None = None, tz: TimeZone = None,
             zone: TimeZone = None) -> pyarrow.Table:
    """The bars of ``source`` as an Arrow table of ``schema(kind, tz)``:
    a ``BarFile``, the path of a bar file, a directory of bar files or a list
    of paths and ``BarFile``s (one table of them all, each file's rows in
    their order, the files in the set's order), or bars of one kind.
    ``kind`` is the kind of files without a header."""
    import pyarrow as pa

    if not is_set(source):
        records, found = _bars_records(source)
        return records_to_arrow(records, found, tz=_tz(tz, zone))
    with read_set(source, kind) as files:
        # One table per file over its mapped records, joined without copying them again.
        tables = []
        for bars in files:
            try:
                tables.append(records_to_arrow(numpy.frombuffer(bars, record_dtype()), bars.kind, tz=_tz(tz, zone)))
            except BarFileError as error:
                raise BarFileError(f"{bars.name}: {error}") from None
    return tables[0] if len(tables) == 1 else pa.concat_tables(tables)


def records_to_arrow(records: Records, kind: Kind, *, tz: TimeZone = None, zone: TimeZone = None) -> pyarrow.Table:
    """An array of ``RECORD_DTYPE`` records of ``kind`` bars as an Arrow table."""
    import pyarrow as pa

    target = schema(kind, _tz(tz, zone))
    timestamps, spans = records["timestamp"], records["bar_span"]
    if kind == "daily":
        end = dates_from_numbers(timestamps)
        whole = numpy.isfinite(spans) & (spans == numpy.floor(spans)) & (spans >= 1) & (spans < 1 << 31)
        if not whole.all():
            raise BarFileError(f"record {_first(~whole)} of daily bars has a span that is not a whole number "
                               f"of days ({spans[_first(~whole)]!r})")
        days = spans.astype(numpy.int32)
        times = [end - days.astype("m8[D]"), end, days]
    else:
        times = [_nanoseconds(timestamps - spans), _nanoseconds(timestamps), spans]
    columns = [_tickers(records), *times, *(records[name] for name in _PRICE_FIELDS),
               records["trade_count"]]
    arrays = [pa.array(column, type=field.type) for column, field in zip(columns, target)]
    return pa.Table.from_arrays(arrays, schema=target)


def _bars_records(source: Iterable[BarData]) -> tuple[Records, Kind]:
    given = list(source)
    daily = {isinstance(bar, DailyBar) for bar in given}
    if len(daily) > 1:
        raise BarFileError("daily and intraday bars cannot make one table")
    data = b"".join(memoryview(bar) for bar in given)
    return numpy.frombuffer(data, record_dtype()), "daily" if True in daily else "intraday"


def _first(mask: numpy.ndarray[Any, Any]) -> int:
    return int(numpy.argmax(mask))


def _tickers(records: Records) -> pyarrow.Array:
    # Each distinct ticker decoded once: the records' tickers as numbers (one
    # native pass, in order of first appearance) and the names they stand for.
    import pyarrow as pa

    from ._pack import ticker_codes

    codes = numpy.empty(len(records), numpy.int32)
    distinct = ticker_codes(numpy.ascontiguousarray(records), codes)
    try:
        names = [name.decode("utf-8") for name in distinct]
    except UnicodeDecodeError:
        bad = next(code for code, name in enumerate(distinct) if not _is_utf8(name))
        raise BarFileError(f"record {_first(codes == bad)} has a ticker that is not UTF-8: {distinct[bad]!r}") from None
    return pa.DictionaryArray.from_arrays(pa.array(codes), pa.array(names, pa.string())).cast(pa.string())


def _is_utf8(data: bytes) -> bool:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _nanoseconds(seconds: numpy.ndarray[Any, Any]) -> numpy.ndarray[Any, Any]:
    # Whole seconds and the fraction apart: the fraction is exact, and so the
    # nanoseconds are the nearest to the double (seconds * 1e9 is not).
    if not numpy.isfinite(seconds).all():
        raise BarFileError(f"record {_first(~numpy.isfinite(seconds))} has a time that is not a number")
    whole = numpy.floor(seconds)
    if (numpy.abs(whole) >= 9_223_372_036).any():
        raise BarFileError(f"record {_first(numpy.abs(whole) >= 9_223_372_036)} has a time beyond the years "
                           "1677 to 2262 that nanosecond timestamps reach")
    nanoseconds = whole.astype(numpy.int64) * _NS + numpy.rint((seconds - whole) * _NS).astype(numpy.int64)
    result: numpy.ndarray[Any, Any] = nanoseconds.view("M8[ns]")
    return result


# ---- a table to records ----------------------------------------------------------


def from_arrow(table: pyarrow.Table, **options: Unpack[FrameOptions]) -> tuple[Records, Kind]:
    """The records of an Arrow table (or a polars DataFrame), and the kind of
    its bars: a table of the exported schema exactly (see ``exported_records``),
    any other with a time column and Open, High, Low, Close[, Volume] columns
    as ``convert`` reads a table, with its ``options`` (``ticker``, ``span``,
    ``stamp``, ``tz``, ``kind``; see ``_frames.FrameOptions``)."""
    from ._frames import records_of

    return records_of(table, **options)


def exported_records(table: pyarrow.Table) -> tuple[Records, Kind]:
    """The records of a table of the exported schema, and the kind of its bars.

    The kind is the one the table's metadata states, else the one its columns
    give (``end_date``: daily, ``end``: intraday); times may be in any zone,
    columns in any order and of any type that casts losslessly, and other
    columns are ignored.  An empty (null) number is read as NaN, unknown.
    ``write(path, records, kind=kind)`` makes the bar file.  Missing columns,
    other empty values and tickers that a record cannot hold are refused
    with ``BarFileError``.
    """
    import pyarrow as pa

    kind = _kind_of(table)
    target = schema(kind, datetime.UTC)
    missing = [field.name for field in target if field.name not in table.column_names and field.name not in
               ("start", "start_date")]
    if missing:
        raise BarFileError(f"the table has no column {', '.join(missing)} (it has {', '.join(table.column_names)})")
    columns = {}
    for field in target:
        if field.name in ("start", "start_date"):
            continue  # the end less the span
        column = table[field.name]
        if column.null_count and pa.types.is_floating(field.type):
            column = column.cast(field.type).fill_null(math.nan)  # an unknown value, as records keep it
        elif column.null_count:
            raise BarFileError(f"column {field.name} has an empty value in row {_first_null(column)}")
        if field.name == "end":
            # Nanoseconds since the epoch, whatever the unit and zone; naive times would be a guess.
            if getattr(column.type, "tz", None) is None:
                raise BarFileError("column end holds times without a time zone: give it one (a zone-aware "
                                   "timestamp)")
            column = column.cast(pa.timestamp("ns", column.type.tz))
        try:
            columns[field.name] = column.cast(pa.int64() if field.name == "end" else field.type)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
            raise BarFileError(f"column {field.name} cannot be read as {field.type}: {error}") from None
    records = numpy.zeros(table.num_rows, record_dtype())
    records["dtype"] = BAR_KIND_CODE
    records["ticker"] = _ticker_bytes(columns["ticker"])
    if kind == "daily":
        records["timestamp"] = date_numbers(columns["end_date"].to_numpy().astype("M8[D]"))
        records["bar_span"] = columns["span_days"].to_numpy()
    else:
        whole, part = numpy.divmod(columns["end"].to_numpy(), _NS)
        records["timestamp"] = whole.astype(numpy.float64) + part / _NS
        records["bar_span"] = columns["span_seconds"].to_numpy()
    for name, field in zip(PRICES, _PRICE_FIELDS):
        records[field] = columns[name].to_numpy()
    records["trade_count"] = columns["trade_count"].to_numpy()
    return records, kind


def _kind_of(table: pyarrow.Table) -> Kind:
    stated = (table.schema.metadata or {}).get(SCHEMA_KIND_KEY.encode())
    if stated == b"daily" or stated == b"intraday":
        return "daily" if stated == b"daily" else "intraday"
    if "end_date" in table.column_names:
        return "daily"
    if "end" in table.column_names:
        return "intraday"
    raise BarFileError("the table has neither an end column (intraday bars) nor an end_date column (daily bars)")


def _first_null(column: pyarrow.ChunkedArray) -> int:
    return _first(column.is_null().to_numpy(zero_copy_only=False))


def _ticker_bytes(column: pyarrow.ChunkedArray) -> numpy.ndarray[Any, Any]:
    encoded = column.combine_chunks().dictionary_encode()
    names = []
    for ticker in encoded.dictionary.to_pylist():
        name = ticker.encode("utf-8")
        if len(name) > TICKER_BYTES or b"\0" in name:
            raise BarFileError(f"ticker {ticker!r} is not one that a record can hold (at most {TICKER_BYTES} "
                               "bytes of UTF-8, no NUL)")
        names.append(name)
    indices = encoded.indices.to_numpy()
    result: numpy.ndarray[Any, Any] = numpy.array(names or [b""], dtype=f"S{TICKER_BYTES}")[indices]
    return result


# ---- pandas ------------------------------------------------------------------------


def to_pandas(source: BarsLike, *, tz: TimeZone = None, zone: TimeZone = None) -> pandas.DataFrame:
    """The bars of ``source`` as a pandas DataFrame of the exported columns,
    indexed by ``end`` (zone-aware times; daily bars: ``end_date``)."""
    _pandas()
    table = to_arrow(source, tz=_tz(tz, zone))
    frame = table.to_pandas(date_as_object=False)
    return frame.set_index("end_date" if "end_date" in frame.columns else "end")


def from_pandas(frame: pandas.DataFrame, **options: Unpack[FrameOptions]) -> tuple[Records, Kind]:
    """The records of a DataFrame, and their kind: one such as ``to_pandas``
    gives, exactly, or a user's own indexed by time (an unnamed
    ``DatetimeIndex``, naive or zone-aware, or a named index taken as a
    column; columns by price and ticker give each ticker's bars); see
    ``from_arrow``."""
    from ._frames import records_of

    _pandas()
    return records_of(frame, **options)


def _pandas() -> None:
    try:
        import pandas  # noqa: F401
    except ImportError as error:
        raise ModuleNotFoundError("DataFrames need pandas: pip install 'tarnwick[pandas]'", name="pandas") from error


# ---- files -------------------------------------------------------------------------


def format_for(target: StrPath) -> Format:
    """The export format that ``target``'s name asks for: by its suffix, and a
    name without one is a dataset directory."""
    suffix = Path(target).suffix.lower()
    if not suffix:
        return "dataset"
    if suffix not in FORMATS:
        raise ValueError(f"{target}: cannot tell the format from the suffix {suffix!r} (known: "
                         f"{', '.join(FORMATS)}, or none for a dataset directory)")
    return FORMATS[suffix]


def export(source: BarsLike, target: StrPath, *, format: Format | None = None, kind: Kind | None = None,
           append: bool = False, force: bool = False, tz: TimeZone = None, zone: TimeZone = None) -> int:
    """Writes the bars of ``source`` (see ``to_arrow``: several files make one
    table) to ``target`` as Parquet, CSV or a Parquet dataset partitioned by
    ticker (``format``; default by ``target``'s suffix, see ``format_for``),
    whole or not at all.  Returns the number of bars.

    ``append`` adds to an existing dataset the partitions of the tickers it
    does not hold; a ticker it holds is refused unless ``force``, which
    replaces that ticker's partition only.  An append that fails leaves the
    dataset as it was."""
    import pyarrow.csv
    import pyarrow.parquet

    chosen = format or format_for(target)
    if chosen not in ("parquet", "csv", "dataset"):
        raise ValueError(f"unknown export format {chosen!r}: parquet, csv or dataset")
    if append and chosen != "dataset":
        raise ValueError(f"{target}: bars are added (--append) to a dataset directory only, not to {chosen}")
    inputs = input_paths(source) if is_set(source) else []
    table = to_arrow(source, kind=kind, tz=_tz(tz, zone))
    if chosen == "dataset":
        write_dataset(table, target, inputs=inputs, append=append, force=force)
        return len(table)
    with output_file(target, inputs=inputs) as temporary:
        if chosen == "parquet":
            pyarrow.parquet.write_table(table, temporary)
        else:
            table = _plain_times(table)
            with pyarrow.csv.CSVWriter(temporary, table.schema) as writer:
                # In batches: a stop (Ctrl-C) is acted on between two, not after the whole file.
                for batch in table.to_batches(max_chunksize=CSV_BATCH_ROWS):
                    writer.write_batch(batch)
    return len(table)


CSV_BATCH_ROWS = 1 << 14
"""Rows written to a CSV file between two looks at whether the program was stopped."""


def exported(source: StrPath) -> Format | None:
    """The format of ``source`` if ``export`` wrote it, else None: a Parquet
    file whose metadata names the kind of its bars, a CSV file whose header is
    the schema's, or a directory of ``ticker=...`` parts."""
    import pyarrow.parquet

    path = Path(source)
    if path.is_dir():
        return "dataset" if any(part.name.startswith("ticker=") for part in path.iterdir()) else None
    with open(path, "rb") as file:
        start = file.readline(4096)
    if start.startswith(b"PAR1"):
        metadata = pyarrow.parquet.read_schema(path).metadata or {}
        return "parquet" if SCHEMA_KIND_KEY.encode() in metadata else None
    names = start.rstrip(b"\r\n").replace(b'"', b"").decode("utf-8", "replace").split(",")
    return "csv" if names in (schema(kind, datetime.UTC).names for kind in ("daily", "intraday")) else None


def read_export(source: StrPath, *, format: Format | None = None) -> tuple[Records, Kind]:
    """The records, and their kind, of what ``export`` wrote: a Parquet or CSV
    file or a dataset directory (``format``; default by ``source``'s name, see
    ``format_for``).  A dataset gives its bars by ticker, each in the order
    they were written."""
    import pyarrow.csv
    import pyarrow.dataset
    import pyarrow.parquet

    chosen = format or format_for(source)
    if chosen == "parquet":
        table = pyarrow.parquet.read_table(source)
    elif chosen == "dataset":
        table = _by_ticker(pyarrow.dataset.dataset(source, format="parquet", partitioning=_partitioning()).to_table())
    elif chosen == "csv":
        with open(source, "rb") as file:
            header = file.readline()
        kind: Kind = "daily" if b'"end_date"' in header else "intraday"
        types = pyarrow.csv.ConvertOptions(column_types=schema(kind, datetime.UTC))
        table = pyarrow.csv.read_csv(source, convert_options=types)
    else:
        raise ValueError(f"unknown export format {chosen!r}: parquet, csv or dataset")
    return from_arrow(table)


def _plain_times(table: pyarrow.Table) -> pyarrow.Table:
    """The table with its times in the coarsest unit that holds them exactly,
    so that CSV text shows 09:30:00 rather than 09:30:00.000000000."""
    import pyarrow as pa

    for name in ("start", "end"):
        if name not in table.column_names:
            continue
        column = table[name]
        for unit in ("s", "ms", "us"):
            coarser = column.cast(pa.timestamp(unit, column.type.tz), safe=False)
            if coarser.cast(column.type).equals(column):
                table = table.set_column(table.column_names.index(name), name, coarser)
                break
    return table


def write_dataset(table: pyarrow.Table, directory: StrPath, *, inputs: Iterable[StrPath] = (), append: bool = False,
                  force: bool = False) -> None:
    """Writes a table of bars as a Parquet dataset partitioned by ticker, in
    the hive layout (``directory/ticker=XYZ/part-0.parquet``) that
    ``pyarrow.dataset`` and distributed engines read: one part file for
    each ticker, its bars in the table's order, its name percent-encoded
    (see the module's description).  The directory is built beside
    ``directory`` and put in its place whole; an existing one is replaced
    only if it holds nothing but an earlier output, and none of ``inputs``.
    With ``append`` the new one keeps what the old one held but the
    partitions of the table's tickers (which need ``force``; see ``export``),
    by hard links where the file system has them."""
    kept = _kept_entries(table, Path(directory), force) if append else []
    with output_directory(directory, inputs=inputs) as scratch:
        for name in kept:
            _link_copy(Path(directory, name), scratch / name)
        _write_parts(table, scratch)


# ---- adding to a dataset ----------------------------------------------------------------


def _kept_entries(table: pyarrow.Table, target: Path, force: bool) -> list[str]:
    """What an append into ``target`` keeps of it: every entry but the
    partitions of ``table``'s tickers, which only ``force`` lets go.
    Refuses bars that cannot join the dataset's (another kind, another zone)."""
    if not target.is_dir():
        return []  # a new dataset
    entries = sorted(os.listdir(target))
    partitions = [name for name in entries if name.startswith("ticker=") and (target / name).is_dir()]
    _check_joinable(table, target, partitions)
    incoming = {_partition_name(ticker) for ticker in table["ticker"].unique().to_pylist()}
    held = [name for name in partitions if name in incoming]
    if held and not force:
        from urllib.parse import unquote

        more = f" (and {len(held) - 1} more tickers)" if len(held) > 1 else ""
        raise BarFileError(f"{target} holds ticker {unquote(held[0].removeprefix('ticker='))!r} already{more}: "
                           "give --force (force=True) to replace its partition")
    return [name for name in entries if name not in incoming]


def _check_joinable(table: pyarrow.Table, target: Path, partitions: list[str]) -> None:
    import pyarrow.parquet

    part = next((file for name in partitions for file in sorted((target / name).glob("*.parquet"))), None)
    if part is None:
        return  # no bars yet: any will do
    held = pyarrow.parquet.read_schema(part)
    incoming = table.schema.remove(table.schema.get_field_index("ticker"))
    if held.equals(incoming):
        return
    held_kind = (held.metadata or {}).get(SCHEMA_KIND_KEY.encode(), b"unknown").decode()
    new_kind = (table.schema.metadata or {}).get(SCHEMA_KIND_KEY.encode(), b"").decode()
    if held_kind != new_kind:
        raise BarFileError(f"{target} holds {held_kind} bars, which {new_kind} bars cannot join")
    if "end" in held.names and held.field("end").type != incoming.field("end").type:
        zone = getattr(held.field("end").type, "tz", None)
        raise BarFileError(f"{target} holds times in the zone {zone}: give tz={zone!r} (--tz {zone}) to add to it")
    raise BarFileError(f"{target} holds bars of another table schema ({part}), which these cannot join")


def _link_copy(source: Path, target: Path) -> None:
    """``source`` (a file or a directory tree) at ``target`` too, by hard links
    where the file system has them (nothing copied), else by copying."""

    def link(old: str, new: str) -> None:
        try:
            os.link(old, new)
        except OSError:
            shutil.copy2(old, new)

    if source.is_dir() and not source.is_symlink():
        shutil.copytree(source, target, symlinks=True, copy_function=link)
    elif source.is_symlink():
        os.symlink(os.readlink(source), target)
    else:
        link(str(source), str(target))


# The directory of a null value in the hive layout, "ticker=__HIVE_DEFAULT_PARTITION__"
# by default, is a ticker like any other here: the name given instead is longer
# than the 32 bytes of a ticker.
_NULL_TICKER = "(null: longer than any ticker that a record holds)"


def _partitioning() -> pyarrow.dataset.Partitioning:
    import pyarrow as pa
    import pyarrow.dataset

    return pyarrow.dataset.HivePartitioning(pa.schema([pa.field("ticker", pa.string())]), null_fallback=_NULL_TICKER,
                                            segment_encoding="uri")


def _by_ticker(table: pyarrow.Table) -> pyarrow.Table:
    """The rows of ``table`` by ticker, each ticker's in their order: a
    dataset's parts come in the file system's order."""
    if "ticker" not in table.column_names or table["ticker"].null_count:
        return table  # refused by from_arrow
    tickers = table["ticker"].combine_chunks().dictionary_encode()
    names = tickers.dictionary.to_pylist()
    rank = numpy.argsort(numpy.argsort(numpy.array(names, dtype=object)))  # code points: Arrow's order of text
    keys = rank[tickers.indices.to_numpy()] if len(names) else numpy.zeros(0, numpy.intp)
    if (numpy.diff(keys) < 0).any():
        table = table.take(numpy.argsort(keys, kind="stable"))
    return table


def _partition_name(ticker: str) -> str:
    """The name of ``ticker``'s directory in a dataset."""
    from urllib.parse import quote

    return "ticker=" + quote(ticker, safe="")


def _write_parts(table: pyarrow.Table, directory: Path) -> None:
    """Each ticker's rows of ``table``, in their order, as one Parquet file
    in its own directory of ``directory`` (the ticker is in the name, so not
    in the file).  Written here rather than by ``pyarrow.dataset``, which
    spreads a ticker over several files beyond 1,024 tickers and writes rows
    in no set order."""
    import pyarrow.parquet

    if not len(table):
        return
    tickers = table["ticker"].combine_chunks().dictionary_encode()
    codes = tickers.indices.to_numpy()  # numbered by first appearance
    rows = table.drop_columns(["ticker"])
    if (numpy.diff(codes) < 0).any():  # tickers interleaved: each ticker's rows together, in their order
        order = numpy.argsort(codes, kind="stable")
        rows, codes = rows.take(order), codes[order]
    bounds = [0, *(numpy.flatnonzero(numpy.diff(codes)) + 1), len(codes)]
    names = tickers.dictionary.to_pylist()
    for start, stop in zip(bounds[:-1], bounds[1:]):
        ticker = names[codes[start]]
        folder = directory / _partition_name(ticker)
        try:
            os.mkdir(folder)
        except FileExistsError:
            raise BarFileError(f"ticker {ticker!r} would share the directory {folder.name} with another ticker on "
                               "this file system, which does not tell their names apart (letter case?)") from None
        pyarrow.parquet.write_table(rows.slice(start, stop - start), folder / "part-0.parquet")
