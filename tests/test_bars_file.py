"""Bar files: atomic writes, mapped reads, the kind rule and the lifetime of the mapping."""

import datetime
import gc
import io
import math
import os
import struct
import subprocess
import sys
import threading
import time
import tracemalloc

import numpy
import pytest

from kit import layout
from tarnwick import bars as barfiles
from tarnwick.bars import RECORD_SIZE, BarFileError, looks_daily, read, resample, write
from tarnwick.bars._records import CODE_WINDOW, FILE_MAGIC, header_record
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


def records(bars):
    return b"".join(bytes(memoryview(bar)) for bar in bars)


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
    kind_name = "daily" if kind is DailyBar else "intraday"
    assert path.read_bytes() == header_record(kind_name, len(source)) + records(source)
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


def test_kind_is_stated_by_the_header_and_inferred_only_without_one(tmp_path):
    path = tmp_path / "bars"
    # An intraday bar of 1970-08-23 whose epoch seconds read as a date number.
    early = [BarData("OLD", 20240105.0, 1.0, 1.0, 1.0, 1.0, bar_span=1)]
    write(path, early)
    assert read(path).bar_class is BarData and read(path).kind == "intraday"
    with pytest.raises(BarFileError, match="holds intraday bars, which cannot be read as DailyBar"):
        read(path, "daily")
    path.write_bytes(records(early))  # without a header: the rule decides
    assert read(path).bar_class is DailyBar
    assert read(path, "intraday").bar_class is BarData
    centuries_ago = [DailyBar("OLD", datetime.date(1850, 3, 1), 1.0, 1.0, 1.0, 1.0)]
    write(path, centuries_ago)
    with read(path) as got:
        assert got.bar_class is DailyBar and got[0].market_date == datetime.date(1850, 3, 1)
    write(path, [])
    assert read(path).bar_class is BarData and len(read(path)) == 0
    with pytest.raises(TypeError, match="kind"):
        read(path, "weekly")  # type: ignore[call-overload]


@pytest.mark.parametrize("content, message", [
    (b"\x28" * 100, "100 bytes is not a whole number of 101-byte bar records"),
    (bytes(memoryview(intraday(1)[0])) * 2 + b"\0", "2 records and 1 bytes more"),
    (bytes(memoryview(intraday(1)[0])) + b"\x1f" + bytes(100), "record 1 is not a bar record (kind code 31"),
    (records(intraday(1)) + header_record("daily"), "record 1 is a file header"),
])
def test_files_that_are_not_bar_files_are_refused(tmp_path, content, message):
    path = tmp_path / "bad"
    path.write_bytes(content)
    with pytest.raises(BarFileError, match=message.replace("(", r"\(")):
        read(path)


@pytest.mark.parametrize("foreign, message", [
    (b"\x1f" + bytes(100), r"is not a bar record \(kind code 31"),
    (header_record("intraday"), r"is not a bar record \(kind code 0"),
])
def test_a_header_vouches_for_its_records_until_they_are_resampled(tmp_path, foreign, message):
    path = tmp_path / "bars"
    bars = records(intraday(3))
    path.write_bytes(header_record("intraday", 3) + bars[:RECORD_SIZE] + foreign + bars[2 * RECORD_SIZE:])
    with read(path) as opened:  # the header alone is read
        assert len(opened) == 3 and opened[2].timestamp == intraday(3)[2].timestamp
    with pytest.raises(barfiles.ResampleError, match=f"record 1 .*{message}"):
        resample(path, "1h", tz="UTC")


def header(version=1.0, code=1.0, count=0.0):
    return b"\0" + FILE_MAGIC + struct.pack("=dd32xd", version, code, count) + bytes(12)


def cut(size):
    """Ten intraday bars with their header, cut (or extended with zeros) to ``size`` bytes."""
    data = header(count=10.0) + records(intraday(10))
    return data[:size] + bytes(max(0, size - len(data)))


READERS = {
    "read": read,
    "resample": lambda path: resample(path, "1h", tz="UTC"),
    "to_arrow": lambda path: barfiles.to_arrow(path),
    "show": lambda path: barfiles.show(path, out=io.StringIO()),
}


@pytest.mark.parametrize("reader", READERS.values(), ids=READERS.keys())
@pytest.mark.parametrize("content, message", [
    (header(version=2.0), "bar file format version 2 is not known"),
    (header(version=1.5), "bar file format version 1.5 is not known"),
    (header(code=7.0), "the header states kind code 7, a kind of bars this version does not know"),
    (header(count=2.5), "the header states 2.5 bars, which is not a count of bars"),
    (cut(1010), "truncated: the header states 10 bars, but its 1010 bytes hold the header and 9 records$"),
    (cut(1000), "truncated: the header states 10 bars, but its 1000 bytes hold the header and 8 records and 91 bytes "
                "more$"),
    (cut(1212), "the header states 10 bars, but its 1212 bytes hold the header and 11 records: something was added"),
    (records(intraday(2))[:-10], "192 bytes is not a whole number of 101-byte bar records .1 records and 91 "
                                 "bytes more.: the file is truncated"),
])
def test_every_reader_refuses_a_bad_header_or_size_with_one_message(tmp_path, reader, content, message):
    path = tmp_path / "bad"
    path.write_bytes(content)
    with pytest.raises(BarFileError, match=f"^{path}: {message}"):
        reader(path)


