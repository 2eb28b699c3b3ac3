"""Tables in the layouts that data vendors and platforms export, each made
here from the layout's description, converted end to end and read back; and
the refusals that name the option that helps."""

import datetime
import io
import math

import pytest

from tarnwick.bars import Reading, TableError, convert, main, read

UTC = datetime.UTC
NEW_YORK = "America/New_York"


def at(*fields):
    return datetime.datetime(*fields, tzinfo=UTC).timestamp()


THREE_HEADER_LINES = """Price,Close,High,Low,Open,Volume
Ticker,AAPL,AAPL,AAPL,AAPL,AAPL
Date,,,,,
2023-01-03,123.63,129.95,122.88,128.61,112117500
2023-01-04,124.91,127.18,123.29,125.27,89113600
"""
PEOPLES_NUMBERS = '''"Date","Price","Open","High","Low","Vol.","Change %"
"01/05/2024","2,049.80","2,050.10","2,071.00","2,030.40","8.95M","-0.03%"
"01/04/2024","2,050.40","2,043.50","2,055.00","2,035.60","450.5K","0.45%"
"01/03/2024","2,041.30","2,073.60","2,076.00","2,030.00","","-1.02%"
"01/02/2024","2,073.40","2,063.70","2,080.50","2,059.20","1.2B","0.33%"
'''
HOLIDAY = """Date,Open,High,Low,Close,Adj Close,Volume
2023-12-22,195.18,195.41,192.97,193.60,193.60,37122800
2023-12-25,null,null,null,null,null,null
2023-12-26,193.61,193.89,192.83,193.05,193.05,28919300
2023-12-27,,,,,,
2023-12-28,194.14,194.66,193.17,193.58,193.58,34049900
"""
TICKS = """Local time,Open,High,Low,Close,Volume
02.01.2023 08:00:00.000,1.0701,1.0705,1.0699,1.0703,1520.5
02.01.2023 08:01:00.000,1.0703,1.0706,1.0700,1.0702,980.25
"""
NANOSECONDS = """ts_event,instrument_id,open,high,low,close,volume,symbol
1704067200000000000,5002,4800.25,4801.50,4799.75,4800.50,120,ESH4
1704067260000000000,5002,4800.50,4802.00,4800.00,4801.75,85,ESH4
"""
PREAMBLE = """Exported 2024-01-06 by a charting tool
Symbol: XYZ

Date,Open,High,Low,Close,Volume
2024-01-04,1,2,0.5,1.5,10
2024-01-05,1,3,0.5,2.5,20
"""
SEMICOLONS = "Date;Open;High;Low;Close;Volume\n2024-01-04;1.001,5;1.002;1.000;1.001;10\n" \
             "2024-01-05;1.001;1.003,25;1.000;1.002,5;20\n"
THOUSANDS = "Date,Open,High,Low,Close,Volume\n2024-01-04,1001.5,1002,1000,1001,10\n" \
            '2024-01-05,1001,"1,003.25",1000,"1,002.5",20\n'

# name, file, content, options: (end of each bar, close, volume) in the bar file; the ticker
LAYOUTS = [
    ("three header lines", "download.csv", THREE_HEADER_LINES, {},
     [(20230103.0, 123.63, 112117500), (20230104.0, 124.91, 89113600)], "AAPL"),
    ("numbers as people write them, newest first", "GC.csv", PEOPLES_NUMBERS,
     {"ticker": "GC"}, [(20240102.0, 2073.4, 1.2e9), (20240103.0, 2041.3, math.nan), (20240104.0, 2050.4, 450500),
                        (20240105.0, 2049.8, 8.95e6)], "GC"),
    ("rows without prices skipped", "SPY.csv", HOLIDAY, {"reading": Reading(skip_invalid=True)},
     [(20231222.0, 193.60, 37122800), (20231226.0, 193.05, 28919300), (20231228.0, 193.58, 34049900)], "SPY"),
    ("fractions of a second", "EURUSD.csv", TICKS, {"reading": Reading(date_format="%d.%m.%Y %H:%M:%S.%f")},
     [(at(2023, 1, 2, 8, 1), 1.0703, 1520.5), (at(2023, 1, 2, 8, 2), 1.0702, 980.25)], "EURUSD"),
    ("nanosecond epochs, in any zone", "futures.csv", NANOSECONDS, {"tz": NEW_YORK},
     [(at(2024, 1, 1, 0, 1), 4800.50, 120), (at(2024, 1, 1, 0, 2), 4801.75, 85)], "ESH4"),
    ("lines before the header", "XYZ.csv", PREAMBLE, {"reading": Reading(skip_rows=2)},
     [(20240104.0, 1.5, 10), (20240105.0, 2.5, 20)], "XYZ"),
    ("thousands as dots, decimals as commas", "DAX.csv", SEMICOLONS, {"reading": Reading(thousands=".")},
     [(20240104.0, 1001, 10), (20240105.0, 1002.5, 20)], "DAX"),
    ("some numbers with thousands separators", "IDX.csv", THOUSANDS, {},
     [(20240104.0, 1001, 10), (20240105.0, 1002.5, 20)], "IDX"),
]


