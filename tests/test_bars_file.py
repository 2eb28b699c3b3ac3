"""Bar files: atomic writes, mapped reads, the kind rule and the lifetime of the mapping."""

import datetime
import gc
import os
import sys

import pytest

from tarnwick import bars as barfiles
from tarnwick.bars import RECORD_SIZE, BarFileError, looks_daily, read, write
from tarnwick.base.candlestick import BarData, DailyBar

FIELDS = ("ticker", "timestamp", "bar_span_seconds", "high_price", "low_price", "open_price", "close_price",
          "volume", "notional", "trade_count")


def intraday(count=5, start=1_709_287_200.0):
    return [BarData("ABC", start + 60 * i, 10.5 + i, 9.8, 10.0, 10.2, volume=100.0 + i, notional=1020.0,
                    trade_count=i, bar_span=60) for i in range(count)]


def daily(count=5):
    first = datetime.date(2024, 1, 1)
    return [DailyBar("XYZ", first + datetime.timedelta(days=i), 2.0, 1.0, 1.5, 1.8, volume=10.0, bar_span=1 + i % 2)
            for i in range(count)]


def fields(bar):
    return tuple(getattr(bar, name) for name in FIELDS)


def mapped(path):
    with open("/proc/self/maps") as maps:
        return str(path) in maps.read()


@pytest.mark.parametrize("make, kind", [(intraday, BarData), (daily, DailyBar)])
def test_round_trip_gives_read_only_views_with_equal_fields(tmp_path, make, kind):
    path = tmp_path / "bars"
    source = make()
    assert write(path, source) == len(source)
    assert path.read_bytes() == b"".join(bytes(memoryview(bar)) for bar in source)
    with read(path) as got:
        assert got.bar_class is kind and len(got) == len(source)
        assert [fields(bar) for bar in got] == [fields(bar) for bar in source]
        assert fields(got[-1]) == fields(source[-1])
        assert [fields(bar) for bar in got[1:3]] == [fields(bar) for bar in source[1:3]]
        first = got[0]
        assert type(first) is kind and first._owner == 0
        with pytest.raises(TypeError, match="read-only"):
            first["close_price"] = 1.0
        del first


@pytest.mark.parametrize("timestamp, span, expected", [
    (20240105.0, 1.0, True), (20240229.0, 5.0, True), (99991231.0, 1.0, True),
    (20230229.0, 1.0, False), (20241301.0, 1.0, False), (20240100.0, 1.0, False), (18991231.0, 1.0, False),
    (20240105.5, 1.0, False), (20240105.0, 0.0, False), (20240105.0, 1.5, False), (float("nan"), 1.0, False),
    (1_709_287_200.0, 60.0, False), (20240105.0, float("inf"), False),
])
def test_the_daily_rule(timestamp, span, expected):
    assert looks_daily(timestamp, span) is expected


def test_kind_is_inferred_from_first_and_last_record_unless_given(tmp_path):
    path = tmp_path / "bars"
    # An intraday bar of 1970-08-23 whose epoch seconds read as a date number.
    write(path, [BarData("OLD", 20240105.0, 1.0, 1.0, 1.0, 1.0, bar_span=1)])
    assert read(path).bar_class is DailyBar
    assert read(path, "intraday").bar_class is BarData
    write(path, daily())
    assert read(path, "intraday").bar_class is BarData and read(path, DailyBar).bar_class is DailyBar
    write(path, [])
    assert read(path).bar_class is BarData and len(read(path)) == 0
    with pytest.raises(TypeError, match="kind"):
        read(path, "weekly")  # type: ignore[call-overload]


@pytest.mark.parametrize("content, message", [
    (b"\x28" * 100, "100 bytes is not a whole number of 101-byte bar records"),
    (bytes(memoryview(intraday(1)[0])) * 2 + b"\0", "2 records and 1 bytes more"),
    (bytes(memoryview(intraday(1)[0])) + b"\x1f" + bytes(100), "record 1 is not a bar record (kind code 31"),
])
def test_files_that_are_not_bar_files_are_refused(tmp_path, content, message):
    path = tmp_path / "bad"
    path.write_bytes(content)
    with pytest.raises(BarFileError, match=message.replace("(", r"\(")):
        read(path)


