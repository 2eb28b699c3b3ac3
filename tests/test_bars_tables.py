"""The tables users bring: delimiters, encodings, compression, known layouts,
escape hatches, several tickers, daylight-saving folds, Parquet and Arrow
files, and fields a table does not have."""

import datetime
import gzip
import math

import pytest

from tarnwick.bars import CsvError, Reading, convert, load_csv, load_tables, main, read
from tarnwick.bars._records import ticker_file_name

UTC = datetime.UTC
DAY_ROWS = ["2024-01-04,1,2,0.5,1.5,10", "2024-01-05,1,3,0.5,2.5,20"]


def at(*fields, tz=UTC):
    return datetime.datetime(*fields, tzinfo=tz).timestamp()


def write(tmp_path, content, name="ABC.csv"):
    path = tmp_path / name
    path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
    return path


def load(tmp_path, content, name="ABC.csv", **options):
    reading = {key: options.pop(key) for key in list(options) if key in Reading.__dataclass_fields__}
    return load_csv(write(tmp_path, content, name), reading=Reading(**reading), **options)


def values(table):
    return [table.record(i)[1:] for i in range(len(table))]


DAILY = [(20240104.0, 1.0, 2.0, 0.5, 1.0, 1.5, 10.0), (20240105.0, 1.0, 3.0, 0.5, 1.0, 2.5, 20.0)]


def daily_text(delimiter=",", header="Date,Open,High,Low,Close,Volume"):
    rows = [header] if header else []
    return "\n".join(row.replace(",", delimiter) for row in rows + DAY_ROWS) + "\n"


@pytest.mark.parametrize("content, options", [
    (daily_text(";"), {}),
    (daily_text("\t"), {}),
    (daily_text("|"), {}),
    (daily_text(header="<DATE>, open , HIGH,low,Close ,VOL"), {}),
    (daily_text(header="Date,Open,High,Low,Close,Adj Close,Volume").replace(",10\n", ",1.4,10\n")
     .replace(",20\n", ",2.4,20\n"), {}),
    (daily_text(header=None), {}),
    (daily_text(header=None), {"header": False}),
    ("\n\n" + daily_text(), {}),
    (b"\xef\xbb\xbf" + daily_text().encode(), {}),
    (daily_text().encode("utf-16"), {}),
    (gzip.compress(daily_text(";").encode()), {}),
    (daily_text(";").replace("0.5", "0,5").replace("1.5", "1,5").replace("2.5", "2,5"), {}),
    (daily_text(";").replace("0.5", "0,5").replace("1.5", "1,5").replace("2.5", "2,5"), {"decimal": ","}),
    (daily_text(":"), {"delimiter": ":"}),
    (daily_text().replace("2024-01-04", "01/04/2024").replace("2024-01-05", "01/05/2024"),
     {"date_format": "%m/%d/%Y"}),
    (daily_text().replace("2024-01-04", "04.01.2024").replace("2024-01-05", "05.01.2024"),
     {"date_format": "%d.%m.%Y"}),
    (daily_text().replace("2024-01-0", "2024.01.0"), {}),
    (daily_text(header="When,A,B,C,D,E"), {"columns": {"date": "When", "open": "2", "high": "B", "low": "4",
                                                        "close": "D", "volume": "6"}}),
    (daily_text(header="Date,Open,High,Low,Close,Volume").replace("Volume", "Size"), {"columns": {"volume": "6"}}),
])
def test_table_forms_give_the_same_bars(tmp_path, utc_profile, content, options):
    got = load(tmp_path, content, **options)
    assert (got.kind, [row[:7] for row in values(got)]) == ("daily", DAILY)


def test_latin_1_is_read_when_given_and_refused_naming_the_line_otherwise(tmp_path, utc_profile):
    content = ("Date,Open,High,Low,Close,Note\n" + "2024-01-04,1,2,0.5,1.5,ok\n2024-01-05,1,2,0.5,1.5,\xe9t\xe9\n")
    path = write(tmp_path, content.encode("latin-1"))
    with pytest.raises(CsvError, match=r"line 3: not UTF-8 text .*--encoding latin-1"):
        load_csv(path, reading=Reading(columns={"ticker": "Note"}))
    got = load_tables(path, reading=Reading(encoding="latin-1", columns={"ticker": "Note"}))
    assert [t.ticker for t in got] == ["ok", "été"]