@pytest.mark.parametrize("name, file, content, options, bars, ticker", LAYOUTS, ids=[row[0] for row in LAYOUTS])
def test_vendor_layouts_convert_end_to_end(tmp_path, utc_profile, name, file, content, options, bars, ticker):
    source = tmp_path / file
    source.write_text(content)
    (table,) = convert(source, tmp_path / "out.bars", show_progress=False, **options)
    with read(table.target) as got:
        values = [(bar.timestamp, bar.close_price, bar.volume) for bar in got]
        assert {bar.ticker for bar in got} == {ticker}
    assert len(values) == len(bars)
    assert ("volume: unknown in 1 row (empty)" in table.notes) == any(math.isnan(volume) for *_, volume in bars)
    for (stamp, close, volume), (want_stamp, want_close, want_volume) in zip(values, bars):
        assert (stamp, close) == (want_stamp, pytest.approx(want_close))
        assert math.isnan(volume) if math.isnan(want_volume) else volume == want_volume


@pytest.mark.parametrize("pattern, texts, expected", [
    ("%d-%b-%y %I:%M %p", ["02-Jan-23 09:30 AM", "02-Jan-23 01:30 PM"], [at(2023, 1, 2, 9, 30), at(2023, 1, 2, 13, 30)]),
    ("%Y-%m-%dT%H:%M:%S%z", ["2023-01-02T09:30:00+0100", "2023-01-02T10:30:00+0100"],
     [at(2023, 1, 2, 8, 30), at(2023, 1, 2, 9, 30)]),
    ("%Y %j %H:%M", ["2023 002 09:30", "2023 002 09:31"], [at(2023, 1, 2, 9, 30), at(2023, 1, 2, 9, 31)]),
    ("%d/%m/%Y %H:%M:%S,%f", ["02/01/2023 09:30:00,25", "02/01/2023 09:31:00,5"],
     [at(2023, 1, 2, 9, 30, 0, 250000), at(2023, 1, 2, 9, 31, 0, 500000)]),
    ("%Y%m%d", ["20230102", "20230103"], [at(2023, 1, 2), at(2023, 1, 3)]),
])
def test_every_strptime_directive_of_times(tmp_path, utc_profile, pattern, texts, expected):
    source = tmp_path / "ABC.csv"
    source.write_text("Time stamp;Open;High;Low;Close\n" + "".join(f"{text};1;2;0.5;1.5\n" for text in texts))
    (table,) = convert(source, tmp_path / "out.bars", stamp="end", kind="intraday", span=60,
                       reading=Reading(date_format=pattern, columns={"date": "1"}), show_progress=False)
    assert list(table.timestamps) == expected


def test_epochs_are_told_apart_by_their_digits(tmp_path, utc_profile):
    moments = ["1704067200", "1704067260000", "1704067320000000", "1704067380000000000", "1704067440123456789"]
    source = tmp_path / "ABC.csv"
    source.write_text("timestamp,open,high,low,close\n" + "".join(f"{m},1,2,0.5,1.5\n" for m in moments))
    table = convert(source, tmp_path / "out.bars", stamp="end", span=60, tz=NEW_YORK, show_progress=False)[0]
    assert list(table.timestamps[:4]) == [at(2024, 1, 1, 0, minute) for minute in range(4)]
    assert table.timestamps[4] == pytest.approx(1704067440.123456789, abs=1e-6)


