"""The bar-file tool: convert, show (with charts), demo and its verification."""

import datetime
import importlib.abc
import io
import os
import pathlib
import signal
import struct
import subprocess
import sys
import time

import pytest

from tarnwick.bars import main, verify, write
from tarnwick.bars._table import load_csv
from tarnwick.base.candlestick import BarData, DailyBar

TABLE = ("Datetime,Open,High,Low,Close,Volume,Notional\n"
         + "".join(f"2024-03-01 09:{30 + i}:00,1,2,0.5,1.5,10,{12 + i}\n" for i in range(12)))


def run(*argv):
    out = io.StringIO()
    return main(list(map(str, argv)), out), out.getvalue()


@pytest.fixture
def files(tmp_path, utc_profile):
    source = tmp_path / "ABC.csv"
    source.write_text(TABLE)
    return source, tmp_path / "abc.bars"


def test_convert_then_show(files, utc_profile):
    source, target = files
    status, text = run("convert", source, target)
    assert status == 0 and "12 intraday bars of ABC" in text and "0:01:00 (inferred)" in text
    status, text = run("show", target, "--head", 2)
    lines = text.splitlines()
    assert status == 0 and lines[0] == f"{target}: 12 intraday bars (1212 bytes of records)"
    assert lines[2:8] == [
        "first and last 2:",
        "  <BarData>([2024-03-01 09:31:00] ABC, open=1.0, high=2.0, low=0.5, close=1.5, volume=10.0)",
        "  <BarData>([2024-03-01 09:32:00] ABC, open=1.0, high=2.0, low=0.5, close=1.5, volume=10.0)",
        "  ...",
        "  <BarData>([2024-03-01 09:41:00] ABC, open=1.0, high=2.0, low=0.5, close=1.5, volume=10.0)",
        "  <BarData>([2024-03-01 09:42:00] ABC, open=1.0, high=2.0, low=0.5, close=1.5, volume=10.0)",
    ]
    assert lines[8:] == ["span classes: Minute (12)",
                         "times: from 2024-03-01 09:30:00+0000 to 2024-03-01 09:42:00+0000",
                         "VWAP ABC: 1.75 (12 of 12 bars carry notional and volume)"]
    status, text = run("show", target, "--head", 6, "--tz", "America/New_York")
    assert "all:" in text and "[2024-03-01 04:31:00]" in text
    assert utc_profile.time_zone == datetime.UTC  # --tz goes to the library as tz=, not into the profile


@pytest.mark.parametrize("content, options, message", [
    (b"\0" * 202, (), "is not a bar record"),
    (b"(" * 150, (), "150 bytes is not a whole number"),
    (None, ("--daily",), "the file holds intraday bars, which cannot be read as DailyBar"),
])
def test_show_refuses_with_one_line(files, capsys, content, options, message):
    source, target = files
    if content is None:
        run("convert", source, target)
    else:
        target.write_bytes(content)
    status, _ = run("show", target, *options)
    err = capsys.readouterr().err
    assert status == 1 and err.startswith(f"tarnwick-bars: error: {target}: ") and err.count("\n") == 1
    assert message in err


@pytest.mark.parametrize("offset, value, problem", [
    (73, "=d", "bar 3: close_price reads back as "),
    (0, "=B", "record 3 is not a bar record (kind code 31, "),  # which opening a headed file does not read
])
def test_verify_finds_a_changed_field(files, offset, value, problem):
    source, target = files
    run("convert", source, target)
    table = load_csv(source)
    assert verify(target, table) == []
    data = bytearray(target.read_bytes())
    struct.pack_into(value, data, 101 * 4 + offset, 9.5 if value == "=d" else 31)  # in bar 3
    target.write_bytes(bytes(data))
    problems = verify(target, table)
    assert len(problems) == 1 and problems[0].startswith(problem)


def test_demo_on_samples_and_on_a_table(files, tmp_path):
    status, text = run("demo", "--keep", tmp_path / "kept")
    assert status == 0, text
    assert "all 390 bars read back equal" in text and "all 260 bars read back equal" in text
    assert sorted(p.name for p in (tmp_path / "kept").iterdir()) == [
        ".tarnwick-wrote", "ABC-days.bars", "ABC-days.csv", "ABC-minutes.bars", "ABC-minutes.csv"]
    status, text = run("demo", files[0], "--span", "1m")
    assert status == 0 and "all 12 bars read back equal" in text and "0:01:00 (given)" in text