KLINE = ["1709251200000,1.0,2.0,0.5,1.5,10.0,1709251259999,15.0,7,5,7.5,0",
         "1709251260000,1.5,2.5,1.0,2.0,20.0,1709251319999,40.0,9,5,7.5,0"]
KLINE_HEADER = ("open_time,open,high,low,close,volume,close_time,quote_volume,count,taker_buy_volume,"
                "taker_buy_quote_volume,ignore")


@pytest.mark.parametrize("header, unit", [(None, "ms"), (KLINE_HEADER, "ms"), (None, "us"), (None, "s")])
def test_exchange_kline_dumps(tmp_path, header, unit):
    def rescale(row):  # open times in the unit; close times the bar's last millisecond
        fields = row.split(",")
        opened, closed = int(fields[0]), int(fields[6])
        fields[0], fields[6] = {"ms": (str(opened), str(closed)), "us": (f"{opened}000", f"{closed}000"),
                                "s": (str(opened // 1000), f"{closed / 1000:.3f}")}[unit]
        return ",".join(fields)

    rows = [rescale(row) for row in KLINE]
    got = load(tmp_path, "\n".join(([header] if header else []) + rows) + "\n", name="BTCUSDT-1m.csv")
    start = 1709251200.0
    assert got.kind == "intraday" and "exchange kline dump" in " ".join(got.notes)
    assert values(got) == [(start + 60, 60.0, 2.0, 0.5, 1.0, 1.5, 10.0, 15.0, 7),
                           (start + 120, 60.0, 2.5, 1.0, 1.5, 2.0, 20.0, 40.0, 9)]


@pytest.mark.parametrize("content, volume, note", [
    ("<DATE>\t<TIME>\t<OPEN>\t<HIGH>\t<LOW>\t<CLOSE>\t<TICKVOL>\t<VOL>\t<SPREAD>\n"
     "2017.04.19\t09:00:00\t1\t2\t0.5\t1.5\t1413\t0\t3\n2017.04.19\t09:01:00\t1\t2\t0.5\t1.5\t1241\t0\t3\n",
     [1413.0, 1241.0], "tick volume"),
    ("<DATE>,<TIME>,<OPEN>,<HIGH>,<LOW>,<CLOSE>,<TICKVOL>,<VOL>\n"
     "2017.04.19,09:00,1,2,0.5,1.5,1413,5\n2017.04.19,09:01,1,2,0.5,1.5,1241,0\n", [5.0, 0.0], "real volume"),
    ("2017.04.19,09:00,1,2,0.5,1.5,1413\n2017.04.19,09:01,1,2,0.5,1.5,1241\n", [1413.0, 1241.0], ""),
])
def test_trading_terminal_exports(tmp_path, utc_profile, content, volume, note):
    got = load(tmp_path, content, name="EURUSD.csv")
    assert (got.kind, list(got.volume), got.timestamps[0]) == ("intraday", volume, at(2017, 4, 19, 9, 1))
    assert note in " ".join(got.notes)


def test_unknown_is_not_zero(tmp_path, utc_profile):
    got = load(tmp_path, "Date,Open,High,Low,Close\n" + "\n".join(row.rsplit(",", 1)[0] for row in DAY_ROWS))
    assert math.isnan(got.volume[0]) and math.isnan(got.notional[0]) and got.trades[0] == 0
    assert got.absent == ("volume", "notional", "trade count")
    convert(tmp_path / "ABC.csv", tmp_path / "abc.bars")
    with read(tmp_path / "abc.bars") as bars:
        assert math.isnan(bars[0].vwap) and math.isnan(bars[0].volume) and bars[0].trade_count == 0


def test_daily_bars_before_1900_stay_daily(tmp_path):
    source = write(tmp_path, "Date,Open,High,Low,Close\n1850-03-01,1,2,0.5,1.5\n1850-03-02,1,2,0.5,1.5\n")
    convert(source, tmp_path / "old.bars")
    with read(tmp_path / "old.bars") as bars:
        assert [bar.market_date for bar in bars] == [datetime.date(1850, 3, 1), datetime.date(1850, 3, 2)]


TICKERS = ("Symbol,Date,Open,High,Low,Close,Volume\nabc,2024-01-04,1,2,0.5,1.5,10\nXYZ,2024-01-04,5,6,4,5,1\n"
           "abc,2024-01-05,1,3,0.5,2.5,20\nXYZ,2024-01-05,5,7,4,6,2\n")


def test_several_tickers_make_a_directory(tmp_path, utc_profile):
    source = write(tmp_path, TICKERS, name="many.csv")
    tables = convert(source, tmp_path / "out")
    assert [(t.ticker, t.target.name, len(t)) for t in tables] == [
        ("abc", ticker_file_name("abc"), 2), ("XYZ", ticker_file_name("XYZ"), 2)]
    with read(tmp_path / "out" / ticker_file_name("abc")) as bars:
        assert [(bar.ticker, bar.close_price) for bar in bars] == [("abc", 1.5), ("abc", 2.5)]
    (one,) = convert(source, tmp_path / "xyz.bars", ticker="XYZ")
    assert (one.ticker, list(one.close)) == ("XYZ", [5.0, 6.0])
    with pytest.raises(CsvError, match="holds 2 tickers"):
        load_csv(source)
    with pytest.raises(CsvError, match="no rows of ticker 'QQQ'"):
        load_csv(source, ticker="QQQ")


FALL_BACK = ["00:30", "01:00", "01:30", "01:00", "01:30", "02:00"]  # America/New_York, 2024-11-03


def test_a_daylight_saving_fold_is_resolved_by_row_order(tmp_path, utc_profile):  # (the fixture restores --tz)
    from zoneinfo import ZoneInfo

    rows = "".join(f"2024-11-03 {t},1,2,0.5,1.5,10\n" for t in FALL_BACK)
    source = write(tmp_path, "Datetime,Open,High,Low,Close,Volume\n" + rows)
    assert main(["convert", str(source), str(tmp_path / "ny.bars"), "--tz", "America/New_York"]) == 0
    with read(tmp_path / "ny.bars") as bars:
        starts = [bar.start_timestamp for bar in bars]
    first = at(2024, 11, 3, 4, 30)
    assert starts == [first + 1800 * i for i in range(6)]
    utc_profile.time_zone = ZoneInfo("America/New_York")
    spring = write(tmp_path, "Datetime,Open,High,Low,Close\n2024-03-10 01:30,1,2,0.5,1.5\n"
                             "2024-03-10 02:30,1,2,0.5,1.5\n", name="spring.csv")
    with pytest.raises(CsvError, match="line 3: the time 2024-03-10 02:30:00 does not exist in America/New_York"):
        load_csv(spring)


@pytest.mark.parametrize("content, options, message", [
    ("When,Open,High,Low,Close\n2024-01-04,1,2,0.5,1.5\n", {},
     "line 1: no date column: name it one of Date, Day, Trade date, .*, Timestamp, .*, Time, End, .*End date"),
    ("Date Open High Low Close\n2024-01-04 1 2 0.5 1.5\n2024-01-05 1 2 0.5 1.5\n", {},
     "give --delimiter"),
    (daily_text() + "2024-01-06,1,2,0.5,,5\n", {}, "line 4: Close is not a number: ''"),
    (daily_text().replace("1,3,0.5", "x,3,0.5") + "2024-01-06,1,2,0.5,1.5,-5\n", {}, "line 3: Open is not a number"),
    (daily_text() + "2024-01-06,1,2,0.5,1.5,-5\n2024-01-07,1,2,0.5,bad,5\n", {}, "line 4: Volume is negative"),
    (daily_text() + "2024-13-06,1,2,0.5,1.5,5\n", {}, "line 4: not a date or date-time: '2024-13-06'"),
    (daily_text().replace("2024-01-0", "01/0"), {"date_format": "%d.%m.%Y"}, "line 2: not a date or date-time"),
    (daily_text(), {"name": "T" * 33 + ".csv"}, "the file's name is no ticker: .*give the ticker explicitly"),
    ("\n\r\n" + daily_text() + "\n2024-01-06,1,2,0.5,1.5,x\n", {}, "line 7: Volume is not a number: 'x'"),
])
def test_refusals_name_the_line(tmp_path, utc_profile, content, options, message):
    with pytest.raises(CsvError, match=message):
        load(tmp_path, content, **options)


@pytest.mark.parametrize("form", ["parquet", "arrow", "stream"])
def test_parquet_and_arrow_tables(tmp_path, utc_profile, form):
    import pyarrow
    import pyarrow.ipc
    import pyarrow.parquet

    table = pyarrow.table({
        "symbol": ["ABC", "ABC"],
        "timestamp": pyarrow.array([at(2024, 3, 1, 9, 30) * 10**6, at(2024, 3, 1, 9, 31) * 10**6],
                                   pyarrow.timestamp("us", "America/New_York")),
        "open": [1.0, 1.0], "high": [2.0, 2.0], "low": [0.5, 0.5], "close": [1.5, 1.5],
        "volume": pyarrow.array([10, 20], pyarrow.int64()), "trades": pyarrow.array([3, 4], pyarrow.uint32()),
    })
    path = tmp_path / f"t.{form}"
    if form == "parquet":
        pyarrow.parquet.write_table(table, path)
    else:
        writer = pyarrow.ipc.new_file if form == "arrow" else pyarrow.ipc.new_stream
        with writer(path, table.schema) as sink:
            sink.write_table(table)
    got = load_csv(path)
    assert values(got)[1][:7] == (at(2024, 3, 1, 9, 32), 60.0, 2.0, 0.5, 1.0, 1.5, 20.0)
    assert (got.ticker, list(got.trades)) == ("ABC", [3, 4])


@pytest.mark.parametrize("content", [
    "Datetime,Open,High,Low,Close,Volume,Trades\n2024-03-01 09:30:00.25,1,2,0.5,1.5,10,3\n"
    "2024-03-01 09:31:00.25,1,2,0.5,1.5,10,4\n",
    "Date,Open,High,Low,Close,Notional\n1850-03-01,1,2,0.5,1.5,7.5\n1850-03-08,1,2,0.5,1.5,nan\n",
])
@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".csv"])
def test_export_then_convert_gives_the_same_file(tmp_path, content, suffix):
    from tarnwick import bars

    if not hasattr(bars, "export"):
        pytest.skip("export is not in this build")
    first, again = tmp_path / "first.bars", tmp_path / "again.bars"
    convert(write(tmp_path, content), first)
    if suffix != ".arrow":
        bars.export(first, tmp_path / f"t{suffix}")
    else:
        import pyarrow.ipc

        table = bars.to_arrow(first)
        with pyarrow.ipc.new_file(tmp_path / f"t{suffix}", table.schema) as sink:
            sink.write_table(table)
    convert(tmp_path / f"t{suffix}", again)
    assert again.read_bytes() == first.read_bytes()


MINUTES = "Datetime,Open,High,Low,Close\n" + "".join(
    f"2024-03-01 {9 + (30 + i) // 60:02d}:{(30 + i) % 60:02d}:00,1,2,0.5,1.5\n" for i in range(390))


@pytest.mark.parametrize("content, tz, shown", [
    ("Date,Open,High,Low,Close\n" + "\n".join(row.rpartition(",")[0] for row in DAY_ROWS),
     "UTC", "<TableBars ABC: 2 daily bars of 1d, 2024-01-04 .. 2024-01-05>"),
    (MINUTES, "UTC", "<TableBars ABC: 390 intraday bars of 1min, 2024-03-01 09:30:00+0000 .. "
                     "2024-03-01 16:00:00+0000>"),
    (MINUTES, "America/New_York", "<TableBars ABC: 390 intraday bars of 1min, 2024-03-01 09:30:00-0500 .. "
                                  "2024-03-01 16:00:00-0500>"),  # read and shown in the profile's zone
    ("Datetime,Open,High,Low,Close,Span\n2024-03-01 09:30:00,1,2,0.5,1.5,60\n2024-03-01 09:31:00,1,2,0.5,1.5,90.5\n",
     "UTC", "<TableBars ABC: 2 intraday bars of 1min to 90.5s, 2024-03-01 09:30:00+0000 .. 2024-03-01 09:32:30+0000>"),
])
def test_tables_print_as_one_line(tmp_path, utc_profile, content, tz, shown):
    from zoneinfo import ZoneInfo

    from tarnwick.profile import PROFILE

    PROFILE.time_zone = ZoneInfo(tz)
    table = load(tmp_path, content)
    assert repr(table) == shown and str(table) == shown
