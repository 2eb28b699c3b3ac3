"""Output safety, one table of writing commands against one table of attacks:
no command writes over its input (however spelled), into a directory that
holds it, or over a special file, and a stop at any moment (SIGINT, SIGTERM,
SIGHUP) leaves the old output as it was and nothing beside it."""

import io
import json
import os
import pathlib
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import time

import numpy
import pytest
from resample_kit import local, records

from tarnwick.bars import main, write

# Each writing command: what it reads ("table", "bars" or "folder"), its
# command line given its input and output, and whether it draws a chart.
COMMANDS = {
    "convert": ("table", lambda i, o: ("convert", i, o), False),
    "aggregate": ("trades", lambda i, o: ("aggregate", i, o, "--span", "1min"), False),
    "export parquet": ("bars", lambda i, o: ("export", i, o, "--format", "parquet"), False),
    "export csv": ("bars", lambda i, o: ("export", i, o, "--format", "csv"), False),
    "export dataset": ("bars", lambda i, o: ("export", i, o, "--format", "dataset"), False),
    "resample file": ("bars", lambda i, o: ("resample", i, o, "--span", "5min"), False),
    "resample folder": ("folder", lambda i, o: ("resample", i, o, "--span", "5min"), False),
    "demo": ("table", lambda i, o: ("demo", i, "--plot", o), True),
    "show --plot": ("bars", lambda i, o: ("show", i, "--plot", o), True),
}