@pytest.mark.parametrize("good", [1, CODE_WINDOW + 5])  # the first bad record in the first window, or a later one
def test_a_huge_sparse_file_costs_only_its_first_bad_records(tmp_path, good):
    path = tmp_path / "sparse"
    path.write_bytes(records(intraday(1)) * good)
    os.truncate(path, 10**10 // RECORD_SIZE * RECORD_SIZE)  # 10 GB of zeros that take no disk
    started = time.monotonic()
    tracemalloc.start()
    with pytest.raises(BarFileError, match=f"record {good} is not a bar record"):
        read(path)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 8 << 20 and time.monotonic() - started < 5


@pytest.mark.parametrize("timestamp", [math.inf, -math.inf, 1e300, -1e300, math.nan])
def test_show_names_the_record_whose_time_no_date_can_show(tmp_path, timestamp):
    bars = [bytes(memoryview(bar)) for bar in intraday(3)]
    bars[1] = layout.pack(b"ABC", timestamp, 60.0)
    write(tmp_path / "bars", b"".join(bars), kind="intraday")
    with pytest.raises(BarFileError, match=f"^{tmp_path / 'bars'}: record 1 ") as caught:
        barfiles.show(tmp_path / "bars", out=io.StringIO())
    assert "\n" not in str(caught.value)


def test_show_tells_times_in_the_zone_asked_for(tmp_path):
    write(tmp_path / "bars", intraday(3))
    lines = barfiles.summarise(read(tmp_path / "bars"), 1, tz="America/New_York")
    assert lines[3] == "  <BarData>([2024-03-01 05:00:00] ABC, open=10.0, high=10.5, low=9.8, close=10.2, volume=100.0)"
    assert lines[-2] == "times: from 2024-03-01 04:59:00-0500 to 2024-03-01 05:02:00-0500"
    assert barfiles.summarise(read(tmp_path / "bars"), 1)[-2] == ("times: from 2024-03-01 09:59:00+0000 to "
                                                                  "2024-03-01 10:02:00+0000")


def test_closing_while_another_thread_reads_gives_the_closed_error(tmp_path):
    write(tmp_path / "bars", intraday(50))
    failures = []

    def walk(bars):
        try:
            while True:
                for _ in bars:
                    pass
                bars[-1], bars[1:3], len(bars), memoryview(bars).release()
        except ValueError as error:
            if "is closed" not in str(error):
                failures.append(error)
        except BaseException as error:
            failures.append(error)

    switching = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads switch between almost any two steps
    try:
        for _ in range(300):
            bars = read(tmp_path / "bars")
            walker = threading.Thread(target=walk, args=(bars,))
            walker.start()
            bars.close()
            walker.join()
    finally:
        sys.setswitchinterval(switching)
    assert failures == []


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


@pytest.mark.skipif(not hasattr(BarData, "_from_pin"), reason="needs the extension's shared pin for view bars")
def test_view_bars_from_a_file_are_small(tmp_path):
    count = 20_000
    write(tmp_path / "bars", records(intraday(1)) * count, kind="intraday")
    with read(tmp_path / "bars") as got:
        tracemalloc.start()
        taken = got[:]
        size = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        assert size / count <= 250 and taken[-1].volume == 100.0
        del taken


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
    (records(intraday(2)), TypeError),  # records without a kind
    ([records(daily(2)), 3], TypeError),
])
def test_a_failed_write_leaves_the_old_file_and_no_trace(tmp_path, source, error):
    path = tmp_path / "bars"
    write(path, intraday(1))
    before = path.read_bytes()
    with pytest.raises(error):
        write(path, source)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["bars"]


def chunked(data):
    yield data[:RECORD_SIZE]
    yield memoryview(data)[RECORD_SIZE:]


@pytest.mark.parametrize("form", [
    bytes, bytearray, memoryview, chunked,
    lambda data: numpy.frombuffer(data, barfiles.RECORD_DTYPE),
    lambda data: numpy.frombuffer(data, "u1").reshape(-1, RECORD_SIZE),
    lambda data: [data[:RECORD_SIZE], DailyBar.from_bytes(data[RECORD_SIZE:2 * RECORD_SIZE]), data[2 * RECORD_SIZE:]],
])
def test_record_buffers_and_chunks_are_written_as_given(tmp_path, form):
    source = daily(3)
    data = records(source)
    assert write(tmp_path / "bars", form(data), kind="daily") == 3
    assert (tmp_path / "bars").read_bytes() == header_record("daily", 3) + data
    with read(tmp_path / "bars") as got:  # a file given whole brings its kind
        assert write(tmp_path / "copy", got) == 3
    assert (tmp_path / "copy").read_bytes() == (tmp_path / "bars").read_bytes()


