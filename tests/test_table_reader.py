"""The table reader at its edges: typed Parquet/Arrow columns (times, dates and
durations at their extremes, nested columns), files that are no table, wide
headers, headerless shapes that fit two layouts, compressed tables, the span
grammar and the zone of times without an offset."""

import datetime
import decimal
import gzip
import subprocess
import sys

import pyarrow
import pyarrow.ipc
import pyarrow.parquet
import pytest

from tarnwick.bars import CsvBars, CsvError, TableBars, TableError, convert, load_csv
from tarnwick.bars._sniff import SAMPLE_BYTES
from tarnwick.bars import parse_span
from tarnwick.bars._spans import Span

INT64_MIN = -2**63
PRICES = {"Open": [1.0, 1.0], "High": [2.0, 2.0], "Low": [0.5, 0.5], "Close": [1.5, 1.5]}


def parquet(tmp_path, columns, name="ABC.parquet"):
    path = tmp_path / name
    pyarrow.parquet.write_table(pyarrow.table({**PRICES, **columns}), path)
    return path


def arrow(tmp_path, columns, name="ABC.arrow"):  # (Parquet has no seconds: it would store milliseconds)
    path, table = tmp_path / name, pyarrow.table({**PRICES, **columns})
    with pyarrow.ipc.new_file(path, table.schema) as sink:
        sink.write_table(table)
    return path


@pytest.mark.parametrize("time, message", [
    (pyarrow.array([INT64_MIN, 1_709_285_400_000], pyarrow.timestamp("ms")), "row 1: a time outside the years"),
    (pyarrow.array([1_709_285_400, INT64_MIN], pyarrow.timestamp("s")), "row 2: a time outside"),
    (pyarrow.array([1_709_285_400, 2**62], pyarrow.timestamp("s", "UTC")), "row 2: a time outside"),
    (pyarrow.array([INT64_MIN, 0], pyarrow.timestamp("ns")), "row 1: a time outside"),  # no-value marker
    (pyarrow.array([19_000, 213_503_982], pyarrow.date32()), "row 2: a time outside"),
    (pyarrow.array([-2**31, 19_001], pyarrow.date32()), "row 1: a time outside"),
    (pyarrow.array([INT64_MIN, 0], pyarrow.date64()), "row 1: a time outside"),
    (pyarrow.array([19_000, None], pyarrow.date32()), "row 2: not a date or date-time: ''"),
])
def test_typed_times_beyond_the_calendar_are_refused(tmp_path, utc_profile, time, message):
    with pytest.raises(TableError, match=message):
        load_csv(arrow(tmp_path, {"Date": time}))


def test_typed_times_at_the_calendar_edges_are_read(tmp_path, utc_profile):
    dates = pyarrow.array([datetime.date(1, 1, 2), datetime.date(9999, 12, 30)], pyarrow.date32())
    assert list(load_csv(parquet(tmp_path, {"Date": dates})).timestamps) == [10102.0, 99991230.0]


@pytest.mark.parametrize("span, message", [
    ([60, 0], "row 2: Span is not a positive length"),
    ([None, 60], "row 1: Span is not a positive length"),
    ([-86_400, 60], "row 1: Span is not a positive length"),
    ([2**62, 60], "row 1: Span is not a positive length"),
])
def test_duration_spans_are_checked(tmp_path, utc_profile, span, message):
    times = pyarrow.array([1_709_285_400, 1_709_285_460], pyarrow.timestamp("s", "UTC"))
    with pytest.raises(TableError, match=message):
        load_csv(arrow(tmp_path, {"Datetime": times, "Span": pyarrow.array(span, pyarrow.duration("s"))}))


@pytest.mark.parametrize("close, held", [
    (pyarrow.array([[1.5], [1.5]]), "list<.*: double>"),
    (pyarrow.array([{"x": 1.5}, {"x": 1.5}]), "struct<x: double>"),
    (pyarrow.array([True, False]), "bool"),
])
def test_columns_of_other_types_are_refused_in_one_line(tmp_path, close, held):
    path = parquet(tmp_path, {"Date": ["2024-01-04", "2024-01-05"], "Close": close})
    with pytest.raises(TableError, match=f"ABC.parquet: column 'Close' holds {held}, not numbers$"):
        load_csv(path)


