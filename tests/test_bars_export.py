"""Bars into and out of Arrow, pandas, Parquet, CSV and partitioned datasets."""

import datetime
import math
import os
import pathlib
import sys
from zoneinfo import ZoneInfo

import numpy
import pyarrow as pa
import pyarrow.csv
import pyarrow.dataset
import pyarrow.parquet
import pytest
from resample_kit import records as minute_records

from tarnwick import bars as barfiles
from tarnwick.bars import BarFileError, export, from_arrow, from_pandas, read, schema, to_arrow, to_pandas, write
from tarnwick.bars._export import read_export, zone_name
from tarnwick.bars._output import umask
from tarnwick.base.candlestick import BarData, DailyBar

NEW_YORK = ZoneInfo("America/New_York")


def intraday():
    # Several tickers (one not ASCII), sub-second times, a large trade count, unknown volumes (NaN).
    return [BarData(("ABC", "Zürich.SW", "x")[i % 3], 1_709_287_200.123 + 60 * i, 10.5 + i, 9.8, 10.0, 10.25,
                    volume=100.0 + i if i % 4 else math.nan, notional=1020.5 * i if i % 4 else math.nan,
                    trade_count=4_000_000_000 + i, bar_span=60 + i % 2)
            for i in range(7)]


def daily():
    # Dates before 1900 too: they must come back as days, not as 1970 times.
    first = datetime.date(1899, 12, 30)
    return [DailyBar("XYZ" if i % 2 else "ABC", first + datetime.timedelta(days=i), 2.0, 1.0, 1.5, 1.75,
                     volume=10.0, bar_span=1 + i % 3) for i in range(5)]


def records(source):
    return b"".join(bytes(memoryview(bar)) for bar in source)


@pytest.fixture(params=[intraday, daily])
def bar_file(request, tmp_path):
    path = tmp_path / "in.bars"
    write(path, request.param())
    return path


@pytest.mark.parametrize("zone", [datetime.UTC, NEW_YORK, datetime.timezone(datetime.timedelta(hours=-3))])
def test_tables_give_back_the_same_records(bar_file, zone):
    with read(bar_file) as mapped:
        table = to_arrow(mapped, tz=zone)
        assert table.schema == schema(mapped.kind, zone)
        assert table.schema.metadata[b"tarnwick.bars.kind"] == mapped.kind.encode()
        got, kind = from_arrow(table)
        assert kind == mapped.kind and got.tobytes() == bytes(memoryview(mapped))
        assert table["ticker"].to_pylist() == [bar.ticker for bar in mapped]
        if kind == "intraday":
            start = table["start"].cast(pa.timestamp("s", zone_name(zone)), safe=False).to_pylist()
            assert start == [bar.bar_start_time.replace(microsecond=0) for bar in mapped]
        else:
            assert table["end_date"].to_pylist() == [bar.market_date for bar in mapped]
            assert table["start_date"].to_pylist() == [bar.bar_start_time for bar in mapped]


def test_data_frames_are_indexed_by_zoned_end_times_and_give_back_the_same_records(bar_file):
    with read(bar_file) as mapped:
        frame = to_pandas(mapped, tz="America/New_York")
        if mapped.kind == "intraday":
            assert str(frame.index.tz) == "America/New_York" and frame.index.name == "end"
        else:
            assert frame.index.name == "end_date" and frame.index[0].date() == mapped[0].market_date
        assert frame["close"].tolist() == [bar.close_price for bar in mapped]
        got, kind = from_pandas(frame)
        assert kind == mapped.kind and got.tobytes() == bytes(memoryview(mapped))