def test_bar_sequences_bring_their_kind_to_write_and_refuse_another(tmp_path):
    write(tmp_path / "days", daily(1))
    with read(tmp_path / "days") as days:
        with pytest.raises(BarFileError, match="holds daily bars, which cannot be read as BarData"):
            write(tmp_path / "bars", days, kind="intraday")
        weeks = resample(days, "1w")
    assert write(tmp_path / "weeks", weeks) == len(weeks) and read(tmp_path / "weeks").kind == "daily"


def test_write_back_started_on_the_way_covers_the_file_in_order(tmp_path, monkeypatch):
    monkeypatch.setattr("tarnwick.bars._file.WRITE_BACK_BYTES", 3 * RECORD_SIZE)  # 8 MB in use
    started, fadvise = [], os.posix_fadvise
    monkeypatch.setattr(os, "posix_fadvise", lambda fd, *span: started.append(span[:2]) or fadvise(fd, *span))
    data = records(intraday(20))
    write(tmp_path / "bars", (data[i:i + 2 * RECORD_SIZE] for i in range(0, len(data), 2 * RECORD_SIZE)),
          kind="intraday")
    assert (tmp_path / "bars").read_bytes() == header_record("intraday", 20) + data
    ends = [0] + [offset + length for offset, length in started]
    assert [offset for offset, _ in started] == ends[:-1] and 18 * RECORD_SIZE < ends[-1] <= 21 * RECORD_SIZE
    assert all((end - RECORD_SIZE) % (2 * RECORD_SIZE) == 0 for end in ends[1:])  # where a chunk ended, after the header


@pytest.mark.parametrize("source, kind, message", [
    (records(daily(2))[:-1], "daily", "201 bytes is not a whole number of 101-byte records"),
    (records(daily(2))[:RECORD_SIZE] + b"\x1f" + records(daily(1))[1:], "daily",
     r"record 1 is not a bar record \(kind code 31"),
    ([records(daily(2)), header_record("daily")], "daily", "record 2 is not a bar record"),
    (daily(1), "intraday", "bar 0 is a DailyBar in a file of intraday bars"),
    (numpy.zeros((2, RECORD_SIZE), "u1")[:, :RECORD_SIZE:2], "daily", "not in a C-contiguous buffer"),
])
def test_records_that_do_not_make_the_file_are_refused(tmp_path, source, kind, message):
    with pytest.raises(BarFileError, match=message):
        write(tmp_path / "bars", source, kind=kind)
    assert os.listdir(tmp_path) == []


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


def test_exports_and_bars_keep_the_mapping_after_close(tmp_path):
    # In a child process: a fault here would end the process, not fail the test.
    write(tmp_path / "bars", intraday(3))
    script = f"""
import gc, numpy
from tarnwick import bars
for take, look in [(lambda f: numpy.frombuffer(f, dtype=bars.RECORD_DTYPE), lambda c: c["close_price"][2]),
                   (bars.BarFile.columns, lambda c: c["volume"][2]), (memoryview, lambda v: v[-101]),
                   (lambda f: f[2], lambda bar: bar.volume)]:
    with bars.read({str(tmp_path / "bars")!r}) as mapped:
        kept = take(mapped)
    gc.collect()
    print(look(kept), end=" ")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "10.2 102.0 40 102.0 "), done.stderr


ALL_FIELDS = tuple(layout.FIELDS)


@pytest.mark.parametrize("headed, count", [(True, 5), (False, 5), (True, 0), (True, 3000)])
def test_named_columns_equal_the_record_arrays_fields(tmp_path, headed, count):
    path = tmp_path / "bars.bars"
    if headed:
        write(path, intraday(count))
    else:
        path.write_bytes(records(intraday(count)))  # headerless: the records start at offset 0, not 101
    with read(path) as bars:
        whole = bars.columns()
        windows = (bars, bars.between(None, None)) if count else (bars,)
        for source in windows:
            taken = source.columns(*reversed(ALL_FIELDS), "volume")
            assert list(taken) == list(reversed(ALL_FIELDS))
            for name, column in taken.items():
                assert column.dtype == whole[name].dtype and column.flags.c_contiguous
                assert not column.flags.writeable and column.tobytes() == whole[name].tobytes()


def test_named_columns_outlive_the_file_and_name_an_unknown_field(tmp_path):
    write(tmp_path / "a.bars", intraday(3))
    with read(tmp_path / "a.bars") as bars:
        with pytest.raises(ValueError, match="no field 'close' in a bar record; its fields are dtype, ticker"):
            bars.columns("volume", "close")
        taken = bars.columns("close_price")
    assert not mapped(tmp_path / "a.bars")  # a copy: nothing pins the mapping
    assert taken["close_price"].tolist() == [10.2] * 3
