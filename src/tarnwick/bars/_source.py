"""Table files read into arrow columns: CSV (any delimiter, encoding, gzip,
with or without a header) with pyarrow's multi-threaded reader, Parquet and
Arrow IPC files; and the way back from a row to its line, for messages."""

from __future__ import annotations

import codecs
import contextlib
import csv
import gzip
import io
import re
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy
import pyarrow
import pyarrow.csv as pcsv

from ._records import SCHEMA_KIND_KEY, Kind
from ._columns import TIME_ROLES, Layout, LayoutError, check_complete, from_header, headerless
from ._progress import Progress
from ._sniff import Sniffed, SniffError, sniff

# Roles read as text: the reader parses times and tickers itself.
TEXT_ROLES = ("date", "time", "datetime", "end", "closetime", "ticker")
_BLOCK_BYTES = 1 << 20  # the table reader's default
# Date-times that the table reader may parse itself, as the text path would
# (plain ISO, no zone, no blanks): the time column is typed when every sampled
# row's is one, since a cell that is not makes the whole file be read again.
_ISO_DATE_TIME = re.compile(r"\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d{1,6})?)?)?")


class TableError(ValueError):
    """A table that cannot be read as bars; the message names the file and, where it can, the line."""


LONGEST_LINE = 64 << 20
"""The longest line a table may have: the line-by-line reading that finds a
bad row's line holds one line at a time, and no table's row comes near this."""


@dataclass
class Source:
    path: Path
    table: pyarrow.Table  # the used columns, named by position ("0", "3", ...)
    layout: Layout
    sniffed: Sniffed
    stated_kind: Kind | None = None  # what a table exported from a bar file says its bars are
    kept: Any = None  # the file's rows that ``table`` holds, once some are dropped (None: all of them)
    first: int = 0  # the file's row that is the table's first: a piece of a file read in pieces starts later

    def column(self, role: str) -> pyarrow.ChunkedArray:
        return self.table.column(str(self.layout.columns[role]))

    def drop(self, rows: Any) -> None:
        """Drops the rows of a mask from the table; messages still name the file's lines."""
        keep = ~rows
        self.table = self.table.filter(pyarrow.array(keep))
        self.kept = numpy.flatnonzero(keep) if self.kept is None else self.kept[keep]

    def in_file(self, row: int) -> int:
        return self.first + (row if self.kept is None else int(self.kept[row]))

    def where(self, row: int) -> str:
        """Where data row ``row`` (from 0) is, for a message: "line N" in a CSV file, "row N" otherwise."""
        return self.where_in_file(self.in_file(row))

    def where_in_file(self, row: int) -> str:
        """Where the file's data row ``row`` (from 0) is, for a message."""
        if self.sniffed.format != "csv":
            return f"row {row + 1}"
        return f"line {_Lines(self).line(row)[0]}"

    def text(self, row: int, role: str) -> str:
        """The cell of data row ``row`` that plays ``role``, as written (for a message)."""
        if self.sniffed.format != "csv":
            cell = self.column(role)[row]
            try:
                value = cell.as_py()
            except (ValueError, OverflowError):  # a time beyond Python's: its count of units
                count = cell.cast(pyarrow.int32() if pyarrow.types.is_date32(cell.type) else pyarrow.int64())
                return f"{count.as_py()} ({cell.type})"
            return "" if value is None else str(value)
        fields = _Lines(self).line(self.in_file(row))[1]
        index = self.layout.columns[role]
        return fields[index] if index < len(fields) else ""


