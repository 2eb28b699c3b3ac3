"""The bar-file tool: convert, show (with charts), demo and its verification."""

import io
import os
import pathlib
import struct
import subprocess
import sys

import pytest

from tarnwick.bars import main, verify
from tarnwick.bars._csv import load_csv

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


def test_convert_then_show(files):
    source, target = files
    status, text = run("convert", source, target)
    assert status == 0 and "12 intraday bars of ABC" in text and "0:01:00 (inferred)" in text
    status, text = run("show", target, "--head", 2)
    lines = text.splitlines()
    assert status == 0 and lines[0] == f"{target}: 12 intraday bars (1212 bytes)"
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


def test_verify_finds_a_changed_field(files):
    source, target = files
    run("convert", source, target)
    table = load_csv(source)
    assert verify(target, table) == []
    data = bytearray(target.read_bytes())
    struct.pack_into("=d", data, 101 * 4 + 73, 9.5)  # bar 3's close price
    target.write_bytes(bytes(data))
    problems = verify(target, table)
    assert len(problems) == 1 and problems[0].startswith("bar 3: close_price reads back as ")


def test_demo_on_samples_and_on_a_table(files, tmp_path):
    status, text = run("demo", "--keep", tmp_path / "kept")
    assert status == 0, text
    assert "all 390 bars read back equal" in text and "all 260 bars read back equal" in text
    assert sorted(p.name for p in (tmp_path / "kept").iterdir()) == [
        "ABC-days.bars", "ABC-days.csv", "ABC-minutes.bars", "ABC-minutes.csv"]
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
    assert "reading ABC.csv" in err and "writing abc.bars" in err
    assert run("convert", source, target)[0] == 0 and capsys.readouterr().err == ""  # not a terminal


@pytest.mark.parametrize("argv", [["convert", "a.csv", "b.bars", "--span", "soon"], ["show"], ["plot", "x"],
                                  ["convert", "a", "b", "--daily", "--intraday"], ["show", "x", "--tz", "Mars/Base"]])
def test_misuse_exits_2(argv):
    with pytest.raises(SystemExit) as exit:
        main(argv)
    assert exit.value.code == 2


def test_module_and_console_script_run():
    result = subprocess.run([sys.executable, "-m", "tarnwick.bars", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and all(command in result.stdout for command in ("convert", "show", "demo"))
    script = pathlib.Path(sys.executable).with_name("tarnwick-bars")
    result = subprocess.run([script, "show", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "--plot CHART.png" in result.stdout