def test_indexing(tmp_path):
    write(tmp_path / "bars", intraday(3))
    with read(tmp_path / "bars") as got:
        assert got[-3].volume == 100.0 and got[2].volume == 102.0 and got[::-2][0].volume == 102.0
        for index in (3, -4):
            with pytest.raises(IndexError):
                got[index]
        with pytest.raises(TypeError, match="integers or slices"):
            got["0"]  # type: ignore[call-overload]


def test_close_unmaps_at_once_without_live_bars(tmp_path):
    path = tmp_path / "bars"
    write(path, intraday())
    with read(path) as got:
        values = [bar.volume for bar in got]
        assert mapped(path)
    assert got.closed and not mapped(path) and values[-1] == 104.0
    for use in (len, list, lambda f: f[0], memoryview):
        with pytest.raises(ValueError, match="closed"):
            use(got)
    got.close()  # again: nothing to do


def test_live_bars_keep_their_memory_mapped_after_close(tmp_path):
    path = tmp_path / "bars"
    write(path, intraday())
    got = read(path)
    kept, view = got[4], memoryview(got)
    got.close()
    assert mapped(path)
    assert kept.volume == 104.0 and view[RECORD_SIZE] == 40
    del kept
    gc.collect()
    assert mapped(path)  # the buffer still holds it
    view.release()
    gc.collect()
    assert not mapped(path)


def test_iteration_stops_when_the_file_is_closed(tmp_path):
    write(tmp_path / "bars", intraday())
    got = read(tmp_path / "bars")
    walk = iter(got)
    next(walk)
    got.close()
    with pytest.raises(ValueError, match="closed"):
        next(walk)


def failing(bars):
    yield from bars
    raise RuntimeError("source failed")


@pytest.mark.parametrize("source, error", [
    (failing(intraday(3)), RuntimeError),
    ([*intraday(2), "bar"], TypeError),
    ([*intraday(2), *daily(1)], BarFileError),
    ([*daily(1), *intraday(1)], BarFileError),
    ([BarData.__new__(BarData)], ValueError),
    ([BarData.from_bytes(b"\x1f" + bytes(memoryview(intraday(1)[0]))[1:])], BarFileError),
])
def test_a_failed_write_leaves_the_old_file_and_no_trace(tmp_path, source, error):
    path = tmp_path / "bars"
    write(path, intraday(1))
    before = path.read_bytes()
    with pytest.raises(error):
        write(path, source)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["bars"]


def test_written_files_get_the_usual_mode(tmp_path):
    path = tmp_path / "bars"
    previous = os.umask(0o027)
    try:
        write(path, intraday(1))
        assert path.stat().st_mode & 0o777 == 0o640
        path.chmod(0o604)
        write(path, intraday(2))
        assert path.stat().st_mode & 0o777 == 0o604
    finally:
        os.umask(previous)


def test_record_dtype_gives_columns_without_copying(tmp_path):
    numpy = pytest.importorskip("numpy")
    dtype = barfiles.RECORD_DTYPE
    assert dtype.itemsize == RECORD_SIZE
    assert {name: dtype.fields[name][1] for name in ("timestamp", "bar_span", "notional", "trade_count")} == {
        "timestamp": 33, "bar_span": 41, "notional": 89, "trade_count": 97}
    source = daily(4)
    write(tmp_path / "bars", source)
    with read(tmp_path / "bars") as got:
        columns = numpy.frombuffer(got, dtype)
        assert not columns.flags.writeable and not columns.flags.owndata
        assert columns["ticker"].tolist() == [b"XYZ"] * 4
        assert columns["timestamp"].tolist() == [bar.timestamp for bar in source]
        assert columns["bar_span"].tolist() == [1.0, 2.0, 1.0, 2.0]
        del columns


def test_record_dtype_without_numpy(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    monkeypatch.delitem(vars(barfiles), "RECORD_DTYPE", raising=False)
    with pytest.raises(ModuleNotFoundError, match=r"tarnwick\[numpy\]"):
        barfiles.RECORD_DTYPE