class _Lines:
    """The rows of a CSV file read again with Python's csv module, to find a
    row's physical line (blank lines skipped as the table reader skips them)
    or the line that is not text in the file's encoding."""

    def __init__(self, source: Source) -> None:
        self.source = source

    def rows(self) -> Iterator[tuple[int, list[str]]]:
        sniffed, path = self.source.sniffed, self.source.path
        with _open(path, sniffed.gzip) as raw:
            lines = _decoded(raw, path, sniffed.encoding)
            for _ in zip(range(sniffed.skip), lines):  # the lines before the table, as they are
                pass
            reader = csv.reader(lines, delimiter=sniffed.delimiter)
            skip = int(sniffed.header) + sniffed.after
            while True:
                try:
                    fields = next(reader, None)
                except csv.Error as error:
                    raise TableError(f"{path}, line {sniffed.skip + reader.line_num}: {error}") from None
                if fields is None:
                    return
                if not fields:
                    continue
                if skip:
                    skip -= 1
                    continue
                yield sniffed.skip + reader.line_num, fields

    def line(self, row: int) -> tuple[int, list[str]]:
        for index, found in enumerate(self.rows()):
            if index == row:
                return found
        return 0, []


def refuse_line_not_text(source: Source) -> None:
    """Reads the file's lines again and raises ``TableError`` naming the
    first that is not text in its encoding (or not a CSV row); returns if
    every line is."""
    for _ in _Lines(source).rows():
        pass


def _decoded(raw: IO[bytes], path: Path, encoding: str) -> Iterator[str]:
    """The file's lines as text; a line that is not text in ``encoding`` is refused by its number."""
    name = codecs.lookup(encoding).name
    label = "UTF-8" if name == "utf-8" else encoding
    wide = name.startswith(("utf-16", "utf-32"))  # lines cannot be split before decoding
    file: IO[Any] = io.TextIOWrapper(raw, encoding=encoding, newline="") if wide else raw
    number = 0
    while True:
        try:
            line = file.readline(LONGEST_LINE + 1)
            text = line if isinstance(line, str) else line.decode(encoding)
        except UnicodeDecodeError as error:
            raise TableError(f"{path}, line {number + 1}: not {label} text ({error.reason}); "
                             "give the file's encoding, e.g. --encoding latin-1") from None
        if not line:
            return
        if len(line) > LONGEST_LINE:
            raise TableError(f"{path}, line {number + 1}: longer than {LONGEST_LINE >> 20} MiB: not a line of a "
                             "table")
        if number == 0:
            text = text.removeprefix("\ufeff")
        number += 1
        yield text


def _counted(path: Path, compressed: bool, meter: Progress) -> IO[bytes]:
    """The file's bytes, reporting the bytes read from the disk (compressed ones for gzip)."""
    counting = _Counting(open(path, "rb"), meter)
    return gzip.GzipFile(fileobj=counting) if compressed else counting  # type: ignore[return-value]


def _open(path: Path, compressed: bool) -> IO[bytes]:
    return gzip.open(path, "rb") if compressed else open(path, "rb")  # type: ignore[return-value]


class _Counting(io.RawIOBase):
    """A file that reports the bytes read from it to a progress bar."""

    def __init__(self, file: IO[bytes], meter: Progress) -> None:
        self._file, self._meter = file, meter

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        count = self._file.readinto(buffer)  # type: ignore[attr-defined]
        self._meter.update(count or 0)
        return count or 0

    def close(self) -> None:
        self._file.close()
        super().close()


class Unstreamable(Exception):
    """A table that reading in pieces leaves to the reading of the whole file:
    one that needs its cells read again untyped, say, or that is not what it
    seemed; reading it whole gives its result or its refusal."""


