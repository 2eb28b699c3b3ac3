"""Trade tables read in pieces, for aggregation into bars: CSV (plain or
gzip), Parquet and Arrow files, and tables in memory (pyarrow, pandas, or
anything that exports an Arrow stream), sniffed, checked and placed in their
zone as ``convert`` reads OHLCV tables (``_source``, ``_columns``,
``_times``, ``_checks``), but a piece at a time: memory is bounded by a
piece, not by the table.

Each piece gives the columns the aggregation pass needs, ``TradePiece``.
The checks that belong to the table (a cell that is no number or no time, a
missing column, a ticker that cannot be one) are made here and name the row;
the checks of the trades themselves (times running backwards, prices and
sizes out of range) are the pass's, which names a row by ``TradePiece.where``.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
import re
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy
import numpy.typing as npt
import pyarrow

from ._checks import Checks
from ._columns import (TIME_ROLES, TRADE_ROLES, Layout, LayoutError, check_trade_columns, trade_header,
                       trade_headerless)
from ._progress import Progress, is_silent, progress
from ._sniff import Sniffed, SniffError, sniff
from ._source import Source, TableError, csv_pieces, located, refuse_line_not_text, wanted_type
from ._table import Reading, check_ticker, read_times, same_message, zone_in_messages
from ._times import NO_EPOCH, US, NonexistentTime, Parsed, localize, to_numpy
from ._zones import TimeZone, resolve_zone

Floats = npt.NDArray[numpy.float64]
Ints = npt.NDArray[numpy.int64]

PIECE_ROWS = 1 << 20
"""Rows of a piece: about 30 MB of columns, and few enough pieces that their
cost in Python is nothing beside the pass over them."""
_BLOCK_BYTES = 16 << 20  # CSV text parsed at once, sliced into pieces
_READ = ("date", "time", "datetime", "price", "size", "notional", "ticker")  # the roles a piece holds
_READING_FIELDS = frozenset(field.name for field in dataclasses.fields(Reading))
_EPOCH_CELL = re.compile(r"\d{9,19}")
_DUMP_NAME = re.compile(r"([A-Za-z0-9]+)-(trades|aggTrades)(-|$)")  # BTCUSDT-trades-2024-03-01: BTCUSDT
_ISO_CELL = re.compile(r"\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}(:\d{2}(\.\d{1,9})?)?(?P<zone>Z|[+-]\d{2}:?\d{2})?")


def _row_number(row: int) -> str:
    return f"row {row + 1}"


@dataclass(frozen=True, slots=True)
class TradePiece:
    """Consecutive trades of a table, as columns."""

    times: Floats  # UTC epoch seconds
    prices: Floats
    sizes: Floats
    notionals: Floats | None  # None: price * size
    tickers: npt.NDArray[numpy.int32] | None  # codes into names; None: every row is names[0]
    names: tuple[str, ...]  # tickers seen so far, in order of first appearance
    first_row: int  # the source row of the piece's first row (for messages)
    source_name: str  # for messages: "trades.csv"
    rows: Ints | None = None  # each row's source row, when they are not consecutive (one ticker chosen)
    locate: Callable[[int], str] = field(default=_row_number, repr=False, compare=False)

    def __len__(self) -> int:
        return len(self.times)

    def where(self, index: int) -> str:
        """Where row ``index`` of the piece is, for a message: "trades.csv, line 12"."""
        row = self.first_row + index if self.rows is None else int(self.rows[index])
        return f"{self.source_name}, {self.locate(row)}"


def trade_pieces(source: object, *, ticker: str | None = None, tz: TimeZone = None,
                 **table_options: object) -> Iterator[TradePiece]:
    """The trades of a table, a piece at a time, in the table's order.

    ``source`` is a path (CSV, gzip CSV, Parquet or Arrow IPC, told by their
    content), a ``pyarrow.Table`` or ``RecordBatch``, a pandas DataFrame (a
    DatetimeIndex is its time column) or any object exporting an Arrow
    stream.  Columns are found by their names (time, price, size or qty,
    notional or quote qty, ticker or symbol; see ``TRADE_NAMES``), by the
    shape of an exchange's headerless dumps, or as ``columns`` says.  Times
    without a zone are read in ``tz`` (None: ``PROFILE.time_zone``).  A table
    with a ticker column holds the tickers it names, and ``ticker`` chooses
    one; without one, ``ticker`` names the trades (default: the file's name).

    ``table_options`` are ``Reading``'s fields one by one or as
    ``reading=Reading(...)``, ``show_progress`` (bytes of a file read), and
    ``piece_rows`` (the most rows of a piece; default ``PIECE_ROWS``).  A cell that cannot be read
    raises ``TableError`` naming its line or row, when its piece is read.
    """
    reading, piece_rows, show_progress = _options(table_options)
    zone = resolve_zone(tz)
    if ticker is not None:
        try:
            check_ticker(ticker)
        except ValueError as error:
            raise TableError(str(error)) from None
    with _OpenSource(source, reading, piece_rows, show_progress) as (template, tables):
        reader = _Reader(template, zone, ticker, reading.date_format)
        first_row = 0
        for table in tables:
            piece = reader.piece(table, first_row)
            first_row += table.num_rows
            if piece is not None:
                yield piece
    if not first_row:
        raise TableError(f"{template.path}: no data rows")
    if ticker is not None and reader.names != [ticker]:
        raise TableError(f"{template.path}: no rows of ticker {ticker!r} (the table holds "
                         f"{', '.join(reader.seen[:10])}{', ...' if len(reader.seen) > 10 else ''})")


def _options(options: Mapping[str, object]) -> tuple[Reading, int, bool | None]:
    given = dict(options)
    reading = given.pop("reading", None)
    piece_rows = given.pop("piece_rows", PIECE_ROWS)
    show_progress = given.pop("show_progress", None)
    unknown = sorted(set(given) - _READING_FIELDS)
    if unknown:
        raise TypeError(f"trade_pieces() got an unexpected keyword argument {unknown[0]!r}")
    if reading is None:
        reading = Reading(**given)  # type: ignore[arg-type]
    elif given or not isinstance(reading, Reading):
        raise TypeError("give the table options as reading=Reading(...) or one by one, not both")
    if not isinstance(piece_rows, int) or piece_rows < 1:
        raise ValueError(f"piece_rows is a positive number of rows, not {piece_rows!r}")
    if reading.skip_invalid:
        raise TableError("skip_invalid is for OHLCV tables: a trade table's every row is a trade")
    for role in reading.columns:
        if role not in TRADE_ROLES:
            raise TableError(f"--column takes a role of {', '.join(TRADE_ROLES)} in a trade table, not {role!r}")
    return reading, piece_rows, show_progress if show_progress is None else bool(show_progress)


# ---- sources --------------------------------------------------------------------------------

_Pieces = tuple[Source, Iterator[pyarrow.Table]]


class _OpenSource:
    """The source's layout (a ``Source`` without rows) and its pieces as tables
    whose columns are named by position, as ``Source.column`` reads them;
    the file and the progress bar are closed on the way out."""

    def __init__(self, source: object, reading: Reading, piece_rows: int, show_progress: bool | None) -> None:
        self.meter: Progress | None = None
        if isinstance(source, (str, os.PathLike)):
            path = Path(source)
            if not path.is_file():
                raise TableError(f"{path}: no such file" if not path.exists() else f"{path} is not a file")
            self.meter = progress(os.path.getsize(path), f"reading {path.name}", enabled=show_progress)
            try:
                self.opened = _file(path, reading, piece_rows, None if is_silent(self.meter) else self.meter)
            except BaseException:
                self.meter.close()
                raise
        else:
            self.opened = _in_memory(source, reading, piece_rows)

    def __enter__(self) -> _Pieces:
        return self.opened

    def __exit__(self, *exc: object) -> None:
        close = getattr(self.opened[1], "close", None)
        if close is not None:
            close()
        if self.meter is not None:
            self.meter.close()


def _file(path: Path, reading: Reading, piece_rows: int, meter: Progress | None) -> _Pieces:
    try:
        sniffed = sniff(path, delimiter=reading.delimiter, header=reading.header, encoding=reading.encoding,
                        decimal=reading.decimal, thousands=reading.thousands, skip=reading.skip_rows)
    except SniffError as error:
        raise TableError(str(error) if str(error).startswith(str(path)) else f"{path}: {error}") from None
    if sniffed.format == "parquet":
        import pyarrow.parquet as parquet

        try:
            file = parquet.ParquetFile(path)
        except (pyarrow.ArrowException, OSError) as error:
            raise TableError(f"{path}: not a readable Parquet file ({_first_line(error)})") from None
        template = _columnar_template(path, file.schema_arrow, reading, sniffed)
        wanted = [file.schema_arrow.names[index] for index in sorted(set(template.layout.columns.values()))]
        return template, _columnar_tables(template, file.iter_batches(piece_rows, columns=wanted), piece_rows)
    if sniffed.format == "arrow":
        schema, batches = _arrow_file(path)
        template = _columnar_template(path, schema, reading, sniffed)
        return template, _columnar_tables(template, batches, piece_rows)
    if not sniffed.sample:
        raise TableError(f"{path}: the file is empty")
    try:
        layout = trade_header(sniffed.sample[0], reading.columns) if sniffed.header else \
            trade_headerless(sniffed.sample, reading.columns)
        check_trade_columns(layout)
    except LayoutError as error:
        raise TableError(f"{path}, line {sniffed.skip + sniffed.blank + 1}: {error}") from None
    template = Source(path, pyarrow.table({}), _read_only(layout), sniffed)
    return template, _csv_tables(template, meter, reading.date_format, piece_rows)


def _arrow_file(path: Path) -> tuple[pyarrow.Schema, Iterator[pyarrow.RecordBatch]]:
    import pyarrow.ipc as ipc

    mapped = pyarrow.memory_map(str(path))
    try:
        try:
            file = ipc.open_file(mapped)
            return file.schema, (file.get_batch(i) for i in range(file.num_record_batches))
        except pyarrow.ArrowInvalid:
            mapped.seek(0)
            stream = ipc.open_stream(mapped)
            return stream.schema, iter(stream)
    except (pyarrow.ArrowException, OSError) as error:
        raise TableError(f"{path}: not a readable Arrow file ({_first_line(error)})") from None


def _in_memory(table: object, reading: Reading, piece_rows: int) -> _Pieces:
    name = Path(f"the {type(table).__name__}")
    if type(table).__module__.partition(".")[0] == "pandas":
        import pandas

        if isinstance(table, pandas.DataFrame):
            if isinstance(table.index, pandas.DatetimeIndex):
                table = table.reset_index(names=table.index.name or "time")
            table = pyarrow.Table.from_pandas(table, preserve_index=False)
    if isinstance(table, pyarrow.RecordBatch):
        table = pyarrow.Table.from_batches([table])
    if isinstance(table, pyarrow.Table):
        schema, batches = table.schema, iter(table.to_batches())
    elif hasattr(table, "__arrow_c_stream__"):
        stream = pyarrow.RecordBatchReader.from_stream(table)
        schema, batches = stream.schema, iter(stream)
    else:
        raise TypeError(f"trades come from a file's path, a pyarrow or pandas table, or an Arrow stream, not "
                        f"{type(table).__name__}")
    template = _columnar_template(name, schema, reading, Sniffed("arrow"))
    return template, _columnar_tables(template, batches, piece_rows)


def _columnar_template(path: Path, schema: pyarrow.Schema, reading: Reading, sniffed: Sniffed) -> Source:
    try:
        layout = trade_header(schema.names, reading.columns)
        check_trade_columns(layout)
    except LayoutError as error:
        raise TableError(f"{path}: {error}") from None
    layout = _read_only(layout)
    for role, index in layout.columns.items():
        kind = schema.field(index).type
        if pyarrow.types.is_dictionary(kind):
            kind = kind.value_type
        text = pyarrow.types.is_binary(kind) or pyarrow.types.is_large_binary(kind)
        wanted = "" if text else wanted_type(role, kind)
        if wanted:
            raise TableError(f"{path}: column {layout.names[index]!r} holds {kind}, not {wanted}")
    return Source(path, pyarrow.table({}), layout, sniffed)


def _columnar_tables(template: Source, batches: Iterable[pyarrow.RecordBatch], piece_rows: int
                     ) -> Iterator[pyarrow.Table]:
    used = sorted(set(template.layout.columns.values()))
    for batch in batches:
        # A batch holds every column of the table, or (Parquet's) the used ones in order.
        position = {index: index if batch.num_columns == len(template.layout.names) else used.index(index)
                    for index in used}
        for start in range(0, batch.num_rows, piece_rows):
            part = batch.slice(start, piece_rows)
            yield pyarrow.table({str(index): _plain(part.column(position[index]), template, index) for index in used})


def _plain(column: pyarrow.Array, template: Source, index: int) -> pyarrow.Array:
    """A column as the checks read it: dictionaries decoded, text kept as bytes made text."""
    if pyarrow.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    if pyarrow.types.is_binary(column.type) or pyarrow.types.is_large_binary(column.type):
        try:
            column = column.cast(pyarrow.string())
        except pyarrow.ArrowInvalid:
            raise TableError(f"{template.path}: column {template.layout.names[index]!r} is not UTF-8 text") from None
    return column


def _read_only(layout: Layout) -> Layout:
    """The layout without the columns a piece does not hold (side, trade id)."""
    return dataclasses.replace(layout, columns={role: index for role, index in layout.columns.items()
                                                if role in _READ})


# ---- CSV ------------------------------------------------------------------------------------


def _csv_tables(template: Source, meter: Progress | None, date_format: str | None,
                piece_rows: int) -> Iterator[pyarrow.Table]:
    """The table's pieces, with numbers and times typed by the reader (which
    costs least); a cell the reader cannot type makes the rest be read as
    text, which the checks read (or refuse, naming the row)."""
    done = 0
    typed = template.sniffed.thousands is None  # (the reader knows no thousands separators)
    types = _csv_types(template, typed, date_format is None)
    try:
        try:
            for table in csv_pieces(template, meter, types, _BLOCK_BYTES):
                for start in range(0, table.num_rows, piece_rows):
                    part = table.slice(start, piece_rows)
                    yield part
                    done += part.num_rows
        except pyarrow.ArrowInvalid as error:
            if not typed or "conversion error" not in str(error):
                raise
            skip = done
            for table in csv_pieces(template, None, _csv_types(template, False, False), _BLOCK_BYTES):
                table = table.slice(min(skip, table.num_rows))
                skip -= min(skip, table.num_rows)
                for start in range(0, table.num_rows, piece_rows):
                    yield table.slice(start, piece_rows)
    except pyarrow.ArrowInvalid as error:
        if "UTF8" in str(error) or "UTF-8" in str(error):
            refuse_line_not_text(template)
        raise located(template, str(error)) from None
    except UnicodeDecodeError as error:  # from a Python codec that the reader called
        refuse_line_not_text(template)
        raise TableError(f"{template.path}: not {template.sniffed.encoding} text ({error.reason})") from None


def _csv_types(template: Source, typed: bool, timed: bool) -> dict[str, pyarrow.DataType]:
    """Numbers as floats when ``typed``, and times as the sampled rows show
    them (epoch counts or ISO date-times) when ``timed`` too; text otherwise,
    and for tickers."""
    columns = template.layout.columns
    types = {str(index): pyarrow.float64() if typed and role in ("price", "size", "notional") else pyarrow.string()
             for role, index in columns.items()}
    role = next(role for role in TIME_ROLES if role in columns)
    if typed and timed and not (role == "date" and "time" in columns):
        sample = template.sniffed.sample[1:] if template.sniffed.header else template.sniffed.sample
        index = columns[role]
        cells = [row[index] if index < len(row) else "" for row in sample]
        if cells and all(_EPOCH_CELL.fullmatch(cell) for cell in cells):
            types[str(index)] = pyarrow.int64()
        elif cells and all(_ISO_CELL.fullmatch(cell) for cell in cells):
            zoned = {_ISO_CELL.fullmatch(cell).group("zone") is not None for cell in cells}  # type: ignore[union-attr]
            if len(zoned) == 1:
                types[str(index)] = pyarrow.timestamp("ns", "UTC" if zoned.pop() else None)
    return types


# ---- pieces ---------------------------------------------------------------------------------


class _Reader:
    """The pieces of one table made ``TradePiece``s, with what carries from
    one piece to the next: the tickers seen, and each one's last time (for
    the wall-clock hour that the clocks repeat)."""

    def __init__(self, template: Source, zone: datetime.tzinfo | None, chosen: str | None,
                 date_format: str | None) -> None:
        self.template, self.zone, self.chosen, self.date_format = template, zone, chosen, date_format
        self.by_ticker = "ticker" in template.layout.columns
        stem = template.path.stem.removesuffix(".csv")
        named = _DUMP_NAME.match(stem) if template.layout.described.startswith("an exchange's") else None
        name = chosen or (named[1] if named else template.sniffed.ticker or stem)
        if not self.by_ticker:
            try:
                check_ticker(name)
            except ValueError as error:
                raise TableError(f"{template.path}: the file's name is no ticker: {error}; give the ticker "
                                 "explicitly with --ticker (ticker= in Python)") from None
        self.names: list[str] = [] if self.by_ticker else [name]
        self.seen: list[str] = []  # every ticker of the table, chosen or not
        self.codes: dict[str, int] = {}
        self.carried = numpy.zeros(0, dtype=numpy.int64)  # each ticker code's last epoch, for ``localize``

    def piece(self, table: pyarrow.Table, first_row: int) -> TradePiece | None:
        source = Source(self.template.path, table, self.template.layout, self.template.sniffed,
                        first=first_row)
        checks = Checks(source)
        parsed, self.date_format = read_times(source, checks, self.date_format)
        prices = checks.floats("price", "Price", 1)
        sizes = checks.floats("size", "Size", 2)
        notionals = checks.optional("notional", "Notional", 3)
        codes = self.ticker_codes(source, checks)
        refusal = checks.refusal()
        if refusal is not None:
            raise refusal
        micros = self.localized(source, parsed, codes)
        times = parsed.seconds if parsed.seconds is not None and bool(parsed.aware.all()) else micros / US
        rows = None
        if self.chosen is not None and self.by_ticker:
            keep = codes == 0
            if not keep.all():
                rows = first_row + numpy.flatnonzero(keep)
                times, prices, sizes = times[keep], prices[keep], sizes[keep]
                notionals = None if notionals is None else notionals[keep]
            if not len(times):
                return None
        tickers = codes.astype(numpy.int32) if self.by_ticker and self.chosen is None else None
        return TradePiece(times, prices, sizes, notionals, tickers, tuple(self.names), first_row,
                          str(self.template.path), rows, self.template.where)

    def ticker_codes(self, source: Source, checks: Checks) -> Ints:
        """Each row's ticker as a code into ``names`` (with a chosen ticker: 0
        for its rows, -1 for the others'); a row without one fails ``checks``."""
        count = source.table.num_rows
        if not self.by_ticker:
            return numpy.zeros(count, dtype=numpy.int64)
        import pyarrow.compute as pc

        texts = pc.utf8_trim_whitespace(source.column("ticker").cast(pyarrow.string()).fill_null(""))
        encoded = texts.combine_chunks().dictionary_encode()
        local = to_numpy(encoded.indices, numpy.int64)
        mapping = numpy.empty(len(encoded.dictionary), dtype=numpy.int64)
        for index, name in enumerate(encoded.dictionary.to_pylist()):
            try:
                check_ticker(name)
            except ValueError as error:
                checks.fail(local == index, 4, same_message(str(error)))
                mapping[index] = -1
                continue
            if name not in self.codes:
                self.seen.append(name)
                if self.chosen is None or name == self.chosen:
                    self.codes[name] = len(self.names)
                    self.names.append(name)
            mapping[index] = self.codes.get(name, -1)
        codes: Ints = mapping[local]
        return codes

    def localized(self, source: Source, parsed: Parsed, codes: Ints) -> Ints:
        """The rows' times as epoch microseconds: wall-clock times placed in the
        zone, each ticker's first rows of the piece after its last of the
        pieces before (``localize`` carries them: ticker code k in slot k + 1,
        the rows of tickers not chosen in slot 0, about to be dropped)."""
        times, naive = parsed.micros, ~parsed.aware
        if not naive.any():
            return times
        slots = len(self.names) + 1
        if len(self.carried) < slots:
            self.carried = numpy.concatenate([self.carried, numpy.full(slots - len(self.carried), NO_EPOCH)])
        tickers = codes + 1
        try:
            walls = localize(times[naive], self.zone, zone_in_messages(self.zone), tickers[naive], self.carried)
        except NonexistentTime as error:
            row = int(numpy.flatnonzero(naive)[error.row])
            raise TableError(f"{source.path}, {source.where(row)}: the time {error}") from None
        if naive.all():
            return walls
        times = times.copy()
        times[naive] = walls
        return times


def _first_line(error: BaseException) -> str:
    message = str(error).strip()
    return message.splitlines()[0] if message else "no details"
