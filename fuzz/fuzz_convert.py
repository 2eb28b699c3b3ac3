"""Fuzzing harness for converting tables into bar files.

Every input is one conversion: its first bytes choose the options (delimiter,
header, encoding, decimal mark, thousands separator, lines to skip, rows
without prices, date format, column roles, ticker, kind, span, stamp, zone
and whether the table goes through gzip, Parquet or Arrow),
the rest builds the table, from cells the input picks among plausible ones
(dates, times, epochs, prices, counts, tickers) and raw bytes, or typed
Parquet/Arrow columns (timestamps of every unit, dates and durations, at
their extremes too; prices of other types, nested ones among them).  The
conversion must end in bars or in one clear error: ``TableError`` with a
one-line message that names the file.  Bars written must read back as the
conversion reported them.  Anything else (another exception, a crash the
sanitizers see) is a finding.  An input that starts with ``AS_IS`` is a
table as it stands, read in New York time: the seeds made from realistic
exports, whose mutations reach the reader with every byte of a real table.

`exercise(data)` needs nothing but the package: `tools/fuzz.sh --harness
convert` runs it under atheris, tests/test_fuzz_regressions.py replays
committed inputs through it and tests/test_bars_convert_fuzz.py random ones.
"""

import dataclasses
import datetime
import gzip
import io
import tempfile
from pathlib import Path

from tarnwick.bars import Reading, TableError, convert, read
from tarnwick.profile import PROFILE

HEADERS = (b"Date", b"Time", b"Datetime", b"Timestamp", b"Open", b"High", b"Low", b"Close", b"Volume",
           b"Notional", b"VWAP", b"Trades", b"Symbol", b"<TICKVOL>", b"<VOL>", b"Adj Close", b"close_time",
           b"end", b"span_seconds", b"", b"x")
DELIMITERS = (b",", b";", b"\t", b"|", b" ")
ZONES = (datetime.UTC, None, "America/New_York", "Europe/London", datetime.timezone(datetime.timedelta(hours=-5)))
# An input that starts with this is a New York table as it stands: the seeds
# made from realistic exports (tarnwick.bars._synthetic), which the fuzzer mutates.
AS_IS = b"table as is\n"


class Input:
    def __init__(self, data: bytes) -> None:
        self.data, self.at = data, 0

    def byte(self) -> int:
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def pick(self, choices):
        return choices[self.byte() % len(choices)]


CELLS = (
    b"2024-03-01", b"2024-03-01 09:30:00", b"2024-03-01T09:31", b"2024-11-03 01:30", b"2024-03-10 02:30",
    b"1709285400", b"1709285400000", b"1709285400000000", b"20240105", b"2017.04.19", b"09:00", b"01/05/2024",
    b"1850-01-01", b"2024-02-30", b"2024-03-01 09:30:00+01:00", b"2024-03-01 09:30:00Z",
    b"1", b"2", b"0.5", b"1.5", b"1,5", b"-3", b"nan", b"inf", b"1e308", b"4294967296", b"0", b"", b" ",
    b"ABC", b"abc", b"X" * 40, b"\xff", b'"', b'"a,b"', b"\xef\xbb\xbf",
)
# Layouts of real exports: the header (None: none), then how each column's cells are made.
LAYOUTS = (
    (b"Date,Open,High,Low,Close,Volume", ("date", "open", "high", "low", "close", "volume")),
    (b",Open,High,Low,Close,Volume", ("datetime", "open", "high", "low", "close", "volume")),
    (b"Date,Open,High,Low,Close,Adj Close,Volume", ("date", "open", "high", "low", "close", "close", "volume")),
    (b"<DATE>,<TIME>,<OPEN>,<HIGH>,<LOW>,<CLOSE>,<TICKVOL>,<VOL>", ("dotted", "time", "open", "high", "low",
                                                                    "close", "volume", "volume")),
    (None, ("dotted", "time", "open", "high", "low", "close", "volume")),
    (None, ("epoch", "open", "high", "low", "close", "volume", "closetime", "volume", "count", "volume",
            "volume", "count")),
    (b"Symbol,Datetime,Open,High,Low,Close,Trades", ("symbol", "datetime", "open", "high", "low", "close",
                                                     "count")),
    (b"timestamp,open,high,low,close,vwap", ("epoch", "open", "high", "low", "close", "open")),
    # Vendors' layouts: three header lines; numbers as people write them, newest
    # first; rows without prices; fractions of a second; nanosecond epochs;
    # lines before the header.
    (b"Price,Close,High,Low,Open,Volume\nTicker,ABC,ABC,ABC,ABC,ABC\nDate,,,,,",
     ("date", "close", "high", "low", "open", "volume")),
    (b'"Date","Price","Open","High","Low","Vol.","Change %"',
     ("slashed-newest", "quoted", "quoted", "quoted", "quoted", "suffixed", "change")),
    (b"Date,Open,High,Low,Close,Adj Close,Volume", ("date", "open-or-null", "high", "low", "close", "close",
                                                    "volume")),
    (b"Local time,Open,High,Low,Close,Volume", ("ticks", "open", "high", "low", "close", "volume")),
    (b"ts_event,instrument_id,open,high,low,close,volume,symbol", ("nanos", "count", "open", "high", "low", "close",
                                                          "volume", "symbol")),
    (b"Exported by a charting tool\nSymbol: ABC\nDate,Open,High,Low,Close", ("date", "open", "high", "low",
                                                                            "close")),
)
STEPS = (60, 3600, 86400, 86400 * 7, 86400 * 30, 1, 0, -60)


