"""BarSequence.between: windows of bar files against a plain filter over
every bar, for each form of a window's ends, and files it must refuse."""

import datetime

import numpy
import pytest
from resample_kit import NEW_YORK, local, records

from tarnwick.bars import BarFileError, read, resample, write
from tarnwick.bars._records import date_number

UTC = datetime.UTC
T0 = local(2024, 3, 1, 9, 30)  # New York; 14:30 UTC


def minutes(ticker="ABC", count=400):
    """Bars ending every two minutes, of one and two minutes in turn (starts
    and ends both in order, not evenly spaced), over about 13 hours."""
    return records(T0 + 120.0 * numpy.arange(1, count + 1), numpy.tile([60.0, 120.0], count // 2), ticker)


def days(ticker="ABC"):
    """Daily bars of March 2024, then weekly bars (five days each) of April."""
    march = [date_number(datetime.date(2024, 3, day)) for day in range(1, 32)]
    april = [date_number(datetime.date(2024, 4, day)) for day in (5, 10, 15, 20, 25, 30)]
    return records(march + april, [1.0] * 31 + [5.0] * 6, ticker)


@pytest.fixture
def intraday(tmp_path):
    write(tmp_path / "m.bars", minutes(), kind="intraday")
    with read(tmp_path / "m.bars") as bars:
        yield bars


def filtered(bars, first, last, ticker=None):
    """The plain filter: the indices of the bars whose span lies in [first, last]."""
    return [index for index, bar in enumerate(bars) if (ticker is None or bar.ticker == ticker)
            and first <= bar.start_timestamp and bar.timestamp <= last]


def indices(window, bars):
    if not len(window):
        return []
    first = (numpy.frombuffer(window, "u1").ctypes.data - numpy.frombuffer(bars, "u1").ctypes.data) // 101
    return list(range(first, first + len(window)))


START_10 = float(minutes()["timestamp"][10] - minutes()["bar_span"][10])  # bar 10 starts
END_20 = float(minutes()["timestamp"][20])  # bar 20 ends
NY_DAY = (local(2024, 3, 1), local(2024, 3, 2))
UTC_DAY = (local(2024, 3, 1, zone=UTC), local(2024, 3, 2, zone=UTC))  # bars until 19:00 in New York


@pytest.mark.parametrize("start, end, tz, first, last", [
    (START_10, END_20, None, START_10, END_20),                    # both edges in the window
    (START_10 + 1, END_20 - 1, None, START_10 + 1, END_20 - 1),    # both edge bars out of it
    (None, END_20, None, -numpy.inf, END_20),                      # open ends
    (START_10, None, None, START_10, numpy.inf),
    (None, None, None, -numpy.inf, numpy.inf),
    (datetime.datetime.fromtimestamp(START_10, UTC), datetime.datetime.fromtimestamp(END_20, NEW_YORK), None,
     START_10, END_20),                                             # aware date-times, any zone
    (datetime.datetime(2024, 3, 1, 10), datetime.datetime(2024, 3, 1, 12), NEW_YORK,
     local(2024, 3, 1, 10), local(2024, 3, 1, 12)),               # naive ones: in tz
    (datetime.datetime(2024, 3, 1, 15), datetime.datetime(2024, 3, 1, 17), None,
     local(2024, 3, 1, 10), local(2024, 3, 1, 12)),               # ... PROFILE's zone, UTC
    ("2024-03-01T10:00", "2024-03-01 12:00-05:00", "America/New_York",
     local(2024, 3, 1, 10), local(2024, 3, 1, 12)),               # ISO text, a zone by name
    (datetime.date(2024, 3, 1), datetime.date(2024, 3, 1), NEW_YORK, *NY_DAY),  # a date: its whole day
    ("2024-03-01", "2024-03-01", "UTC", *UTC_DAY),
    (START_10 + 30, START_10 + 90, None, START_10 + 30, START_10 + 90),  # inside one bar: none
    (END_20, START_10, None, END_20, START_10),                    # the wrong way round: none
    (T0 + 10**6, None, None, T0 + 10**6, numpy.inf),               # after the last bar: none
])
def test_intraday_window_is_the_plain_filter(intraday, start, end, tz, first, last):
    window = intraday.between(start, end, tz=tz)
    assert indices(window, intraday) == filtered(intraday, first, last)
    assert window.bar_class is intraday.bar_class


@pytest.mark.parametrize("start, end, tz, first, last", [
    (datetime.date(2024, 3, 5), datetime.date(2024, 3, 9), None, (3, 5), (3, 9)),
    (None, datetime.date(2024, 4, 10), None, None, (4, 10)),
    (datetime.date(2024, 4, 6), None, None, (4, 6), None),         # the whole week ending 4-10
    (datetime.date(2024, 4, 7), None, None, (4, 7), None),         # not that week: its first day is out
    (datetime.datetime(2024, 3, 5, 23, tzinfo=UTC), "2024-03-06", NEW_YORK, (3, 5), (3, 6)),  # its New York date
    (local(2024, 3, 9, 23), local(2024, 3, 9, 23), "America/New_York", (3, 9), (3, 9)),        # epoch seconds
    ("2024-03-20", "2024-03-19", None, (3, 20), (3, 19)),
])
def test_daily_window_is_the_plain_filter_over_days(tmp_path, start, end, tz, first, last):
    write(tmp_path / "d.bars", days(), kind="daily")
    day = lambda month_day, default: default if month_day is None else datetime.date(2024, *month_day)  # noqa: E731
    low, high = day(first, datetime.date.min), day(last, datetime.date.max)
    with read(tmp_path / "d.bars") as bars:
        wanted = [index for index, bar in enumerate(bars)
                  if low <= bar.bar_start_time + datetime.timedelta(days=1) and bar.bar_end_time <= high]
        assert indices(bars.between(start, end, tz=tz), bars) == wanted


@pytest.mark.parametrize("start, end", [(START_10, END_20), (None, END_20), (T0 + 10**6, None)])
def test_several_tickers(tmp_path, start, end):
    write(tmp_path / "two.bars", numpy.concatenate([minutes("ABC"), minutes("XY")]), kind="intraday")
    with read(tmp_path / "two.bars") as bars:
        first, last = start or -numpy.inf, end or numpy.inf
        for ticker in ("ABC", "XY"):
            window = bars.between(start, end, ticker=ticker)
            assert indices(window, bars) == filtered(bars, first, last, ticker)
        if filtered(bars, first, last, "ABC") and filtered(bars, first, last, "XY"):
            with pytest.raises(ValueError, match=r"tickers \(ABC, XY\) in the window are not one run.*ticker="):
                bars.between(start, end)
        else:
            assert indices(bars.between(start, end), bars) == filtered(bars, first, last)
        with pytest.raises(ValueError, match=r"holds no bars of 'Z' \(its tickers: 'ABC', 'XY'\)"):
            bars.between(start, end, ticker="Z")
        assert len(bars.between(None, None)) == 800  # the tickers' windows meet


def test_a_window_is_the_file_s_memory_and_outlives_it(intraday, tmp_path):
    window = intraday.between(START_10, END_20)
    assert numpy.shares_memory(window.columns(), intraday.columns())
    assert write(tmp_path / "w.bars", window) == 11 and read(tmp_path / "w.bars").kind == "intraday"
    assert bytes(window) == bytes(memoryview(intraday)[10 * 101 : 21 * 101])
    assert [bar.timestamp for bar in window][-1] == window[-1].timestamp == END_20
    assert "m.bars from" in repr(window) and ": 11 BarData>" in repr(window)
    intraday.close()
    assert window[0].start_timestamp == START_10


def test_resampled_bars_have_windows_too(intraday):
    hours = resample(intraday, "1h", tz=NEW_YORK)
    window = hours.between("2024-03-01T10:00", "2024-03-01T13:00", tz=NEW_YORK)
    assert [bar.timestamp for bar in window] == [local(2024, 3, 1, hour) for hour in (11, 12, 13)]


@pytest.mark.parametrize("layout, message", [
    (lambda: minutes()[::-1], "out of time order"),
    (lambda: numpy.concatenate([minutes("ABC", 100), minutes("XY", 100), minutes("ABC", 100)]),
     "bars of 'ABC' are not together"),
])
def test_records_out_of_the_layout_are_refused(tmp_path, layout, message):
    write(tmp_path / "bad.bars", numpy.ascontiguousarray(layout()), kind="intraday")
    with read(tmp_path / "bad.bars") as bars, pytest.raises(BarFileError, match=f"bad.bars: .*{message}"):
        bars.between(START_10, END_20)


@pytest.mark.parametrize("bound, error", [
    ("March", "not an ISO date or date-time: 'March'"), (float("nan"), "not nan"), (True, "not True")])
def test_ends_that_are_no_time_are_refused(intraday, bound, error):
    with pytest.raises((ValueError, TypeError), match=error):
        intraday.between(bound, None)


# ---- the tool's --from and --to ------------------------------------------------------------------

WINDOW = ("--from", "2024-03-01T10:00", "--to", "2024-03-01 12:00", "--tz", "America/New_York")


def tool(*argv):
    import io

    from tarnwick.bars import main

    out = io.StringIO()
    return main(list(map(str, argv)), out), out.getvalue()


@pytest.mark.parametrize("tickers", [("ABC",), ("ABC", "XY")])
def test_the_tool_reads_the_window_of_each_ticker(tmp_path, tickers, utc_profile):
    from tarnwick.bars import read_export

    source = tmp_path / "m.bars"
    write(source, numpy.concatenate([minutes(ticker) for ticker in tickers]), kind="intraday")
    with read(source) as bars:
        wanted = [bars.between(*WINDOW[1:4:2], ticker=ticker, tz=NEW_YORK) for ticker in tickers]
        expected = b"".join(bytes(window) for window in wanted)
        hourly = b"".join(bytes(resample(window, "1h", tz=NEW_YORK)) for window in wanted)
    status, text = tool("show", source, *WINDOW)
    assert status == 0, text
    assert text.startswith(f"{source} from 2024-03-01 10:00:00 to 2024-03-01 12:00:00: {len(expected) // 101} ")
    assert tool("export", source, tmp_path / "w.parquet", *WINDOW)[0] == 0
    records, _ = read_export(tmp_path / "w.parquet")
    assert records.tobytes() == expected
    assert tool("resample", source, tmp_path / "h.bars", "--span", "1h", *WINDOW)[0] == 0
    assert bytes(read(tmp_path / "h.bars")) == hourly


def test_the_tool_refuses_a_time_it_cannot_read(tmp_path, capsys, utc_profile):
    write(tmp_path / "m.bars", minutes(), kind="intraday")
    with pytest.raises(SystemExit):
        tool("show", tmp_path / "m.bars", "--from", "March")
    assert "--from: not an ISO date or date-time: 'March'" in capsys.readouterr().err
