"""Replays the fuzzers' committed inputs through their harnesses.

For each harness fuzz/fuzz_NAME.py, fuzz/regressions/NAME/ holds every input
that ever crashed the process or broke a rule the harness checks, and
fuzz/corpus/NAME/ the seeds that start each campaign.  Both must run clean:
the first so that a fixed fault stays fixed, the second so that the harness
itself keeps working against the package as it is (tools/fuzz.sh replays them
too, but only when fuzzing).
"""

import importlib.util
import pathlib

import pytest

from tarnwick.bars import RECORD_SIZE

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
HARNESSES = ("bars", "convert", "resample", "aggregate")


def load(name):
    spec = importlib.util.spec_from_file_location(f"fuzz_{name}", FUZZ / f"fuzz_{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module", params=HARNESSES)
def harness(request):
    return request.param, load(request.param)


def inputs(folder):
    return sorted(path for path in (FUZZ / folder).glob("*") if path.is_file() and not path.name.startswith("."))


@pytest.mark.parametrize("folder", ["regressions", "corpus"])
def test_committed_inputs_run_clean(harness, folder):
    name, module = harness
    paths = inputs(f"{folder}/{name}")
    assert paths or folder == "regressions", f"the seed corpus of {name} is empty"
    for path in paths:
        try:
            module.exercise(path.read_bytes())
        except Exception as error:
            raise AssertionError(f"{path.relative_to(FUZZ)}: {error!r}") from error


def count_mismatches(module, name):
    failures = 0
    for path in inputs(f"corpus/{name}"):
        try:
            module.exercise(path.read_bytes())
        except module.Mismatch:
            failures += 1
    return failures


# A broken rule must be reported, not absorbed: a model that disagrees with
# the classes, a resampling pass that loses a bar.
def test_bars_harness_reports_what_the_model_rules_out(monkeypatch):
    module = load("bars")
    monkeypatch.setattr(module.model, "member", lambda cls, record, name: "something else")
    assert count_mismatches(module, "bars") > len(inputs("corpus/bars")) // 2


def test_resample_harness_reports_a_lost_bar(monkeypatch):
    module = load("resample")
    resample = module.resample
    monkeypatch.setattr(module, "resample", lambda *a, **k: memoryview(bytes(resample(*a, **k)))[:-RECORD_SIZE])
    assert count_mismatches(module, "resample") >= 5
