"""Convert in pieces: the same bytes as the table read whole, wherever the
pieces split a day the clocks change on, a ticker's rows or a bad line; and
wall-clock times placed natively as zoneinfo places them."""

import datetime
import gzip
from zoneinfo import ZoneInfo

import numpy
import pyarrow
import pyarrow.csv
import pyarrow.parquet
import pytest

from tarnwick.bars import _convert, _stream
from tarnwick.bars._source import TableError
from tarnwick.bars._table import Reading
from tarnwick.bars._times import US, NonexistentTime, localize

NEW_YORK = ZoneInfo("America/New_York")
UTC = datetime.UTC
SPRING = datetime.datetime(2024, 3, 10, 5, 0, tzinfo=UTC)  # New York midnight, the day the clocks skip 2:00
AUTUMN = datetime.datetime(2024, 11, 3, 4, 0, tzinfo=UTC)  # ... and the day they show 1:00 twice


def wall_clock_rows(start, minutes, tickers=("ABC",), step=1):
    """CSV lines of one-minute bars in New York wall-clock time, tickers interleaved, prices of 2 decimals."""
    lines = []
    for minute in range(0, minutes, step):
        wall = (start + datetime.timedelta(minutes=minute)).astimezone(NEW_YORK).strftime("%Y-%m-%d %H:%M:%S")
        for number, ticker in enumerate(tickers):
            price = 100 + (minute * 7 + number * 13) % 50 / 4
            lines.append(f"{wall},{ticker},{price:.2f},{price + 0.5:.2f},{price - 0.25:.2f},{price + 0.25:.2f},"
                         f"{minute % 97 + 1}")
    return lines


def table_file(tmp_path, lines, form="csv"):
    path = tmp_path / f"in.{form}"
    text = "datetime,ticker,open,high,low,close,volume\n" + "".join(line + "\n" for line in lines)
    if form == "csv":
        path.write_text(text)
    elif form == "csv.gz":
        path.write_bytes(gzip.compress(text.encode()))
    else:
        csv = tmp_path / "in.csv"
        csv.write_text(text)
        pyarrow.parquet.write_table(pyarrow.csv.read_csv(csv), path)
    return path


@pytest.fixture
def small_pieces(monkeypatch):
    """Pieces of about 40 rows, so that a few hundred rows make several."""
    monkeypatch.setattr(_stream, "PIECE_BYTES", 40 * 52)
    monkeypatch.setattr(_stream, "PIECE_ROWS", 37)


def converted_both_ways(tmp_path, source, **options):
    """The bytes convert writes in pieces, and those of the table read whole (one file or a directory)."""
    streamed = _convert.convert(source, tmp_path / "streamed", tz=NEW_YORK, **options)
    assert all(isinstance(table.timestamps, numpy.memmap) for table in streamed)  # read in pieces, not whole
    whole = _convert._convert_whole(source, tmp_path / "whole", show_progress=False, tz=NEW_YORK, **options)
    assert [t.span_text for t in streamed] == [t.span_text for t in whole]
    assert [set(t.notes) for t in streamed] == [set(t.notes) for t in whole]
    return [t.target.read_bytes() for t in streamed], [t.target.read_bytes() for t in whole]


@pytest.mark.parametrize("start, minutes, tickers", [
    (SPRING, 400, ("ABC",)),             # pieces split the day the clocks skip an hour
    (AUTUMN, 400, ("ABC",)),             # ... and the repeated hour itself
    (AUTUMN, 200, ("ABC", "XYZ", "Q")),  # a ticker's rows split between pieces, across the repeated hour
], ids=["spring", "autumn", "autumn-tickers"])
@pytest.mark.parametrize("form", ["csv", "csv.gz", "parquet"])
def test_pieces_write_what_the_whole_table_writes(tmp_path, small_pieces, start, minutes, tickers, form):
    source = table_file(tmp_path, wall_clock_rows(start, minutes, tickers), form)
    streamed, whole = converted_both_ways(tmp_path, source)
    assert streamed == whole and len(streamed) == len(tickers)
    stamps = numpy.frombuffer(streamed[0][101:], numpy.dtype([("skip", "V33"), ("end", "<f8"), ("rest", "V60")]))
    assert (numpy.diff(stamps["end"]) == 60).all()  # the repeated hour placed by row order, across pieces


def test_calendar_months_found_on_the_first_piece_hold_for_the_rest(tmp_path, small_pieces):
    months = numpy.arange("2000-01", "2025-01", dtype="datetime64[M]")
    streamed, whole = converted_both_ways(tmp_path, table_file(tmp_path, [f"{month}-01,ABC,1.00,2.00,0.50,1.50,10"
                                                                          for month in months]))
    assert streamed == whole


def test_a_chosen_ticker_may_be_absent_from_pieces(tmp_path, small_pieces):
    lines = wall_clock_rows(AUTUMN, 200, ("ABC",)) + wall_clock_rows(AUTUMN, 200, ("XYZ",))[100:]
    source = table_file(tmp_path, lines)
    (table,) = _convert.convert(source, tmp_path / "xyz.bars", ticker="XYZ", tz=NEW_YORK)
    assert len(table) == 100 and table.ticker == "XYZ"


def test_rows_without_prices_in_several_pieces_are_summed_up(tmp_path, small_pieces):
    lines = wall_clock_rows(AUTUMN, 200)
    for row in (5, 100, 150):
        lines[row] = lines[row].split(",")[0] + ",ABC,,,,,"
    source = table_file(tmp_path, lines)
    streamed, whole = converted_both_ways(tmp_path, source, reading=Reading(skip_invalid=True))
    assert streamed == whole and len(streamed[0]) == 101 * 198
    assert "skipped 3 rows without prices, the first on line 7" in _convert.convert(
        source, tmp_path / "again.bars", tz=NEW_YORK, reading=Reading(skip_invalid=True))[0].notes