def test_typed_columns_that_are_no_floats(tmp_path, utc_profile):
    # Integers past 2**53 become their nearest double; dictionaries and decimals their values.
    got = load_csv(parquet(tmp_path, {"Date": pyarrow.array(["2024-01-04", "2024-01-05"]).dictionary_encode(),
                                      "Volume": pyarrow.array([2**63 - 1, 7]),
                                      "Open": pyarrow.array([decimal.Decimal("1.00")] * 2)}))
    assert (list(got.volume), list(got.open), list(got.timestamps)) == ([2.0**63, 7.0], [1.0, 1.0],
                                                                         [20240104.0, 20240105.0])


@pytest.mark.parametrize("content", [
    b"\x7fELF\x02\x01\x01\x00" + bytes(200) + b"Date,Open,High,Low,Close\n",
    b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x01\x00",
    b"\xff\xd8\xff\xe0\x01\x10JFIF\x01\x02\x03" + bytes(range(1, 256)) * 4,  # no NUL byte, but no text
    gzip.compress(bytes(range(256)) * 4),
])
def test_binary_files_are_no_tables(tmp_path, content):
    path = tmp_path / "picture.csv"
    path.write_bytes(content)
    with pytest.raises(TableError, match=r"picture.csv is not a table: it holds binary data") as caught:
        load_csv(path)
    assert "--delimiter" not in str(caught.value)


def wide_table(columns):
    header = ",".join([f"extra_column_{i}" for i in range(columns)] + ["Date", "Open", "High", "Low", "Close"])
    rows = "".join(",".join(["7"] * columns + [f"2024-01-0{day}", "1", "2", "0.5", "1.5"]) + "\n"
                   for day in range(2, 9))
    return header + "\n" + rows


@pytest.mark.parametrize("gzipped", [False, True])
def test_a_header_past_the_sniffed_head(tmp_path, utc_profile, gzipped):
    text = wide_table(6000)
    assert text.index("\n") > SAMPLE_BYTES  # the header alone passes the first read
    path = tmp_path / ("ABC.csv.gz" if gzipped else "ABC.csv")
    path.write_bytes(gzip.compress(text.encode()) if gzipped else text.encode())
    got = load_csv(path)
    assert (got.kind, len(got), got.timestamps[0], got.close[-1]) == ("daily", 7, 20240102.0, 1.5)


EPOCH_ROWS = "1709285400,74.1,74.9,73.8,74.81283976,547.0,12\n1709285460,74.8,75.0,74.5,74.9,10.5,3\n"


@pytest.mark.parametrize("header", [None, False])
def test_a_headerless_shape_of_two_layouts_asks_for_columns(tmp_path, utc_profile, header):
    from tarnwick.bars import Reading

    path = tmp_path / "ABC.csv"
    path.write_text(EPOCH_ROWS)
    with pytest.raises(TableError, match=r"line 1: .*fit more than one layout.*--column"):
        load_csv(path, reading=Reading(header=header))
    got = load_csv(path, reading=Reading(header=header, columns={"volume": "6", "trades": "7"}))
    assert (list(got.volume), list(got.trades)) == ([547.0, 10.5], [12, 3])


@pytest.mark.parametrize("text, seconds", [
    ("60", 60.0), ("90.5", 90.5), ("5m", 300.0), ("1H", 3600.0), ("5min", 300.0), ("1.5h", 5400.0), (" 1d ", 86400.0),
    ("2w", 1209600.0), ("h", 3600.0), (90, 90.0), (datetime.timedelta(minutes=2), 120.0),
    ("0", "positive"), ("-5", "count and a unit"), ("nan", "count and a unit"), (float("nan"), "positive"),
    ("1mo", "no fixed length"), ("1y", "no fixed length"), ("20000y", "no fixed length"),
    ("99999999999999999999999d", "longer than the calendar"), ("4000000d", "longer than the calendar"),
])
def test_one_span_grammar_for_tables(text, seconds):
    if isinstance(seconds, str):
        with pytest.raises(ValueError, match=seconds):
            parse_span(text)
    else:
        assert parse_span(text) == seconds


@pytest.mark.parametrize("given", ["99999999999999999999999d", "9223372036854775808w", "99999999999999999999mo",
                                   1e300])
def test_spans_past_a_machine_integer_are_refused_in_one_line(given):
    with pytest.raises(ValueError, match="longer than the calendar"):
        Span.parse(given)