def read_source(path: Path, meter: Progress | None, *, delimiter: str | None = None, header: bool | None = None,
                encoding: str | None = None, decimal: str | None = None, thousands: str | None = None,
                skip: int = 0, columns: Mapping[str, str] | None = None, date_format: str | None = None) -> Source:
    sniffed = _sniffed(path, delimiter, header, encoding, decimal, thousands, skip)
    if sniffed.format != "csv":
        return _read_columnar(path, sniffed, columns or {})
    source = Source(path, pyarrow.table({}), _csv_layout(path, sniffed, columns or {}), sniffed)
    try:
        # Numbers typed up front cost least; a cell that is not one makes the
        # reader fail without saying where, so the columns are read again
        # untyped, and the checks find the row.
        timed = None if date_format is not None else _typed_time_role(source.layout, sniffed)
        try:
            try:
                source.table = _read_csv(source, meter, typed=True, timed=timed)
            except pyarrow.ArrowInvalid as error:
                if timed is None or "conversion error to timestamp" not in str(error):
                    raise
                source.table = _read_csv(source, None, typed=True)
        except pyarrow.ArrowInvalid as error:
            if "conversion error" not in str(error):
                raise
            source.table = _read_csv(source, None, typed=False)
    except pyarrow.ArrowInvalid as error:
        raise located(source, str(error)) from None
    except UnicodeDecodeError as error:  # from a Python codec that the reader called
        refuse_line_not_text(source)
        raise TableError(f"{path}: not {sniffed.encoding} text ({error.reason})") from None
    if not source.table.num_rows:
        raise TableError(f"{path}: no data rows" + (" after the header" if sniffed.header else ""))
    if any(pyarrow.types.is_binary(column.type) for column in source.table.columns):
        refuse_line_not_text(source)
    return source


def read_pieces(path: Path, meter: Progress | None, piece_bytes: int, piece_rows: int, *,
                delimiter: str | None = None, header: bool | None = None, encoding: str | None = None,
                decimal: str | None = None, thousands: str | None = None, skip: int = 0,
                columns: Mapping[str, str] | None = None, date_format: str | None = None) -> Iterator[Source]:
    """The table read in pieces, in file order, each a ``Source`` of its own
    rows (``first`` says where it starts): a CSV file about ``piece_bytes`` of
    text a piece, Parquet and Arrow IPC files ``piece_rows`` rows or a record
    batch.  Raises ``Unstreamable`` where reading the whole file with
    ``read_source`` is needed."""
    sniffed = _sniffed(path, delimiter, header, encoding, decimal, thousands, skip)
    if sniffed.format != "csv":
        yield from _columnar_pieces(path, sniffed, columns or {}, piece_rows)
        return
    layout = _csv_layout(path, sniffed, columns or {})
    timed = None if date_format is not None else _typed_time_role(layout, sniffed)
    first = 0
    try:  # (a generator's frame sees its own errors only, not its caller's)
        for table in csv_pieces(Source(path, pyarrow.table({}), layout, sniffed), meter,
                                _table_types(layout, True, timed), piece_bytes):
            if any(pyarrow.types.is_binary(column.type) for column in table.columns):
                raise Unstreamable("text that is not in the file's encoding")
            if table.num_rows:
                yield Source(path, table, layout, sniffed, first=first)
                first += table.num_rows
    except (pyarrow.ArrowInvalid, UnicodeDecodeError) as error:  # a cell that is no number, a short line
        raise Unstreamable(str(error)) from None
    if not first:
        raise Unstreamable("no data rows")