def test_tables_take_their_zone_from_tz(utc_profile, monkeypatch):
    utc_profile.time_zone = NEW_YORK
    monkeypatch.setenv("TZ", "Asia/Tokyo")
    for tz, name in [(None, "America/New_York"), ("local", "Asia/Tokyo"), ("utc", "UTC"),
                     ("Europe/Paris", "Europe/Paris"), (datetime.timezone(datetime.timedelta(hours=-3)), "-03:00")]:
        assert to_arrow(intraday(), tz=tz).schema == schema("intraday", tz)
        assert schema("intraday", tz).field("end").type.tz == name
    assert to_arrow(intraday(), zone="Europe/Paris").schema == schema("intraday", zone="Europe/Paris")  # the old name
    with pytest.raises(TypeError, match="not both"):
        to_arrow(intraday(), tz="UTC", zone="UTC")


@pytest.mark.parametrize("text, zone", [("local", None), ("LOCAL", None), ("utc", datetime.UTC),
                                        ("America/New_York", NEW_YORK), ("Nowhere/City", ValueError),
                                        ("../zoneinfo/UTC", ValueError), ("", ValueError), (3, TypeError)])
def test_zone_names_are_read_in_one_place(text, zone):
    from tarnwick.bars._zones import parse_zone, resolve_zone

    if isinstance(zone, type):
        with pytest.raises(zone, match="unknown time zone|tz is a datetime.tzinfo"):
            resolve_zone(text)
    else:
        assert resolve_zone(text) == zone == parse_zone(text)


