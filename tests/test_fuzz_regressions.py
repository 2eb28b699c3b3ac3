"""Replays the fuzzer's committed inputs through its harness.

fuzz/regressions/ holds every input that ever crashed the process or made the
classes break their documented behaviour; fuzz/corpus/ holds the small seeds
that start each campaign.  Both must run clean: the first so that a fixed
fault stays fixed, the second so that the harness itself keeps working against
the classes as they are (tools/fuzz.sh runs it only on request).
"""

import importlib.util
import pathlib

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"


def load_harness():
    spec = importlib.util.spec_from_file_location("fuzz_bars", FUZZ / "fuzz_bars.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


harness = load_harness()


def inputs(folder):
    return sorted(path for path in (FUZZ / folder).glob("*") if path.is_file() and not path.name.startswith("."))


def replay(paths):
    for path in paths:
        try:
            harness.exercise(path.read_bytes())
        except Exception as error:
            raise AssertionError(f"{path.relative_to(FUZZ)}: {error!r}") from error


def test_committed_crashing_inputs_run_clean():
    replay(inputs("regressions"))


def test_seed_corpus_runs_clean():
    seeds = inputs("corpus")
    assert seeds, "the seed corpus is empty"
    replay(seeds)


def test_harness_reports_what_the_model_rules_out(monkeypatch):
    # A model that disagrees with the classes must be reported, not absorbed.
    seeds = [path.read_bytes() for path in inputs("corpus")]
    monkeypatch.setattr(harness.model, "member", lambda cls, record, name: "something else")
    failures = 0
    for data in seeds:
        try:
            harness.exercise(data)
        except harness.Mismatch:
            failures += 1
    assert failures > len(seeds) // 2