def test_show_draws_a_chart(files, tmp_path):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("matplotlib's C++ code cannot throw under a preloaded sanitizer runtime")
    pytest.importorskip("matplotlib")
    source, target = files
    run("convert", source, target)
    status, text = run("show", target, "--plot", tmp_path / "chart.png", "--plot-bars", 5)
    assert status == 0 and f"chart: {tmp_path / 'chart.png'}" in text
    assert (tmp_path / "chart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("daily, tz, axis, first_tick", [
    (False, "America/New_York", "end of bar (America/New_York)", "2024-03-01 04:31"),
    (False, "UTC", "end of bar (UTC)", "2024-03-01 09:31"),
    (False, datetime.timezone(datetime.timedelta(hours=5, minutes=30)), "end of bar (+05:30)", "2024-03-01 15:01"),
    (True, "America/New_York", "market date", "2024-03-01"),  # a market date belongs to no zone
])
def test_the_chart_time_axis_names_its_zone(daily, tz, axis, first_tick):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("matplotlib's C++ code cannot throw under a preloaded sanitizer runtime")
    pytest.importorskip("matplotlib")
    from matplotlib import pyplot

    from tarnwick.bars._plot import draw

    start = datetime.datetime(2024, 3, 1, 9, 30, tzinfo=datetime.UTC)
    bars = [DailyBar("ABC", start.date() + datetime.timedelta(days=i), 2, 0.5, 1, 1.5) if daily
            else BarData("ABC", (start + datetime.timedelta(minutes=i + 1)).timestamp(), 2, 0.5, 1, 1.5, bar_span=60)
            for i in range(3)]
    figure = draw(bars, tz=tz)
    try:
        time_axis = figure.axes[-1]
        assert time_axis.get_xlabel() == axis
        assert time_axis.get_xticklabels()[0].get_text() == first_tick
    finally:
        pyplot.close(figure)