def test_data_frames_without_pandas(bar_file, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'tarnwick\[pandas\]'"):
        to_pandas(bar_file)


@pytest.mark.parametrize("name, load", [
    ("out.parquet", lambda path, kind: pyarrow.parquet.read_table(path)),
    ("out.csv", lambda path, kind: pyarrow.csv.read_csv(
        path, convert_options=pyarrow.csv.ConvertOptions(column_types=schema(kind, NEW_YORK)))),
])
def test_exported_files_read_back_as_the_same_records(bar_file, tmp_path, name, load):
    with read(bar_file) as mapped:
        assert export(mapped, tmp_path / name, tz=NEW_YORK) == len(mapped)
        for got, kind in (from_arrow(load(tmp_path / name, mapped.kind)), read_export(tmp_path / name)):
            assert kind == mapped.kind and got.tobytes() == bytes(memoryview(mapped))


def test_exports_are_told_from_other_tables(bar_file, tmp_path):
    for name, format in (("x.parquet", "parquet"), ("x.csv", "csv"), ("x", "dataset")):
        export(bar_file, tmp_path / name)
        assert barfiles.exported(tmp_path / name) == format
    pyarrow.parquet.write_table(to_arrow(bar_file).replace_schema_metadata(None), tmp_path / "y.parquet")
    (tmp_path / "y.csv").write_text("Date,Open,High,Low,Close\n")
    (tmp_path / "y").mkdir()
    assert [barfiles.exported(tmp_path / name) for name in ("y.parquet", "y.csv", "y")] == [None] * 3


def test_a_dataset_is_partitioned_by_ticker_and_reads_back_value_for_value(bar_file, tmp_path):
    target = tmp_path / "set"
    export(bar_file, target, tz=NEW_YORK)
    wanted = to_arrow(bar_file, tz=NEW_YORK)
    parts = [path.name for path in target.iterdir() if not path.name.startswith(".")]  # not the output marker
    assert len(parts) == len(set(wanted["ticker"].to_pylist())) and all(p.startswith("ticker=") for p in parts)
    table = pyarrow.dataset.dataset(target, format="parquet", partitioning="hive").to_table()
    order = [("ticker", "ascending"), (wanted.column_names[2], "ascending")]
    got = table.select(wanted.column_names).cast(wanted.schema).sort_by(order)
    wanted = wanted.sort_by(order)
    numbers = ["open", "high", "low", "close", "volume", "notional"]
    assert got.drop_columns(numbers).equals(wanted.drop_columns(numbers))
    assert from_arrow(got)[0].tobytes() == from_arrow(wanted)[0].tobytes()  # the numbers, NaN too
    by_ticker = sorted(read(bar_file), key=lambda bar: bar.ticker)  # a stable sort, as read_export's
    assert read_export(target)[0].tobytes() == records(by_ticker)
    assert target.stat().st_mode & 0o777 == 0o777 & ~umask()


# Tickers that look like numbers, or hold what a directory name cannot, or what the hive layout means by null.
ODD_TICKERS = ["0005", "0700", "000001", "007", "7", "a/b", "x=y", "50%", "Zürich", "", "..", "a b+c",
               "__HIVE_DEFAULT_PARTITION__"]


def test_a_dataset_keeps_each_tickers_bars_in_one_part_file_under_its_own_name(tmp_path):
    bars = [BarData(ODD_TICKERS[i % len(ODD_TICKERS)], 1_709_287_200.0 + 60 * i, 2.0, 1.0, 1.5, 1.8, bar_span=60)
            for i in range(4 * len(ODD_TICKERS))]  # interleaved
    write(tmp_path / "in.bars", bars)
    export(tmp_path / "in.bars", tmp_path / "set")
    files = [path.relative_to(tmp_path / "set").parts for path in (tmp_path / "set").rglob("*")
             if path.is_file() and not path.name.startswith(".")]  # not the output marker
    assert sorted(name for _, name in files) == ["part-0.parquet"] * len(ODD_TICKERS)  # one a ticker, no deeper
    assert read_export(tmp_path / "set")[0].tobytes() == records(sorted(bars, key=lambda bar: bar.ticker))
    # pyarrow's own hive reader decodes the names too; it takes its null marker for null.
    strings = pyarrow.dataset.partitioning(pa.schema([("ticker", pa.string())]), flavor="hive")
    table = pyarrow.dataset.dataset(tmp_path / "set", partitioning=strings).to_table()
    assert set(table["ticker"].to_pylist()) == {*ODD_TICKERS[:-1], None}


@pytest.mark.large
@pytest.mark.parametrize("tickers, bars_each", [(1, 3_000_000), (1_500, 20)])
def test_a_dataset_at_real_sizes_keeps_every_tickers_bars_in_order(tmp_path, tickers, bars_each):
    ends = 1_700_000_000.0 + 60.0 * numpy.arange(tickers * bars_each)
    source = minute_records(ends)
    which = numpy.arange(len(ends)) % tickers  # interleaved
    source["ticker"] = numpy.array([b"T%04d" % i for i in range(tickers)])[which]
    write(tmp_path / "in.bars", source, kind="intraday")
    assert export(tmp_path / "in.bars", tmp_path / "set") == len(source)
    parts = sorted((tmp_path / "set").glob("*/*"))
    assert len(parts) == tickers
    ends = (pyarrow.parquet.read_table(part, columns=["end"])["end"].cast(pa.int64()).to_numpy() for part in parts)
    assert all((numpy.diff(part_ends) > 0).all() for part_ends in ends)
    by_ticker = source[numpy.argsort(which, kind="stable")]
    assert read_export(tmp_path / "set")[0].tobytes() == by_ticker.tobytes()


def test_a_dataset_is_replaced_whole_or_not_at_all(bar_file, tmp_path, monkeypatch):
    target = tmp_path / "set"
    export(bar_file, target)
    before = sorted(path.relative_to(tmp_path) for path in target.rglob("*"))
    replace, calls = os.replace, []

    def failing_into_place(source, destination):  # once, as the new directory moves in
        calls.append(source)
        if len(calls) == 2:
            raise KeyboardInterrupt
        replace(source, destination)

    monkeypatch.setattr(os, "replace", failing_into_place)
    with pytest.raises(KeyboardInterrupt):
        export(bar_file, target)
    monkeypatch.undo()
    assert sorted(path.relative_to(tmp_path) for path in tmp_path.rglob("*")) == sorted(
        [pathlib.Path("in.bars"), pathlib.Path("set"), *before])
    write(bar_file, daily())
    export(bar_file, target)
    assert sorted(path.name for path in target.iterdir()) == [".tarnwick-wrote", "ticker=ABC", "ticker=XYZ"]


@pytest.mark.parametrize("field, value, message", [
    ("timestamp", 20230229.0, "record 1 of daily bars holds no market date"),
    ("bar_span", 1.5, "record 1 of daily bars has a span that is not a whole number of days"),
    ("bar_span", math.nan, "record 1 of daily bars has a span that is not a whole number of days"),
    ("ticker", b"\xff", "record 1 has a ticker that is not UTF-8"),
])
def test_records_that_make_no_table_are_refused(field, value, message):
    data = numpy.frombuffer(records(daily()), barfiles.RECORD_DTYPE).copy()
    data[field][1] = value
    with pytest.raises(BarFileError, match=message):
        barfiles.records_to_arrow(data, "daily")


@pytest.mark.parametrize("unit", ["s", "ms", "us"])
def test_times_in_any_unit_and_zone_are_read(unit):
    source = [BarData("ABC", 1_709_287_200.0 + 60 * i, 2.0, 1.0, 1.5, 1.8, bar_span=60) for i in range(3)]
    table = to_arrow(source, tz=datetime.UTC)
    table = table.set_column(2, "end", table["end"].cast(pa.timestamp(unit, "Asia/Tokyo")))
    assert from_arrow(table)[0].tobytes() == records(source)


@pytest.mark.parametrize("change, message", [
    (lambda t: t.drop_columns(["close"]), "the table has no column close"),
    (lambda t: t.set_column(0, "ticker", pa.array([None] + ["A"] * (len(t) - 1), pa.string())),
     "column ticker has an empty value in row 0"),
    (lambda t: t.set_column(0, "ticker", pa.array(["A" * 33] * len(t))), "is not one that a record can hold"),
    (lambda t: t.set_column(2, "end", t["end"].cast(pa.timestamp("ns"))), "times without a time zone"),
    (lambda t: t.set_column(2, "end", pa.array(["x"] * len(t))), "times without a time zone"),
    (lambda t: t.set_column(3, "span_seconds", pa.array(["soon"] * len(t))), "column span_seconds cannot be read"),
    (lambda t: pa.table({"x": [1]}).replace_schema_metadata({b"tarnwick.bars.kind": b"weekly"}),
     "neither an end column"),
])
def test_tables_that_do_not_hold_bars_are_refused(change, message):
    with pytest.raises(BarFileError, match=message):
        from_arrow(change(to_arrow(intraday(), tz="UTC")))


@pytest.mark.parametrize("make", [intraday, daily])
@pytest.mark.parametrize("name", ["out.parquet", "out.csv"])
def test_export_then_convert_gives_the_same_file(tmp_path, make, name):
    convert_module = pytest.importorskip(
        "tarnwick.bars._convert", reason="convert reads Parquet once the table readers are merged")
    source = tmp_path / "in.bars"
    write(source, [bar for bar in make() if bar.ticker == "ABC"])  # one ticker: one file back
    export(source, tmp_path / name)
    convert_module.convert(tmp_path / name, tmp_path / "back.bars")
    assert (tmp_path / "back.bars").read_bytes() == source.read_bytes()


def test_record_dtype_is_the_layout(bar_file):
    dtype = barfiles.RECORD_DTYPE
    assert dtype.itemsize == barfiles.RECORD_SIZE
    assert {name: dtype.fields[name][1] for name in ("timestamp", "bar_span", "notional", "trade_count")} == {
        "timestamp": 33, "bar_span": 41, "notional": 89, "trade_count": 97}
    with read(bar_file) as mapped:
        columns = mapped.columns()
        assert not columns.flags.writeable and not columns.flags.owndata
        assert columns["timestamp"].tolist() == [bar.timestamp for bar in mapped]
        assert columns["ticker"].tolist() == [bar.ticker.encode() for bar in mapped]
        del columns