# file, content, options, the refusal
REFUSALS = [
    ("ABC.csv", HOLIDAY, {}, r"ABC.csv, line 3: no prices \(every price is empty or null\); give --skip-invalid"),
    ("ABC.csv", "Date,Open,High,Low,Close\n2024-01-04,,1,,1\n", {"reading": Reading(skip_invalid=True)},
     "line 2: Open is not a number: ''"),  # some prices missing: not a day without trading
    ("ABC.csv", "Date,Open,High,Low,Close\n2024-01-04,null,null,null,null\n", {"reading": Reading(skip_invalid=True)},
     "no row has prices"),
    ("T" * 40 + ".csv", "2024.01.02,09:30,1.1,1.2,1.0,1.15,10,0\n2024.01.02,09:31,1.1,1.2,1.0,1.15,10,0\n", {},
     "the file's name is no ticker: .*give the ticker explicitly with --ticker"),
    ("ABC.csv", TICKS, {"reading": Reading(date_format="%d.%m.%Y %H:%M:%S.%Q")},
     r"--date-format .*: %Q is no directive of dates or times"),
    ("ABC.csv", TICKS, {"reading": Reading(date_format="%d.%m.%Y %")}, "a lone % at the end is no directive"),
    ("ABC.csv", TICKS, {"reading": Reading(date_format="%d.%m.%Y %d")}, "%d comes twice"),
    ("ABC.csv", TICKS, {}, r"line 2: not a date or date-time: '02.01.2023 08:00:00.000' \(for another form of date, "
                           "give --date-format"),
    ("ABC.csv", NANOSECONDS.replace("1704067260000000000", "9704067260000000000"), {},
     r"line 3: not a date or date-time: '9704067260000000000' \(epoch times are seconds, .* 18 to 19 digits\)$"),
    ("ABC.csv", "Date,Open,High,Low,Close\n01/02/2024,1,2,0.5,1.5\n", {},  # day or month first: nobody can tell
     "line 2: not a date or date-time: '01/02/2024' .*give --date-format, e.g. %m/%d/%Y or %d/%m/%Y"),
    ("ABC.csv", PREAMBLE, {"reading": Reading(skip_rows=9)}, "--skip-rows 9 skips all the 6 lines of the file"),
    ("ABC.csv", PREAMBLE.replace("2024-01-05,1,3", "2024-01-05,x,3"), {"reading": Reading(skip_rows=2)},
     "line 6: Open is not a number: 'x'"),
    ("ABC.csv", "Date,Open,High,Low,Close\n" + "".join(f"{datetime.date(2024, 1, 1) + datetime.timedelta(day)},"
                                                        "1001,1002,1000,1001\n" for day in range(60))
     + '2024-03-01,1001,"1,003.25",1000,1001\n', {},  # past the rows that the sniffer sees
     r"line 62: High is not a number: '1,003.25' \(if ',' separates thousands, give --thousands ,\)"),
    ("ABC.csv", THREE_HEADER_LINES.replace("Ticker,AAPL,AAPL", "Ticker,AAPL,MSFT")
     .replace("Close,High,Low,Open", "Close,Close,Low,Open"), {}, "line 2: the header lines name 2 tickers "
                                                                 r"\(AAPL, MSFT\) side by side"),
    ("ABC.csv", SEMICOLONS, {"reading": Reading(thousands=",", decimal=",")},
     "the thousands separator and the decimal mark are both"),
]


@pytest.mark.parametrize("file, content, options, message", REFUSALS)
def test_refusals_name_the_line_and_the_option(tmp_path, utc_profile, file, content, options, message):
    source = tmp_path / file
    source.write_text(content)
    with pytest.raises(TableError, match=message):
        convert(source, tmp_path / "out.bars", show_progress=False, **options)


def test_the_options_on_the_command_line(tmp_path, utc_profile):
    source = tmp_path / "SPY.csv"
    source.write_text("Report of 2024-01-06\n" + HOLIDAY.replace("37122800", '"37,122,800"'))
    out = io.StringIO()
    status = main(["convert", str(source), str(tmp_path / "spy.bars"), "--skip-rows", "1", "--skip-invalid",
                   "--thousands", ","], out)
    text = out.getvalue()
    assert status == 0 and "3 daily bars of SPY" in text
    assert "skipped 2 rows without prices, the first on line 4" in text
    with read(tmp_path / "spy.bars") as bars:
        assert [(bar.close_price, bar.volume) for bar in bars] == [(193.60, 37122800), (193.05, 28919300),
                                                                   (193.58, 34049900)]
