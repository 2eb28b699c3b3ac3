"""The tool's resample command, and charts of many bars."""

import numpy
import pytest
from resample_kit import local, records

from tarnwick.bars import main, read, resample, write
from tarnwick.bars._cli import resample as resample_command
from tarnwick.bars._plot import chart_candles


def minutes(count, ticker="ABC"):
    return records(local(2024, 6, 3, 9, 30) + 60.0 * numpy.arange(1, count + 1), ticker=ticker)


def run(*arguments):
    return main(["resample", *map(str, arguments), "--tz", "America/New_York"])


def test_file_into_file_and_an_existing_output(tmp_path, capsys):
    source, target = tmp_path / "in.bars", tmp_path / "out.bars"
    write(source, minutes(30), kind="intraday")
    assert run(source, target, "--span", "15min") == 0
    assert "out.bars: 2 intraday bars of 15min" in capsys.readouterr().out
    with read(target) as got:
        assert bytes(got) == bytes(resample(source, "15min", tz="America/New_York"))
    assert run(source, target, "--span", "1d") == 1
    assert "exists: give --force to replace it" in capsys.readouterr().err
    assert run(source, target, "--span", "1d", "--force") == 0
    with read(target) as got:
        assert got.kind == "daily" and len(got) == 1


@pytest.mark.parametrize("arguments, message", [
    (["--span", "7min"], "divide 24 hours"), (["--span", "1h", "--session", "22:00-02:00"], "midnight"),
    (["--span", "1h", "--tz", "Mars/Base"], "unknown time zone"),
])
def test_bad_options_are_usage_errors(tmp_path, capsys, arguments, message):
    with pytest.raises(SystemExit) as exit:
        main(["resample", str(tmp_path / "a"), str(tmp_path / "b"), *arguments])
    assert exit.value.code == 2 and message in capsys.readouterr().err


def test_directory_in_parallel_reports_each_bad_file(tmp_path, capsys):
    source, target = tmp_path / "in", tmp_path / "out"
    source.mkdir()
    for ticker in ("A", "B", "C"):
        write(source / f"{ticker}.bars", minutes(20, ticker), kind="intraday")
    write(source / "bad.bars", minutes(3)[::-1].copy(), kind="intraday")
    assert run(source, target, "--span", "5min", "--jobs", "3") == 1
    streams = capsys.readouterr()
    assert "bad.bars: record 1 (ABC)" in streams.err and f"1 of 4 files failed: {source / 'bad.bars'}" in streams.err
    assert sorted(path.name for path in target.iterdir()) == [".tarnwick-wrote", "A.bars", "B.bars", "C.bars"]
    with read(target / "B.bars") as got:
        assert [bar.ticker for bar in got] == ["B"] * 4


def test_interrupt_leaves_the_old_directory_as_it_was(tmp_path, monkeypatch):
    source, target = tmp_path / "in", tmp_path / "out"
    source.mkdir()
    for number in range(6):
        write(source / f"{number}.bars", minutes(3000), kind="intraday")
    assert run(source, target, "--span", "5min") == 0
    before = {path: path.read_bytes() for path in target.iterdir()}
    monkeypatch.setattr(resample_command, "CHUNK", 101 * 7)  # many chunks: interrupts land inside writes

    def interrupted(futures, return_when):
        raise KeyboardInterrupt

    monkeypatch.setattr(resample_command, "wait", interrupted)
    assert run(source, target, "--span", "1min", "--jobs", "2", "--force") == 130
    assert sorted(tmp_path.iterdir()) == [source, target]
    assert {path: path.read_bytes() for path in target.iterdir()} == before


def test_chart_of_many_bars_resamples_to_the_shortest_span_that_fits(tmp_path):
    path = tmp_path / "minutes.bars"
    write(path, minutes(5000), kind="intraday")
    with read(path) as bars:
        few, title = chart_candles(bars, 120)
        assert len(few) == 120 and title == "ABC: last 120 of 5000 bars"
        candles, title = chart_candles(bars, 5000, limit=2000)
        assert len(candles) == 1000 and title == "ABC: last 5000 of 5000 bars as 1000 candles of 5min"
        assert sum(bar.volume for bar in candles) == 5000 * 100.0
        del few, candles


def test_an_empty_directory_is_refused_and_nothing_written(tmp_path, capsys):
    (tmp_path / "empty").mkdir()
    assert run(tmp_path / "empty", tmp_path / "out", "--span", "5min") == 1
    assert "empty holds no bar files: nothing to resample" in capsys.readouterr().err
    assert sorted(path.name for path in tmp_path.iterdir()) == ["empty"]


@pytest.mark.large
def test_an_output_past_the_write_chunk_is_written_whole(tmp_path):
    source, target = tmp_path / "in.bars", tmp_path / "out.bars"
    write(source, minutes(200_000), kind="intraday")
    assert run(source, target, "--span", "2min") == 0
    with read(target) as got:
        assert len(got) * 101 > resample_command.CHUNK
        assert bytes(got) == bytes(resample(source, "2min", tz="America/New_York"))