def _cell(kind: str, row: int, step: int) -> bytes:
    moment = datetime.datetime(2024, 1, 2, 9, 30) + datetime.timedelta(seconds=step * row)
    price = (100, 101, 99, 100.5)
    newest = datetime.datetime(2024, 1, 2, 9, 30) - datetime.timedelta(seconds=step * row)
    made = {
        "date": f"{moment:%Y-%m-%d}" if step >= 86400 else f"{moment:%Y-%m-%d %H:%M:%S}",
        "datetime": f"{moment:%Y-%m-%d %H:%M:%S}", "dotted": f"{moment:%Y.%m.%d}", "time": f"{moment:%H:%M}",
        "epoch": str(int(moment.replace(tzinfo=datetime.UTC).timestamp() * 1000)),
        "closetime": str(int(moment.replace(tzinfo=datetime.UTC).timestamp() * 1000) + step * 1000 - 1),
        "open": str(price[0]), "high": str(price[1]), "low": str(price[2]), "close": str(price[3]),
        "volume": str(row * 7 % 50), "count": str(row), "symbol": "ABC" if row % 3 else "xyz",
        "slashed-newest": f"{newest:%m/%d/%Y}", "quoted": f'"{price[row % 2] * 1000:,.2f}"',
        "suffixed": ("", "8.95M", "450.5K", "1.2B", "17")[row % 5], "change": f"{row % 3 - 1}.05%",
        "open-or-null": "null" if row == 1 else str(price[0]), "ticks": f"{moment:%d.%m.%Y %H:%M:%S}.{row:03d}",
        "nanos": str(int(moment.replace(tzinfo=datetime.UTC).timestamp()) * 10**9 + row),
    }[kind]
    return made.encode()


def _table(given: Input) -> bytes:
    header, kinds = given.pick(LAYOUTS)
    delimiter = given.pick(DELIMITERS)
    step = given.pick(STEPS)
    mutations = given.byte() % 4  # how wild the cells get: 0 none ... 3 often
    lines = []
    if header is not None:
        *before, last = header.split(b"\n")
        names = last.split(b",")
        if mutations and given.byte() % 4 == 0:
            names[given.byte() % len(names)] = given.pick(HEADERS)
        lines.extend(delimiter.join(line.split(b",")) for line in before)
        lines.append(delimiter.join(names))
    for row in range(1 + given.byte() % 12):
        cells = [_cell(kind, row, step) for kind in kinds]
        for _ in range(mutations * 2 if given.byte() % (1 << (4 - mutations)) == 0 else 0):
            position = given.byte() % (len(cells) + 1)
            if given.byte() % 16 == 0:  # raw bytes from the input
                size = given.byte() % 8
                cell = given.data[given.at:given.at + size]
                given.at += size
            else:
                cell = given.pick(CELLS)
            if position == len(cells):
                cells.append(cell)
            else:
                cells[position] = cell
        lines.append(delimiter.join(cells))
    ending = given.pick((b"\n", b"\r\n", b"\n\n"))
    return ending.join(lines) + (ending if given.byte() % 2 else b"")


