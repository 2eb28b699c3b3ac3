"""Reading OHLCV tables: columns, times, the daily/intraday and span rules, and refusals."""

import datetime
import math

import pytest

from tarnwick.bars import CsvError, convert, load_csv, read

EPOCH_0930 = datetime.datetime(2024, 3, 1, 9, 30, tzinfo=datetime.UTC).timestamp()


def table(tmp_path, text, name="ABC.csv", **options):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return load_csv(path, **options)


@pytest.mark.parametrize("text", [
    ",Open,High,Low,Close,Volume\n2024-03-01 09:30:00,1,2,0.5,1.5,10\n2024-03-01 09:31:00,1,2,0.5,1.5,10\n",
    "\ufeffclose;VOLUME;x;HIGH;low;open;DateTime\n".replace(";", ",")
    + "1.5,10,?,2,0.5,1,2024-03-01T09:30\n1.5,10,?,2,0.5,1,2024-03-01T09:31\n",
    "Date,Time,Open,High,Low,Close,Volume\n2024-03-01,09:30,1,2,0.5,1.5,10\n2024-03-01,09:31,1,2,0.5,1.5,10\n",
    "Timestamp,Open,High,Low,Close,Volume\n1709285400,1,2,0.5,1.5,10\n1709285460000,1,2,0.5,1.5,10\n",
    "time,open,high,low,close,volume\n2024-03-01 10:30:00+01:00,1,2,0.5,1.5,10\n2024-03-01 09:31:00Z,1,2,0.5,1.5,10\n",
])
def test_column_layouts_and_time_forms(tmp_path, utc_profile, text):
    got = table(tmp_path, text)
    assert (got.ticker, got.kind, len(got)) == ("ABC", "intraday", 2)
    assert list(got.spans) == [60.0, 60.0]
    assert list(got.timestamps) == [EPOCH_0930 + 60, EPOCH_0930 + 120]  # rows carry the bar's start
    assert got.record(1)[3:8] == (2.0, 0.5, 1.0, 1.5, 10.0)
    assert math.isnan(got.notional[1]) and got.trades[1] == 0 and got.absent == ("notional", "trade count")


MINUTES = 3000  # rows of about 40 bytes: beyond the 64 KB that sniffing samples


@pytest.mark.parametrize("odd, outcome", [
    ("2024-03-01T09:30:00Z", EPOCH_0930),  # a zone: read as UTC, as the rows before it
    ("  2024-03-01 09:30:00 ", EPOCH_0930),  # blanks around it
    ("", "line 2502: not a date or date-time: ''"),
    ("1.3.2024", "line 2502: not a date or date-time: '1.3.2024'"),
])
def test_a_time_unlike_the_sampled_ones_far_down(tmp_path, utc_profile, odd, outcome):
    # The sampled rows let the table reader parse the times itself; a row past
    # the sample that it cannot parse is read as the text path reads it.
    start = EPOCH_0930 - 2500 * 60
    times = [datetime.datetime.fromtimestamp(start + 60 * i, datetime.UTC).strftime("%Y-%m-%d %H:%M:%S")
             for i in range(MINUTES)]
    times[2500] = odd
    text = "Datetime,Open,High,Low,Close\n" + "".join(f"{t},1,2,0.5,1.5\n" for t in times)
    if isinstance(outcome, str):
        with pytest.raises(CsvError, match=outcome):
            table(tmp_path, text)
        return
    got = table(tmp_path, text)
    assert len(got) == MINUTES and got.timestamps[2500] == outcome + 60
    assert got.timestamps[2499] == start + 2500 * 60 and got.timestamps[2501] == EPOCH_0930 + 120


def test_notional_from_vwap_and_trade_counts(tmp_path):
    got = table(tmp_path, "Date,Open,High,Low,Close,Volume,VWAP,Trades\n2024-01-05,1,2,0.5,1.5,10,1.25,7\n")
    assert (got.kind, got.notional[0], got.trades[0], got.spans[0], got.timestamps[0]) == (
        "daily", 12.5, 7, 1.0, 20240105.0)


@pytest.mark.parametrize("dates, kind, spans, text", [
    (["2024-01-04", "2024-01-05", "2024-01-08", "2024-01-09"], "daily", [1.0] * 4, "1 day (inferred)"),
    (["2024-01-05", "2024-01-12", "2024-01-26"], "daily", [7.0] * 3, "7 days (inferred)"),
    (["2024-01-31", "2024-02-29", "2024-03-31", "2024-04-30"], "daily", [31.0, 29.0, 31.0, 30.0], "calendar months"),
    (["2024-01-05 00:00:00", "2024-01-06 00:00:00"], "daily", [1.0, 1.0], "1 day"),
    (["2024-01-05 09:00", "2024-01-05 10:00", "2024-01-05 11:00", "2024-01-08 09:00"], "intraday", [3600.0] * 4,
     "1:00:00 (inferred)"),
    (["2024-01-05"], "daily", [1.0], "one row"),
])
def test_kind_and_span_inference(tmp_path, utc_profile, dates, kind, spans, text):
    rows = "".join(f"{date},1,2,0.5,1.5,10\n" for date in dates)
    got = table(tmp_path, "Date,Open,High,Low,Close,Volume\n" + rows)
    assert (got.kind, list(got.spans)) == (kind, spans) and text in got.span_text


