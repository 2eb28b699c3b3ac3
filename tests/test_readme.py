"""The README's examples, run as they stand: the Python sessions as doctests
(in order, sharing their names) and the console sessions as commands whose
output must match (``...`` stands for any lines); and every public name of
``tarnwick.bars`` documented there."""

import doctest
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(language):
    return [body for kind, body in FENCE.findall(README.read_text()) if kind == language]


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    from tarnwick.profile import PROFILE

    monkeypatch.chdir(tmp_path)
    saved = PROFILE.time_zone
    yield tmp_path
    PROFILE.time_zone = saved


def test_python_sessions(scratch):
    sessions = blocks("pycon")
    assert len(sessions) >= 8
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    names = {}
    for number, text in enumerate(sessions):
        test = parser.get_doctest(text, names, f"README session {number + 1}", str(README), 0)
        runner.run(test, clear_globs=False)
        names = test.globs  # the next session goes on with these names
    result = runner.summarize(verbose=False)
    assert result.failed == 0, f"{result.failed} README examples failed (see the output above)"


def console_steps():
    for text in blocks("console"):
        step = None
        for line in text.splitlines():
            if line.startswith("$ "):
                if step:
                    yield step
                step = (line[2:], [])
            elif step:
                step[1].append(line)
        if step:
            yield step


def test_console_sessions(scratch):
    steps = list(console_steps())
    assert steps
    checker = doctest.OutputChecker()
    for command, expected in steps:
        words = shlex.split(command)
        assert words[0] == ".venv/bin/tarnwick-bars", command  # as it runs from a clone
        tool = pathlib.Path(sys.executable).parent / "tarnwick-bars"  # the environment running the suite
        result = subprocess.run([tool, *words[1:]], capture_output=True, text=True, timeout=300,
                                env={**os.environ, "COLUMNS": "100"})
        assert result.returncode == 0, f"{command}\n{result.stderr}"
        want = "\n".join(expected) + "\n"
        assert checker.check_output(want, result.stdout, doctest.ELLIPSIS), (
            f"{command}\n" + checker.output_difference(doctest.Example(command, want), result.stdout,
                                                       doctest.ELLIPSIS))


def test_every_public_name_is_documented():
    from tarnwick import bars

    prose = FENCE.sub("", README.read_text())  # names in inline code, not inside examples
    documented = {name for span in re.findall(r"`([^`]+)`", prose) for name in re.findall(r"\w+", span)}
    assert sorted(set(bars.__all__) - documented) == []
    # Names public once still import, for code written against them, but stay out of __all__ and dir().
    for name in ("CsvBars", "CsvError", "format_for", "write_dataset", "looks_daily"):
        assert callable(getattr(bars, name)) and name not in bars.__all__ and name not in dir(bars)
    assert (bars.CsvBars, bars.CsvError) == (bars.TableBars, bars.TableError)