def _options(given: Input) -> tuple[dict[str, object], Reading]:
    flags = given.byte()
    columns = {}
    if flags & 1:
        role = given.pick(("date", "time", "open", "high", "low", "close", "volume", "notional", "vwap", "trades",
                           "ticker"))
        columns[role] = given.pick(("1", "2", "5", "12", "Close", "nope"))
    reading = Reading(
        delimiter=given.pick((None, ",", ";", "\t")) if flags & 2 else None,
        header=given.pick((None, True, False)) if flags & 4 else None,
        encoding=given.pick((None, "latin-1", "utf-16", "utf-8", "no-such-codec")) if flags & 8 else None,
        decimal=given.pick((None, ".", ",")) if flags & 16 else None,
        columns=columns,
        date_format=given.pick((None, "%m/%d/%Y", "%d.%m.%Y", "%Y", "%d.%m.%Y %H:%M:%S.%f", "%Y-%m-%d%z",
                                "%d %b %y", "%Q")) if flags & 32 else None,
    )
    if flags & 64:
        more = given.byte()
        reading = dataclasses.replace(reading, skip_rows=more % 4, thousands=(None, ",", ".")[more // 4 % 3],
                                      skip_invalid=bool(more & 16))
    options: dict[str, object] = {
        "kind": given.pick((None, None, "daily", "intraday")),
        "stamp": given.pick(("start", "end")),
        "span": given.pick((None, None, 60.0, 86400.0, 0.5)),
        "ticker": given.pick((None, None, "ABC", "abc")),
    }
    return options, reading


# Typed columns: the time column's types, the counts at their extremes, the
# types a price column may come as, and durations for a span column.
INT64 = (-2**63, 2**63 - 1, -1, 0, 1, 2**62, 253402214400, -62135596800, 213503982, -2**31, 2**31 - 1)
TIME_TYPES = ("timestamp[s]", "timestamp[ms]", "timestamp[us]", "timestamp[ns]", "timestamp[s, UTC]",
              "timestamp[ns, America/New_York]", "date32", "date64")
STEP_UNITS = {"s": 1, "ms": 1000, "us": 10**6, "ns": 10**9, "date32": 1 / 86400, "date64": 1000}
PRICE_TYPES = ("double", "float", "int64", "decimal", "string", "list", "struct", "bool", "null", "dictionary")
SPANS = (60, 0, -86400, None, 2**62, 86400, 1)


def _typed_table(given: Input):  # -> pyarrow.Table
    """A table of typed columns: times from 2024 on, or counts at their extremes."""
    import decimal

    import pyarrow

    time_type = given.pick(TIME_TYPES)
    unit = time_type if time_type.startswith("date") else time_type[10:].split(",")[0].rstrip("]")
    step = given.pick(STEPS)
    rows = 1 + given.byte() % 6
    counts = []
    for row in range(rows):
        wild = given.byte()
        if wild % 8 == 0:
            counts.append(given.pick((*INT64, None)))
        else:
            counts.append(int((1704187800 + step * row) * STEP_UNITS[unit]))
    storage = pyarrow.int32() if time_type == "date32" else pyarrow.int64()
    if time_type == "date32":
        counts = [c if c is None or -2**31 <= c < 2**31 else 0 for c in counts]
    kind = {"date32": pyarrow.date32(), "date64": pyarrow.date64()}.get(time_type) or pyarrow.timestamp(
        unit, time_type.partition(", ")[2].rstrip("]") or None)
    columns = {"Datetime": pyarrow.array(counts, storage).view(kind)}
    price_type = given.pick(PRICE_TYPES)
    for name, price in (("Open", 100.0), ("High", 101.0), ("Low", 99.0), ("Close", 100.5)):
        values = [price] * rows
        columns[name] = {
            "double": lambda: pyarrow.array(values), "float": lambda: pyarrow.array(values, pyarrow.float32()),
            "int64": lambda: pyarrow.array([int(v) for v in values]),
            "decimal": lambda: pyarrow.array([decimal.Decimal(str(v)) for v in values]),
            "string": lambda: pyarrow.array([str(v) for v in values]),
            "list": lambda: pyarrow.array([[v] for v in values]),
            "struct": lambda: pyarrow.array([{"p": v} for v in values]),
            "bool": lambda: pyarrow.array([True] * rows), "null": lambda: pyarrow.nulls(rows),
            "dictionary": lambda: pyarrow.array(values).dictionary_encode(),
        }[price_type if name == "Close" or given.byte() % 2 else "double"]()
    if given.byte() % 2:
        columns["Span"] = pyarrow.array([given.pick(SPANS) for _ in range(rows)], pyarrow.duration(
            given.pick(("s", "ms", "us", "ns"))))
    if given.byte() % 2:
        columns["Volume"] = pyarrow.array([given.pick((0, 7, -1, None, 2**63 - 1)) for _ in range(rows)])
    return pyarrow.table(columns)


def _write_typed(folder: Path, given: Input) -> Path:
    import pyarrow
    import pyarrow.ipc
    import pyarrow.parquet

    table = _typed_table(given)
    if given.byte() % 2:
        try:  # (Parquet stores seconds as milliseconds: a count at the extremes cannot be written)
            pyarrow.parquet.write_table(table, folder / "t.parquet")
            return folder / "t.parquet"
        except pyarrow.ArrowException:
            pass
    with pyarrow.ipc.new_file(folder / "t.arrow", table.schema) as sink:
        sink.write_table(table)
    return folder / "t.arrow"


def _write(folder: Path, table: bytes, given: Input) -> Path:
    form = given.byte() % 8
    if form == 5:  # typed columns, instead of the table's text
        return _write_typed(folder, given)
    if form == 1:
        return _save(folder / "t.csv.gz", gzip.compress(table))
    if form == 2:
        return _save(folder / "t.csv", table.decode("utf-8", "replace").encode("utf-16"))
    if form in (3, 4):  # the same cells as a Parquet or Arrow table, as pyarrow reads them
        import pyarrow
        import pyarrow.csv

        try:
            columns = pyarrow.csv.read_csv(io.BytesIO(table))
        except (pyarrow.ArrowInvalid, UnicodeDecodeError):
            return _save(folder / "t.csv", table)
        if form == 3:
            import pyarrow.parquet

            pyarrow.parquet.write_table(columns, folder / "t.parquet")
            return folder / "t.parquet"
        import pyarrow.ipc

        with pyarrow.ipc.new_file(folder / "t.arrow", columns.schema) as sink:
            sink.write_table(columns)
        return folder / "t.arrow"
    return _save(folder / "t.csv", table)


def _save(path: Path, content: bytes) -> Path:
    path.write_bytes(content)
    return path


def exercise(data: bytes) -> None:
    given = Input(data)
    as_is = data.startswith(AS_IS)
    zone = "America/New_York" if as_is else given.pick(ZONES)
    if isinstance(zone, str):
        from zoneinfo import ZoneInfo

        zone = ZoneInfo(zone)
    options, reading = ({}, Reading()) if as_is else _options(given)
    saved = PROFILE.time_zone
    PROFILE.time_zone = zone
    try:
        with tempfile.TemporaryDirectory(prefix="fuzz-convert-") as scratch:
            folder = Path(scratch)
            if as_is:
                source = _save(folder / "t.csv", data[len(AS_IS):])
            else:
                source = _write(folder, _table(given), given)
            try:
                tables = convert(source, folder / "out.bars", reading=reading, show_progress=False,
                                 **options)  # type: ignore[arg-type]
            except TableError as error:
                message = str(error)
                if "\n" in message or not message:
                    raise AssertionError(f"not a one-line error: {message!r}") from error
                return
            for table in tables:
                with read(table.target) as bars:
                    if len(bars) != len(table) or bars.bar_class is not table.bar_class:
                        raise AssertionError(f"{table.target}: {len(bars)} {bars.bar_class.__name__} read back, "
                                             f"{len(table)} {table.bar_class.__name__} reported")
                    for index, bar in enumerate(bars):
                        if bar.ticker != table.ticker or bar.close_price != table.close[index]:
                            raise AssertionError(f"bar {index} reads back as {bar!r}")
    finally:
        PROFILE.time_zone = saved