def csv_pieces(source: Source, meter: Progress | None, types: Mapping[str, pyarrow.DataType],
               piece_bytes: int) -> Iterator[pyarrow.Table]:
    """The used columns of a CSV file (named by position, typed as ``types``
    says, the rest as the reader infers them), about ``piece_bytes`` of text at a time, cut
    after a line end (of the text decompressed, for gzip) and each parsed on
    every core.  (The table reader's own streaming reads the text far ahead
    of its parsing, which costs memory in proportion to the file; it reads
    only what cannot be cut at line ends: text of two or four bytes a
    character.)"""
    if codecs.lookup(source.sniffed.encoding).name.startswith(("utf-16", "utf-32")):
        with _csv_reader(source, meter, types, piece_bytes) as reader:
            for batch in reader:
                yield pyarrow.Table.from_batches([batch])
        return
    # Each piece parsed in two blocks, one a core, and taken a block at a time:
    # a column of one chunk is read in place, one of several would be copied.
    stream, read_options, parse_options, convert_options = _csv_arguments(source, meter, types, piece_bytes // 2)
    with stream:
        rest = b""
        while True:
            block = stream.read(piece_bytes)
            text = rest + block if rest else block
            cut = text.rfind(b"\n") + 1 if block else len(text)
            if not cut:  # nothing more, or no line end yet in a line longer than a piece
                if not block:
                    return
                rest = text
                continue
            rest = text[cut:]
            table = pcsv.read_csv(pyarrow.BufferReader(memoryview(text)[:cut]), read_options, parse_options,
                                  convert_options)
            for batch in table.to_batches():
                yield pyarrow.Table.from_batches([batch])
            read_options.skip_rows = 0  # (the lines before the table are in the first piece)
            if not block:
                return


def _sniffed(path: Path, delimiter: str | None, header: bool | None, encoding: str | None, decimal: str | None,
             thousands: str | None, skip: int) -> Sniffed:
    try:
        return sniff(path, delimiter=delimiter, header=header, encoding=encoding, decimal=decimal,
                     thousands=thousands, skip=skip)
    except SniffError as error:
        raise TableError(str(error) if str(error).startswith(str(path)) else f"{path}: {error}") from None


def _csv_layout(path: Path, sniffed: Sniffed, columns: Mapping[str, str]) -> Layout:
    """The columns of a CSV file that play a role, from its header or its shape."""
    if not sniffed.sample:
        raise TableError(f"{path}: the file is empty")
    try:
        layout = from_header(sniffed.sample[0], columns) if sniffed.header else headerless(sniffed.sample, columns)
        check_complete(layout)
    except LayoutError as error:
        hint = ""
        if len(sniffed.sample[0]) < 5:
            hint = (f" (the first line splits into {len(sniffed.sample[0])} field(s) at each "
                    f"{sniffed.delimiter_name}: if the columns are separated otherwise, give --delimiter)")
        raise TableError(f"{path}, line {sniffed.skip + sniffed.blank + 1}: {error}{hint}") from None
    if sniffed.header and len(sniffed.sample) < 2:
        raise TableError(f"{path}: no data rows after the header")
    return layout


def _typed_time_role(layout: Layout, sniffed: Sniffed) -> str | None:
    """The role of the column that gives each row's time, when the table reader
    can parse it (see ``_ISO_DATE_TIME``); None when it is read as text."""
    roles = layout.columns
    role = next(role for role in TIME_ROLES if role in roles)  # as the reader of times chooses it
    if role == "time" or (role == "date" and "time" in roles) or "closetime" in roles:
        return None  # times of two columns, or a kline's open time, which its close time is read against
    rows = sniffed.sample[1:] if sniffed.header else sniffed.sample
    index = roles[role]
    if not rows or not all(index < len(row) and _ISO_DATE_TIME.fullmatch(row[index]) for row in rows):
        return None
    return role


def _read_csv(source: Source, meter: Progress | None, *, typed: bool, timed: str | None = None) -> pyarrow.Table:
    types = _table_types(source.layout, typed, timed)
    with _csv_reader(source, meter, types, None) as batches:
        if batches is None:
            return pcsv.read_csv(*_csv_arguments(source, meter, types, _BLOCK_BYTES))
        # The whole-file reader keeps every decompressed block until it has
        # parsed them all (about 2.5 times the text); reading batch by batch
        # costs what the columns hold, and decompressing is serial anyway.
        return batches.read_all()


@contextlib.contextmanager
def _csv_reader(source: Source, meter: Progress | None, types: Mapping[str, pyarrow.DataType],
                piece_bytes: int | None) -> Iterator[Any]:
    """The file's batches from pyarrow's streaming reader, about
    ``piece_bytes`` of text each (None: a whole-file read of a plain file is
    cheaper, and None is given instead of a reader)."""
    stream, *options = _csv_arguments(source, meter, types, piece_bytes or _BLOCK_BYTES)
    with stream:
        if piece_bytes is None and not source.sniffed.gzip:
            yield None
            return
        yield pcsv.open_csv(stream, *options)


def _table_types(layout: Layout, typed: bool, timed: str | None) -> dict[str, pyarrow.DataType]:
    """The reader's types of an OHLCV table's columns: text for text, the
    rest numbers when ``typed``, and the ``timed`` column ISO date-times."""
    types = {str(index): pyarrow.string() if role in TEXT_ROLES else pyarrow.float64()
             for role, index in layout.columns.items() if typed or role in TEXT_ROLES}
    if timed is not None:
        types[str(layout.columns[timed])] = pyarrow.timestamp("us")
    return types


def _csv_arguments(source: Source, meter: Progress | None, types: Mapping[str, pyarrow.DataType],
                   block_bytes: int) -> tuple[Any, pcsv.ReadOptions, pcsv.ParseOptions, pcsv.ConvertOptions]:
    sniffed, layout = source.sniffed, source.layout
    width = len(sniffed.sample[0])
    longest = max(sum(map(len, row)) + len(row) for row in sniffed.sample)
    read_options = pcsv.ReadOptions(column_names=[str(i) for i in range(width)],
                                    skip_rows=sniffed.before_data, encoding=sniffed.encoding,
                                    block_size=max(block_bytes, 4 * longest))  # a block holds whole rows
    parse_options = pcsv.ParseOptions(delimiter=sniffed.delimiter)
    convert_options = pcsv.ConvertOptions(
        include_columns=[str(i) for i in sorted(set(layout.columns.values()))], column_types=dict(types),
        null_values=[""], strings_can_be_null=False, true_values=[], false_values=[],
        decimal_point=sniffed.decimal, timestamp_parsers=[])
    stream: Any = pyarrow.input_stream(str(source.path), compression="gzip" if sniffed.gzip else None) \
        if meter is None else _counted(source.path, sniffed.gzip, meter)
    return stream, read_options, parse_options, convert_options


def located(source: Source, message: str) -> TableError:
    """The reader's error, with the line it happened on."""
    width = len(source.sniffed.sample[0])
    what = "the header" if source.sniffed.header else "the first row"
    for line, fields in _Lines(source).rows():
        if len(fields) != width:
            hint = ""
            if width < 5:
                hint = f" (fields are split at each {source.sniffed.delimiter_name}: if that is wrong, give --delimiter)"
            return TableError(f"{source.path}, line {line}: {len(fields)} fields, {what} has {width}{hint}")
    return TableError(f"{source.path}: {_first_line(message)}")


def _read_columnar(path: Path, sniffed: Sniffed, columns: Mapping[str, str]) -> Source:
    try:
        if sniffed.format == "parquet":
            import pyarrow.parquet as parquet

            table = parquet.ParquetFile(path).read()  # (read_table refuses repeated column names)
        else:
            import pyarrow.ipc as ipc

            with pyarrow.memory_map(str(path)) as mapped:
                try:
                    table = ipc.open_file(mapped).read_all()
                except pyarrow.ArrowInvalid:
                    mapped.seek(0)
                    table = ipc.open_stream(mapped).read_all()
    except (pyarrow.ArrowException, OSError) as error:
        raise _unreadable(path, sniffed, error) from None
    except UnicodeDecodeError:
        raise TableError(f"{path}: the column names are not UTF-8 text") from None
    return columnar_source(path, table, columns, sniffed)


def _columnar_pieces(path: Path, sniffed: Sniffed, columns: Mapping[str, str], piece_rows: int) -> Iterator[Source]:
    """A Parquet file ``piece_rows`` rows a piece, an Arrow IPC file or stream
    a record batch a piece (mapped, so a batch costs no copy)."""
    first = 0
    try:  # (a generator's frame sees its own errors only, not its caller's)
        with contextlib.ExitStack() as stack:
            if sniffed.format == "parquet":
                import pyarrow.parquet as parquet

                batches: Iterator[pyarrow.RecordBatch] = \
                    stack.enter_context(parquet.ParquetFile(path)).iter_batches(piece_rows)
            else:
                import pyarrow.ipc as ipc

                mapped = stack.enter_context(pyarrow.memory_map(str(path)))
                try:
                    reader: Any = ipc.open_file(mapped)
                    batches = (reader.get_batch(i) for i in range(reader.num_record_batches))
                except pyarrow.ArrowInvalid:
                    mapped.seek(0)
                    batches = iter(ipc.open_stream(mapped))
            for batch in batches:
                if batch.num_rows:
                    piece = columnar_source(path, pyarrow.Table.from_batches([batch]), columns, sniffed)
                    piece.first = first
                    first += batch.num_rows
                    yield piece
    except (pyarrow.ArrowException, OSError, UnicodeDecodeError):
        raise Unstreamable("not readable in pieces") from None
    if not first:
        raise Unstreamable("no rows")


def _unreadable(path: Path, sniffed: Sniffed, error: Exception) -> TableError:
    return TableError(f"{path}: not a readable {sniffed.format} file ({_first_line(str(error))})")


def columnar_source(path: Path, table: pyarrow.Table, columns: Mapping[str, str],
                    sniffed: Sniffed = Sniffed("arrow")) -> Source:
    """The columns of a typed table that play a role; ``path`` names the table in messages."""
    try:
        layout = from_header(table.column_names, columns)
        check_complete(layout)
    except LayoutError as error:
        raise TableError(f"{path}: {error}") from None
    except UnicodeDecodeError:
        raise TableError(f"{path}: the column names are not UTF-8 text") from None
    used = sorted(set(layout.columns.values()))
    stated = (table.schema.metadata or {}).get(SCHEMA_KIND_KEY.encode())
    kind: Kind | None = "daily" if stated == b"daily" else "intraday" if stated == b"intraday" else None
    roles = {index: role for role, index in layout.columns.items()}
    chosen = {}
    for index in used:
        column = table.column(index)
        if pyarrow.types.is_dictionary(column.type):
            column = column.cast(column.type.value_type)
        if pyarrow.types.is_binary(column.type) or pyarrow.types.is_large_binary(column.type):
            try:  # text kept as bytes: the checks read text
                column = column.cast(pyarrow.string())
            except pyarrow.ArrowInvalid:
                raise TableError(f"{path}: column {layout.names[index]!r} is not UTF-8 text") from None
        wanted = wanted_type(roles[index], column.type)
        if wanted:
            raise TableError(f"{path}: column {layout.names[index]!r} holds {column.type}, not {wanted}")
        chosen[str(index)] = column
    table = pyarrow.table(chosen)
    if not table.num_rows:
        raise TableError(f"{path}: no rows")
    return Source(path, table, layout, sniffed, kind)


def wanted_type(role: str, kind: pyarrow.DataType) -> str:
    """What a typed column playing ``role`` should hold, when ``kind`` is not
    that (else empty): numbers, times or text, each also as text."""
    types = pyarrow.types
    if types.is_string(kind) or types.is_large_string(kind) or types.is_null(kind) or types.is_integer(kind):
        return ""
    if role == "ticker":
        return "text"
    if role in TIME_ROLES or role == "closetime":
        readable = types.is_timestamp(kind) or types.is_date(kind) or types.is_time(kind) or types.is_floating(kind)
        return "" if readable else "dates or times"
    readable = types.is_floating(kind) or types.is_decimal(kind) or (role == "span" and types.is_duration(kind))
    return "" if readable else "numbers"


def _first_line(message: str) -> str:
    """The reader's message up to its first line break (it may go on to list a whole schema)."""
    return message.strip().splitlines()[0] if message.strip() else "no details"