def test_given_kind_span_stamp_and_zone(tmp_path, utc_profile):
    text = "Date,Open,High,Low,Close,Volume\n2024-01-05 16:00,1,2,0.5,1.5,10\n2024-01-08 16:00,1,2,0.5,1.5,10\n"
    assert list(table(tmp_path, text, kind="daily").timestamps) == [20240105.0, 20240108.0]
    given = table(tmp_path, text, span=300.0, stamp="end")
    end = datetime.datetime(2024, 1, 5, 16, 0, tzinfo=datetime.UTC).timestamp()
    assert list(given.spans) == [300.0, 300.0] and given.timestamps[0] == end
    utc_profile.time_zone = datetime.timezone(datetime.timedelta(hours=-5))
    assert table(tmp_path, text, span=300.0, stamp="end").timestamps[0] == given.timestamps[0] + 5 * 3600
    assert list(table(tmp_path, "Date,Open,High,Low,Close\n2024-01-05,1,2,0.5,1.5\n", span=2 * 86400.0).spans) == [2.0]
    with pytest.raises(CsvError, match="whole number of days"):
        table(tmp_path, "Date,Open,High,Low,Close\n2024-01-05,1,2,0.5,1.5\n", span=3600.0)


def test_a_table_newest_first_is_turned_round(tmp_path):
    got = table(tmp_path, "Date,Open,High,Low,Close\n2024-01-08,1,2,0.5,1.5\n2024-01-05,1,3,0.5,1.5\n")
    assert got.reversed and list(got.timestamps) == [20240105.0, 20240108.0] and list(got.high) == [3.0, 2.0]


HEADER = "Date,Open,High,Low,Close,Volume,Trades\n"
GOOD = "2024-01-04,1,2,0.5,1.5,10,3\n"


@pytest.mark.parametrize("text, message", [
    ("", "the file is empty"),
    (HEADER, "no data rows"),
    ("Date,Open,High,Low,Volume\n", "line 1: no Close column"),
    ("When,Open,High,Low,Close\n", "line 1: no date column"),
    ("Date,Open,High,Low,Close,close\n", "line 1: two close columns"),
    (HEADER + GOOD + "2024-01-05,1,2,0.5,abc,10,3\n", "line 3: Close is not a number: 'abc'"),
    (HEADER + GOOD + "2024-01-05,1,2,,1.5,10,3\n", "line 3: Low is not a number: ''"),
    (HEADER + GOOD + "2024-01-05,1,nan,0.5,1.5,10,3\n", "line 3: High is not a finite number"),
    (HEADER + GOOD + "2024-01-05,1,2,0.5,1.5,-10,3\n", "line 3: Volume is negative"),
    (HEADER + GOOD + "2024-01-05,1,2,0.5,1.5,10,2.5\n", "line 3: Trades is not a count"),
    (HEADER + GOOD + "2024-01-05,1,2,0.5,1.5,10,4294967296\n", "line 3: Trades is not a count"),
    (HEADER + GOOD + "2024-01-05,1,0.5,2,1.5,10,3\n", "line 3: prices out of order"),
    (HEADER + GOOD + "2024-01-05,2.5,2,0.5,1.5,10,3\n", "line 3: prices out of order"),
    (HEADER + GOOD + "2024-01-05,1,2,0.5,1.5,10\n", "line 3: 6 fields, the header has 7"),
    (HEADER + GOOD + "05/01/2024,1,2,0.5,1.5,10,3\n", "line 3: not a date or date-time: '05/01/2024'"),
    (HEADER + GOOD + "\n" + GOOD, "line 4: market date 2024-01-04 repeats the previous row's \\(line 2\\)"),
    (HEADER + GOOD + "2024-01-06,1,2,0.5,1.5,10,3\n2024-01-05,1,2,0.5,1.5,10,3\n",
     "line 4: market date 2024-01-05 comes before"),
    ("Date,Open,High,Low,Close\n2024-01-05 09:30,1,2,0.5,1.5\n", "one intraday row"),
    (b"Date,Open,High,Low,Close\n2024-01-05,1,2,0.5,1.5\xff\n", "not UTF-8"),
])
def test_bad_tables_are_refused_naming_the_line(tmp_path, text, message):
    with pytest.raises(CsvError, match=message):
        table(tmp_path, text)


def test_a_refused_table_writes_nothing(tmp_path):
    source, target = tmp_path / "in.csv", tmp_path / "out.bars"
    source.write_text(HEADER + GOOD + "2024-01-05,1,2,0.5,oops,10,3\n")
    with pytest.raises(CsvError):
        convert(source, target)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]
    with pytest.raises(CsvError, match="ticker"):
        convert(tmp_path / "in.csv", target, ticker="T" * 33)


def test_converted_daily_bars_carry_dates(tmp_path):
    source = tmp_path / "in.csv"
    source.write_text("Date,Open,High,Low,Close,Notional,Volume\n2024-01-31,1,2,0.5,1.5,25,20\n"
                      "2024-02-29,1,2,0.5,1.5,25,20\n")
    convert(source, tmp_path / "out.bars", ticker="BTC")
    with read(tmp_path / "out.bars") as got:
        assert [(b.market_date.isoformat(), b.bar_span.days, b.vwap, b.ticker) for b in got] == [
            ("2024-01-31", 31, 1.25, "BTC"), ("2024-02-29", 29, 1.25, "BTC")]