def test_charts_without_matplotlib(files, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    source, target = files
    run("convert", source, target)
    assert run("show", target, "--plot", "x.png")[0] == 1
    assert "charts need matplotlib: pip install 'tarnwick[plot]'" in capsys.readouterr().err


@pytest.mark.parametrize("tqdm", ["installed", None])
def test_progress_when_asked(files, monkeypatch, capsys, tqdm):
    if tqdm is None:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    else:
        pytest.importorskip("tqdm")
    source, target = files
    assert run("convert", source, target, "--progress")[0] == 0
    err = capsys.readouterr().err
    assert "converting ABC.csv" in err
    assert run("convert", source, target, "--force")[0] == 0 and capsys.readouterr().err == ""  # not a terminal


def test_export_writes_each_format(files, tmp_path):
    source, target = files
    run("convert", source, target)
    for name, kind in (("x.parquet", "parquet"), ("x.csv", "csv"), ("x", "dataset"), ("y.txt", "csv")):
        options = ("--format", kind) if name.endswith(".txt") else ()
        status, text = run("export", target, tmp_path / name, "--tz", "America/New_York", *options)
        assert (status, text) == (0, f"{tmp_path / name}: 12 intraday bars as {kind}\n")
    assert ",2024-03-01 04:31:00-0500," in (tmp_path / "x.csv").read_text().splitlines()[1]


WRITING = [  # commands that write, as functions of the table, its bar file and the output
    lambda source, target, out: ("convert", source, out),
    lambda source, target, out: ("export", target, out.with_suffix(".parquet")),
    lambda source, target, out: ("export", target, out.with_suffix("")),
    lambda source, target, out: ("show", target, "--plot", out.with_suffix(".png")),
    lambda source, target, out: ("demo", source, "--plot", out.with_suffix(".png")),
]


@pytest.mark.parametrize("command", WRITING)
def test_commands_replace_an_existing_output_only_with_force(files, tmp_path, capsys, command):
    source, target = files
    run("convert", source, target)
    argv = command(source, target, tmp_path / "out.bars")
    output = pathlib.Path(argv[-1])
    if output.suffix == ".png":
        pytest.importorskip("matplotlib")
    output.mkdir() if not output.suffix else output.write_bytes(b"mine")
    assert run(*argv)[0] == 1 and f"{output} exists: give --force to replace it" in capsys.readouterr().err
    assert output.is_dir() if not output.suffix else output.read_bytes() == b"mine"
    assert run(*argv, "--force")[0] == 0
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted(["ABC.csv", "abc.bars", output.name])


def test_convert_tells_a_bar_file_from_a_table(files, tmp_path, capsys):
    source, target = files
    run("convert", source, target)
    assert run("convert", target, tmp_path / "again.bars")[0] == 1
    assert f"{target} is a bar file, not a table" in capsys.readouterr().err


@pytest.mark.parametrize("command", WRITING[:3])
def test_an_interrupt_leaves_no_trace_and_one_line(files, tmp_path, monkeypatch, capsys, command):
    source, target = files
    run("convert", source, target)
    before = sorted(tmp_path.iterdir())

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    # Interrupted in the middle of writing: once the temporary file or directory exists.
    monkeypatch.setattr("pyarrow.parquet.write_table", interrupt)
    monkeypatch.setattr("pyarrow.dataset.write_dataset", interrupt)
    monkeypatch.setattr("tarnwick.bars._stream.RecordWriter.write", interrupt)
    status, _ = run(*command(source, target, tmp_path / "new.bars"))
    assert (status, capsys.readouterr().err) == (130, "tarnwick-bars: interrupted\n")
    assert sorted(tmp_path.iterdir()) == before


@pytest.mark.parametrize("command", WRITING)
def test_errors_name_the_output_given_not_a_temporary_file(files, tmp_path, capsys, command):
    source, target = files
    run("convert", source, target)
    argv = command(source, target, tmp_path / "missing" / "out.bars")
    if argv[-1].suffix == ".png":
        pytest.importorskip("matplotlib")
    assert run(*argv)[0] == 1
    assert capsys.readouterr().err == \
        f"tarnwick-bars: error: {argv[-1]}: the folder {argv[-1].parent} does not exist\n"


def test_ctrl_c_stops_a_csv_export_between_batches(tmp_path):
    path = tmp_path / "many.bars"
    write(path, bytes(memoryview(BarData("ABC", 1e9, 2.0, 1.0, 1.5, 1.8, bar_span=60))) * 500_000, kind="intraday")
    export = subprocess.Popen([sys.executable, "-m", "tarnwick.bars", "export", path, tmp_path / "out.csv"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while export.poll() is None and not any(name.startswith(".out.csv.") for name in os.listdir(tmp_path)):
        time.sleep(0.001)
    time.sleep(0.1)  # inside the writing of the rows
    sent = time.monotonic()
    export.send_signal(signal.SIGINT)
    _, err = export.communicate(timeout=60)
    if export.returncode == 0:
        pytest.skip("the export ended before it could be interrupted")
    assert (export.returncode, err) == (130, b"tarnwick-bars: interrupted\n")
    assert time.monotonic() - sent < 1.5 and os.listdir(tmp_path) == ["many.bars"]


def test_ctrl_c_while_the_tool_loads_says_one_line(monkeypatch, capsys):
    class Interrupting(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name == "tarnwick.bars._cli":
                raise KeyboardInterrupt

    from tarnwick.bars.__main__ import main as entry

    monkeypatch.delitem(sys.modules, "tarnwick.bars._cli")
    monkeypatch.setattr(sys, "meta_path", [Interrupting(), *sys.meta_path])
    assert entry() == 130 and capsys.readouterr().err == "tarnwick-bars: interrupted\n"


def test_demo_keeps_replacing_only_what_a_demo_wrote(files, tmp_path, capsys):
    kept = tmp_path / "kept"
    kept.mkdir()
    theirs = {"ABC.bars": b"their bars", "ABC-minutes.csv": b"their table"}
    for name, content in theirs.items():
        (kept / name).write_bytes(content)
    for argv in (("demo", files[0], "--keep", kept), ("demo", "--keep", kept)):
        assert run(*argv)[0] == 1
        assert "exists: give --force to replace it" in capsys.readouterr().err
    assert {name: (kept / name).read_bytes() for name in theirs} == theirs
    (kept / "ABC-minutes.csv").unlink()
    assert run("demo", "--keep", kept)[0] == 0
    assert run("demo", "--keep", kept, "--seed", "8")[0] == 0  # its own files, replaced without --force
    assert (kept / "ABC.bars").read_bytes() == theirs["ABC.bars"]


def test_a_reader_that_goes_away_ends_the_tool_quietly(tmp_path):
    path = tmp_path / "many.bars"
    write(path, bytes(memoryview(BarData("ABC", 1e9, 2.0, 1.0, 1.5, 1.8, bar_span=60))) * 50_000, kind="intraday")
    show = subprocess.Popen([sys.executable, "-m", "tarnwick.bars", "show", path, "--head", "25000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    show.stdout.readline()
    show.stdout.close()
    assert (show.stderr.read(), show.wait(timeout=60)) == (b"", 1)


def test_version():
    with pytest.raises(SystemExit) as exit:
        main(["--version"])
    assert exit.value.code == 0


@pytest.mark.parametrize("argv", [["convert", "a.csv", "b.bars", "--span", "soon"], ["show"], ["plot", "x"],
                                  ["convert", "a", "b", "--daily", "--intraday"], ["show", "x", "--tz", "Mars/Base"]])
def test_misuse_exits_2(argv):
    with pytest.raises(SystemExit) as exit:
        main(argv)
    assert exit.value.code == 2


def test_module_and_console_script_run():
    result = subprocess.run([sys.executable, "-m", "tarnwick.bars", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and all(command in result.stdout for command in ("convert", "export", "show", "demo"))
    script = pathlib.Path(sys.executable).with_name("tarnwick-bars")
    result = subprocess.run([script, "show", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "--plot CHART.png" in result.stdout
