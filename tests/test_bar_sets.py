"""Several bar files as one set of bars: a directory of three tickers (as
convert makes it) through show, export and export --append/--force, and
write() joining open files."""

import datetime
import io
import os

import numpy
import pytest
from resample_kit import records

from tarnwick import bars
from tarnwick.bars import BarFileError, export, read, read_export, show, to_arrow, write
from tarnwick.base.candlestick import DailyBar

START = 1_709_287_200


def minutes(ticker, count, first=0):
    return records([START + 60 * (first + i + 1) for i in range(count)], ticker=ticker)


@pytest.fixture
def three(tmp_path):
    """A directory of one bar file per ticker, named so that sorting them by
    name is not the order they were written in."""
    folder = tmp_path / "set"
    folder.mkdir()
    for ticker, count in (("CCC", 4), ("AAA", 2), ("BBB", 3)):
        write(folder / f"{ticker}.bars", minutes(ticker, count), kind="intraday")
    (folder / ".hidden").write_bytes(b"not a bar file")
    return folder


def joined(folder, *names):
    return b"".join(bytes(read(folder / f"{name}.bars")) for name in names)


def tree(folder):
    """Every file under ``folder`` with its bytes: what an append must keep, or leave alone when it fails."""
    return {path.relative_to(folder): path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


@pytest.mark.parametrize("given", ["directory", "paths", "open files", "a directory in a list"])
@pytest.mark.parametrize("format", ["parquet", "csv", "dataset"])
def test_a_set_exports_as_one_table_in_a_stable_order(three, tmp_path, given, format):
    names = ("AAA", "BBB", "CCC")
    source = {"directory": three, "paths": [three / f"{name}.bars" for name in names],
              "open files": [read(three / f"{name}.bars") for name in names], "a directory in a list": [three]}[given]
    table = to_arrow(source)
    assert table["ticker"].unique().to_pylist() == list(names)  # files by name, tickers by first appearance
    assert export(source, tmp_path / f"out.{format}" if format != "dataset" else tmp_path / "out") == 9
    got, kind = read_export(tmp_path / (f"out.{format}" if format != "dataset" else "out"))
    assert kind == "intraday" and got.tobytes() == joined(three, *names)
    if given == "open files":
        assert not any(opened.closed for opened in source)  # what the caller opened stays open


@pytest.mark.parametrize("first, added, force, outcome", [
    (("AAA", "BBB"), ("CCC",), False, {"AAA": 2, "BBB": 3, "CCC": 4}),
    (("AAA", "BBB"), ("CCC", "BBB"), False, "holds ticker 'BBB' already"),
    (("AAA", "BBB"), ("CCC", "BBB"), True, {"AAA": 2, "BBB": 5, "CCC": 4}),  # BBB's partition replaced only
    ((), ("AAA",), False, {"AAA": 2}),  # no dataset yet: a new one
])
def test_append_adds_tickers_and_replaces_one_only_with_force(three, tmp_path, first, added, force, outcome):
    dataset = tmp_path / "by-ticker"
    if first:
        export([three / f"{name}.bars" for name in first], dataset)
    write(three / "BBB.bars", minutes("BBB", 5, first=10), kind="intraday")  # new bars of BBB
    before = tree(dataset) if first else {}
    if isinstance(outcome, str):
        with pytest.raises(BarFileError, match=outcome):
            export([three / f"{name}.bars" for name in added], dataset, append=True, force=force)
        assert tree(dataset) == before
        return
    export([three / f"{name}.bars" for name in added], dataset, append=True, force=force)
    got, _ = read_export(dataset)
    counts = dict(zip(*numpy.unique(got["ticker"].astype(str), return_counts=True)))
    assert counts == outcome
    kept = [path for path in before if path.parts[0] not in {f"ticker={name}" for name in added} | {".tarnwick-wrote"}]
    assert all(tree(dataset)[path] == before[path] for path in kept)


def daily_file(path):
    write(path, [DailyBar("DDD", datetime.date(2024, 3, day), 2.0, 1.0, 1.5, 1.5) for day in (1, 4)])
    return path


@pytest.mark.parametrize("case, message", [
    ("daily into intraday", "holds intraday bars, which daily bars cannot join"),
    ("another zone", "holds times in the zone UTC: give tz='UTC'"),
    ("a failure while writing", "disk gone"),
])
def test_a_failed_append_leaves_the_dataset_as_it_was(three, tmp_path, monkeypatch, case, message):
    dataset = tmp_path / "by-ticker"
    export(three / "AAA.bars", dataset, tz="UTC")
    before = tree(dataset)
    source, zone = three / "CCC.bars", "UTC"
    if case == "daily into intraday":
        source = daily_file(tmp_path / "days.bars")
    elif case == "another zone":
        zone = "America/New_York"
    else:
        def fail(*args):
            raise OSError("disk gone")
        monkeypatch.setattr("tarnwick.bars._export._write_parts", fail)
    with pytest.raises((BarFileError, OSError), match=message):
        export(source, dataset, append=True, tz=zone)
    assert tree(dataset) == before
    assert not [name for name in os.listdir(tmp_path) if name.startswith(".")]  # no temporary left


@pytest.mark.parametrize("call", [to_arrow, show, lambda source: export(source, source[0].parent / "out.parquet")])
def test_a_set_is_of_one_kind(three, tmp_path, call):
    days = daily_file(tmp_path / "days.bars")
    with pytest.raises(BarFileError, match=f"^{days} holds daily bars, {three / 'AAA.bars'} intraday bars"):
        call([three / "AAA.bars", days])


@pytest.mark.parametrize("case, error, message", [
    ("an empty directory", BarFileError, "the directory holds no bar files"),
    ("an empty list", ValueError, "no bar files given"),
    ("a chart of three", ValueError, "a chart .--plot. shows one bar file, not the 3 of"),
])
def test_sets_refused(tmp_path, three, case, error, message):
    (tmp_path / "empty").mkdir()
    calls = {"an empty directory": lambda: show(tmp_path / "empty"), "an empty list": lambda: show([]),
             "a chart of three": lambda: show(three, plot_path=tmp_path / "chart.png")}
    with pytest.raises(error, match=message):
        calls[case]()


def test_write_joins_open_files_each_bringing_its_kind(three, tmp_path):
    # Once refused with "records given as buffers need kind=...".
    files = [read(path) for path in sorted(three.glob("*.bars"))]
    assert write(tmp_path / "all.bars", files) == 9
    with read(tmp_path / "all.bars") as got:
        assert got.kind == "intraday" and bytes(got) == joined(three, "AAA", "BBB", "CCC")
    days = read(daily_file(tmp_path / "days.bars"))
    with pytest.raises(BarFileError, match=r"days.bars \(from record 9 on\) holds daily bars in a file of intraday"):
        write(tmp_path / "mixed.bars", [*files, days])
    with pytest.raises(BarFileError, match="holds intraday bars in a file of daily bars"):
        write(tmp_path / "mixed.bars", files, kind="daily")
    assert not (tmp_path / "mixed.bars").exists()
    five = bars.resample(three / "CCC.bars", "5min")
    assert write(tmp_path / "five.bars", [five, files[0]]) == len(five) + 2


TICKERS_TABLE = "Datetime,Ticker,Open,High,Low,Close,Volume\n" + "".join(
    f"2024-03-01 09:3{minute}:00,{ticker},1,2,0.5,1.5,10\n" for minute in range(3) for ticker in ("CCC", "AAA", "BBB"))


def test_the_tool_takes_a_directory_of_tickers_end_to_end(tmp_path, capsys, utc_profile):
    def run(*argv):
        out = io.StringIO()
        return bars.main([str(part) for part in argv], out), out.getvalue() + capsys.readouterr().err

    (tmp_path / "day.csv").write_text(TICKERS_TABLE)
    folder, dataset = tmp_path / "day", tmp_path / "by-ticker"
    steps = [
        (("convert", tmp_path / "day.csv", folder), 0, "AAA.bars: 3 intraday bars of AAA"),
        (("show", folder, "--head", 1), 0, f"{folder}: 3 files of intraday bars, 9 bars in all"),
        (("show", folder / "AAA.bars", folder / "BBB.bars"), 0, "2 files of intraday bars, 6 bars in all"),
        (("export", folder, tmp_path / "all.parquet"), 0, "all.parquet: 9 intraday bars as parquet"),
        (("export", folder / "AAA.bars", folder / "BBB.bars", dataset), 0, "6 intraday bars as dataset"),
        (("export", folder / "CCC.bars", dataset, "--append"), 0, "3 intraday bars added as dataset"),
        (("export", folder / "BBB.bars", dataset, "--append"), 1, "holds ticker 'BBB' already: give --force"),
        (("export", folder / "BBB.bars", dataset, "--append", "--force"), 0, "3 intraday bars added"),
        (("export", folder, tmp_path / "all.csv", "--append"), 1, "added (--append) to a dataset directory only"),
        (("export", folder, dataset), 1, "exists: give --force"),
        (("export", folder, dataset, "--force"), 0, "9 intraday bars as dataset"),  # the appended parts are ours
    ]
    for argv, status, text in steps:
        got, said = run(*argv)
        assert (got, text in said) == (status, True), (argv, said)
    assert len(read_export(dataset)[0]) == len(read_export(tmp_path / "all.parquet")[0]) == 9