def bad_line(lines, row, what):
    """``lines`` with data row ``row`` made bad: prices out of order, or a time the clocks skip."""
    fields = lines[row].split(",")
    if what == "prices":
        fields[3] = "1.00"  # high below low
    else:
        fields[0] = "2024-03-10 02:30:00"
    return [*lines[:row], ",".join(fields), *lines[row + 1:]]


@pytest.mark.parametrize("row", [38, 39, 40, 41, 79, 80])  # about the ends of the first and second pieces
@pytest.mark.parametrize("what, message", [
    ("prices", "prices out of order"),
    ("time", r"the time 2024-03-10 02:30:00 does not exist in America/New_York"),
])
def test_the_earliest_bad_line_is_named_wherever_the_pieces_end(tmp_path, small_pieces, row, what, message):
    lines = bad_line(bad_line(wall_clock_rows(SPRING - datetime.timedelta(days=1), 200), row, what), 150, "prices")
    source = table_file(tmp_path, lines)
    with pytest.raises(TableError, match=rf"in.csv, line {row + 2}: {message}"):
        _convert.convert(source, tmp_path / "out.bars", tz=NEW_YORK)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.csv"]  # nothing written, no temporary left


@pytest.mark.parametrize("row", [39, 40, 41])
def test_rows_out_of_order_across_a_piece_end_name_both_lines(tmp_path, small_pieces, row):
    lines = wall_clock_rows(AUTUMN - datetime.timedelta(days=2), 120)
    lines[row] = lines[row - 1]
    with pytest.raises(TableError, match=rf"line {row + 2}: time .* repeats the previous row's \(line {row + 1}\)"):
        _convert.convert(table_file(tmp_path, lines), tmp_path / "out.bars", tz=NEW_YORK)


def test_the_span_is_inferred_from_the_first_piece(tmp_path, small_pieces):
    start = AUTUMN - datetime.timedelta(days=3)
    lines = wall_clock_rows(start, 60) + wall_clock_rows(start + datetime.timedelta(hours=2), 1000, step=5)
    (table,) = _convert.convert(table_file(tmp_path, lines), tmp_path / "out.bars", tz=NEW_YORK)
    assert table.span_text.startswith("0:01:00 (inferred)") and set(table.spans) == {60.0}


def test_a_table_newest_first_is_read_whole_and_turned_round(tmp_path, small_pieces):
    source = table_file(tmp_path, wall_clock_rows(AUTUMN, 200)[::-1])
    (table,) = _convert.convert(source, tmp_path / "out.bars", tz=NEW_YORK)
    assert table.reversed and _stream.NEWEST_FIRST_NOTE in table.notes
    assert (numpy.diff(table.timestamps) == 60).all()


def test_times_of_day_after_a_first_piece_of_dates_are_read_whole(tmp_path, small_pieces):
    dates = [f"2024-09-{day:02d},ABC,1.00,2.00,0.50,1.50,10" for day in range(1, 31)]
    source = table_file(tmp_path, dates + wall_clock_rows(AUTUMN - datetime.timedelta(days=20), 120))
    (table,) = _convert.convert(source, tmp_path / "out.bars", tz=NEW_YORK)
    assert table.kind == "intraday" and len(table) == 150 and not isinstance(table.timestamps, numpy.memmap)


def minutes_of_the_days_the_clocks_change(tz):
    """Every minute's instant of the days of 2024 whose offset changes in ``tz``, in order."""
    start = datetime.datetime(2024, 1, 1, tzinfo=UTC)
    hours = [start + datetime.timedelta(hours=hour) for hour in range(366 * 24)]
    days = sorted({hour.astimezone(tz).date() for hour, after in zip(hours, hours[1:])
                   if hour.astimezone(tz).utcoffset() != after.astimezone(tz).utcoffset()})
    around = [datetime.datetime.combine(day, datetime.time(), UTC) + datetime.timedelta(minutes=minute)
              for day in days for minute in range(-15 * 60, 39 * 60)]
    return days, [moment for moment in around if moment.astimezone(tz).date() in days]


@pytest.mark.parametrize("zone", ["America/New_York", "Europe/London", "Australia/Lord_Howe"])
def test_wall_clock_times_are_placed_as_zoneinfo_places_them(zone):
    """A repeated time is first the earlier instant, then the later; a skipped one is refused by its row."""
    tz = ZoneInfo(zone)
    days, chosen = minutes_of_the_days_the_clocks_change(tz)
    wall = numpy.array([int(moment.astimezone(tz).replace(tzinfo=UTC).timestamp()) * US for moment in chosen])
    expected = numpy.array([int(moment.timestamp()) * US for moment in chosen])
    assert len(days) == 2 and (localize(wall, tz, zone) == expected).all()
    skipped = next(wall[i] + 60 * US for i in range(len(wall) - 1) if 60 * US < wall[i + 1] - wall[i] < 3600 * 2 * US)
    with pytest.raises(NonexistentTime, match="does not exist in " + zone) as raised:
        localize(numpy.append(wall, skipped), tz, zone)
    assert raised.value.row == len(wall)


@pytest.mark.large
def test_pieces_of_the_real_size_write_what_the_whole_table_writes(tmp_path):
    start = AUTUMN - datetime.timedelta(days=200)
    source = table_file(tmp_path, wall_clock_rows(start, 600_000))  # several pieces of the real size
    streamed, whole = converted_both_ways(tmp_path, source)
    assert streamed == whole