def test_convert_and_resample_spans_in_one_grammar(tmp_path):
    assert Span.parse("5min") == Span("s", 300)
    for command, span in (("convert", "5min"), ("convert", "90.5"), ("resample", "5min")):
        source = tmp_path / "in.csv"
        source.write_text("Datetime,Open,High,Low,Close\n2024-03-01 09:30,1,2,0.5,1.5\n2024-03-01 09:35,1,2,0.5,1.5\n")
        if command == "resample":
            convert(source, tmp_path / "in.bars", span="5min")
            source = tmp_path / "in.bars"
        done = subprocess.run([sys.executable, "-m", "tarnwick.bars", command, str(source),
                               str(tmp_path / f"{command}.bars"), "--span", span, "--force"],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    done = subprocess.run([sys.executable, "-m", "tarnwick.bars", "convert", str(tmp_path / "in.csv"),
                           str(tmp_path / "x.bars"), "--span", "99999999999999999999999d"], capture_output=True,
                          text=True)
    assert done.returncode == 2 and "longer than the calendar" in done.stderr and "Traceback" not in done.stderr


def test_times_without_an_offset_are_read_in_tz(tmp_path, utc_profile):
    source = tmp_path / "ABC.csv"
    source.write_text("Datetime,Open,High,Low,Close\n2024-03-01 09:30,1,2,0.5,1.5\n2024-03-01 09:31,1,2,0.5,1.5\n")
    utc = load_csv(source).timestamps[0]
    assert load_csv(source, tz="America/New_York").timestamps[0] == utc + 5 * 3600
    assert load_csv(source, tz=datetime.timezone(datetime.timedelta(hours=1))).timestamps[0] == utc - 3600
    assert convert(source, tmp_path / "out.bars", tz="UTC")[0].timestamps[0] == utc
    with pytest.raises(ValueError, match="unknown time zone 'Mars/Base'"):
        load_csv(source, tz="Mars/Base")


def test_old_names_stay():
    assert (CsvBars, CsvError) == (TableBars, TableError)


ROW = b"2024-01-02 09:30:00,1,2,0.5,1.5,10\n"


# The child's own peak resident set in MiB.  Not getrusage's ru_maxrss: Linux
# keeps that across exec, so a child forked from a large test process
# reports its parent's peak.
PEAK_MIB = "int(open('/proc/self/status').read().split('VmHWM:')[1].split()[0]) >> 10"


@pytest.mark.large
def test_a_gzip_bomb_is_read_for_what_its_columns_hold(tmp_path):
    # 1 GiB of rows in a few MB of gzip.  The whole-file reader kept every
    # decompressed block as well as the columns (3.7 GB); read batch by batch,
    # the reading costs about what the columns hold (1.4 GB here).
    path = tmp_path / "bomb.csv.gz"
    block = ROW * 30000
    with gzip.open(path, "wb", compresslevel=1) as file:
        file.write(b"Datetime,Open,High,Low,Close,Volume\n")
        for _ in range((1 << 30) // len(block)):
            file.write(block)
    code = ("import sys, pathlib\nfrom tarnwick.bars._source import read_source\n"
            "table = read_source(pathlib.Path(sys.argv[1]), None).table\n"
            "print(table.num_rows, table.nbytes >> 20, " + PEAK_MIB + ")")
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    rows, table_mib, peak_mib = map(int, done.stdout.split())
    assert rows == (1 << 30) // len(block) * 30000
    assert peak_mib < table_mib + 600, (peak_mib, table_mib)


def test_a_line_too_long_to_be_a_row_is_refused_without_reading_it_whole(tmp_path, monkeypatch):
    from tarnwick.bars import _source

    monkeypatch.setattr(_source, "LONGEST_LINE", 1000)
    path = tmp_path / "ABC.csv.gz"
    path.write_bytes(gzip.compress(b"Date,Open,High,Low,Close\n2024-01-02,1,2,0.5,1.5\n" + b"1" * 5000 + b"\n"))
    with pytest.raises(TableError, match="line 3: longer than 0 MiB: not a line of a table"):
        load_csv(path)


@pytest.mark.large
def test_a_gigabyte_line_is_refused_in_little_memory(tmp_path):
    path = tmp_path / "ABC.csv.gz"
    with gzip.open(path, "wb", compresslevel=1) as file:
        file.write(b"Date,Open,High,Low,Close\n2024-01-02,1,2,0.5,1.5\n")
        for _ in range(1024):
            file.write(b"1" * (1 << 20))
    code = ("import sys\nfrom tarnwick.bars import load_csv\ntry:\n    load_csv(sys.argv[1])\n"
            "except ValueError as error:\n    print(error)\n"
            "print(" + PEAK_MIB + ")")
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    message, peak_mib = done.stdout.splitlines()
    assert "line 3: longer than 64 MiB" in message and int(peak_mib) < 600, done.stdout  # 3.2 GB before