def _charts_work():
    """Whether charts can be drawn: matplotlib is there, and no sanitizer runtime is
    preloaded (matplotlib's C++ code cannot throw under one)."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return False
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _table(path, rows):
    start = numpy.datetime64("2024-03-01T09:30")
    times = numpy.datetime_as_string(start + numpy.arange(rows).astype("m8[m]"), unit="s")
    path.write_text("Datetime,Open,High,Low,Close,Volume\n" + "".join(f"{t},1,2,0.5,1.5,10\n" for t in times))


def _trades(path, rows):
    path.write_text("time,price,size\n" + "".join(f"{1_717_421_400_000 + 30_000 * i},{100 + i % 7},1\n"
                                                   for i in range(rows)))


@pytest.fixture
def inputs(tmp_path, utc_profile):
    """An input of each sort, one folder down in data/ (so that data/ holds it)."""
    sub = tmp_path / "data" / "sub"
    (sub / "folder").mkdir(parents=True)
    _table(sub / "ABC.csv", 40)
    _trades(sub / "trades.csv", 40)
    write(sub / "in.bars", records(local(2024, 6, 3, 9, 30) + 60.0 * numpy.arange(1, 41)), kind="intraday")
    shutil.copy(sub / "in.bars", sub / "folder" / "in.bars")
    return {"table": sub / "ABC.csv", "trades": sub / "trades.csv", "bars": sub / "in.bars", "folder": sub / "folder"}


def _snapshot(path):
    if path.is_dir():
        return {p.relative_to(path): p.read_bytes() for p in sorted(path.rglob("*")) if p.is_file()}
    return path.read_bytes()


def _respelled(source, place):
    return pathlib.Path(f"{source.parent}/./{source.name}")


def _hard_link(source, place):
    if source.is_dir():  # a folder cannot be linked: a link to a file of it, in the output folder
        place.mkdir()
        os.link(source / "in.bars", place / "in.bars")
    else:
        os.link(source, place)
    return place


def _fifo(source, place):
    os.mkfifo(place)
    return place


def _link_to_device(source, place):
    place.symlink_to(os.devnull)
    return place


ATTACKS = {  # how the output is made dangerous, and what the refusal says
    "another spelling of the input": (_respelled, "is the input"),
    "a hard link to the input": (_hard_link, "is the input|holds the input"),
    "a folder holding the input": (lambda source, place: source.parents[1], "holds the input|is a directory"),
    "a FIFO": (_fifo, r"is a named pipe \(FIFO\), not a"),
    "a symbolic link to a device": (_link_to_device, f"leads to {os.devnull}, which is a character device"),
}


@pytest.mark.parametrize("attack", ATTACKS)
@pytest.mark.parametrize("command", COMMANDS)
def test_writers_refuse_what_they_must_not_replace(inputs, tmp_path, capsys, command, attack):
    sort, argv, charts = COMMANDS[command]
    if charts and not _charts_work():
        pytest.skip("charts cannot be drawn here")
    make, message = ATTACKS[attack]
    source = inputs[sort]
    before = _snapshot(source)
    output = make(source, tmp_path / "out")
    kind = os.lstat(output).st_mode
    for force in ((), ("--force",)):
        assert main([str(part) for part in argv(source, output)] + list(force)) == 1
        err = capsys.readouterr().err
        assert err.startswith("tarnwick-bars: error: ") and err.count("\n") == 1
        assert re.search(message, err), err
        assert "--force" not in err  # none of these is replaced with it either
    assert _snapshot(source) == before and os.lstat(output).st_mode == kind
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Each command with one of the signals in the quick run, with all three in the large one.
COMMAND_STOPS = [pytest.param(command, stop, id=f"{command}-{stop.name}",
                              marks=() if index % len(STOPS) == number else pytest.mark.large)
                 for index, command in enumerate(COMMANDS) for number, stop in enumerate(STOPS)]


@pytest.mark.parametrize("command, stop", COMMAND_STOPS)
def test_a_stop_at_any_moment_leaves_the_old_output_and_nothing_else(inputs, tmp_path, command, stop):
    sort, argv, charts = COMMANDS[command]
    if charts and not _charts_work():
        pytest.skip("charts cannot be drawn here")
    source = inputs[sort]
    if sort == "table":
        _table(source, 5_000)
    elif sort == "trades":
        _trades(source, 200_000)
    else:
        bars = records(local(2024, 6, 3, 9, 30) + 60.0 * numpy.arange(1, 50_001))
        for path in (inputs["bars"], inputs["folder"] / "in.bars", inputs["folder"] / "more.bars"):
            write(path, bars, kind="intraday")
    output = tmp_path / ("out.png" if charts else "out")
    command_line = [*map(str, argv(source, output)), "--force"]
    started = time.monotonic()
    assert main(command_line, io.StringIO()) == 0  # the old output, and about how long a run takes
    took = time.monotonic() - started
    # The interpreter's own start, up to the tool's entry, is not ours to
    # guard: stop only after it, as long as it takes on this machine now.
    started = time.monotonic()
    subprocess.run([sys.executable, "-m", "tarnwick.bars", "--version"], capture_output=True, check=True)
    start_up = time.monotonic() - started
    old, names = _snapshot(output), sorted(os.listdir(tmp_path))
    process = subprocess.Popen([sys.executable, "-m", "tarnwick.bars", *command_line], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(start_up + random.uniform(0, took))
    process.send_signal(stop)
    _, err = process.communicate(timeout=120)
    if process.returncode == 0:
        return  # it had finished: a whole new output, checked elsewhere
    assert process.returncode in (128 + stop, -stop), err  # -stop: before Python took the signal over
    assert b"Traceback" not in err and err.count(b"\n") <= 1, err
    assert sorted(os.listdir(tmp_path)) == names and _snapshot(output) == old


SIZE_LIMITED = """
import contextlib, io, json, resource, signal, sys
from tarnwick.bars import main
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of death
resource.setrlimit(resource.RLIMIT_FSIZE, (900, 900))
results = []
for argv in json.loads(sys.argv[1]):
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        results.append((main(argv, io.StringIO()), err.getvalue()))
print(json.dumps(results))
"""


def test_a_file_past_the_size_limit_is_named(inputs, tmp_path):
    runs = [[str(part) for part in argv(inputs[sort], tmp_path / f"out{number}")]
            for number, (sort, argv, charts) in enumerate(COMMANDS.values()) if not charts or _charts_work()]
    before = sorted(os.listdir(tmp_path))
    result = subprocess.run([sys.executable, "-c", SIZE_LIMITED, json.dumps(runs)], capture_output=True, text=True,
                            check=True)
    for (status, err), argv in zip(json.loads(result.stdout), runs):
        lines = err.splitlines()
        assert status == 1 and all(line.startswith("tarnwick-bars: error: /") for line in lines), (argv, lines)
        assert "File too large" in err and "[Errno" not in err and "/." not in err, (argv, err)
    assert sorted(os.listdir(tmp_path)) == before


def test_a_stop_during_the_rename_is_acted_on_after_it(tmp_path, monkeypatch):
    from tarnwick.bars._output import Terminated

    replace = os.replace

    def stopped_while_renaming(source, destination):
        # The handler called as the interpreter calls it when the signal
        # comes: a real signal sent to oneself may arrive later (valgrind
        # delivers it at a time of its own), after the handler is gone.
        signal.getsignal(signal.SIGTERM)(signal.SIGTERM, None)
        replace(source, destination)

    monkeypatch.setattr(os, "replace", stopped_while_renaming)
    with pytest.raises(Terminated):
        write(tmp_path / "out.bars", records([1e9]), kind="intraday")
    assert os.listdir(tmp_path) == ["out.bars"] and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
