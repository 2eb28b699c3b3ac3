"""The benchmarks' ledger: a figure goes into RESULTS.md only when it
reproduces the previous run's on the same machine within 15%."""

import importlib.util
import json
from pathlib import Path

import pytest

_PATH = Path(__file__).resolve().parents[1] / "benchmarks" / "results_file.py"
_spec = importlib.util.spec_from_file_location("results_file", _PATH)
results_file = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(results_file)


@pytest.mark.parametrize("before, now, shown", [
    (None, 1.0, "1.00\\*"),        # nothing to confirm it yet
    (1.0, 1.14, "1.14"),          # within 15%
    (1.0, 0.86, "0.86"),
    (1.0, 1.16, "moved"),         # left out
    (1.0, 0.84, "moved"),
])
def test_a_figure_is_written_only_when_it_reproduces(tmp_path, before, now, shown):
    results = tmp_path / "RESULTS.md"
    if before is not None:
        first = results_file.Ledger(results, "## S")
        first.cell("k", before, "-")
        first.save()
    ledger = results_file.Ledger(results, "## S")
    assert ledger.cell("k", now, f"{now:.2f}") == shown
    assert ("moved more than 15%" in ledger.notes()) == (shown == "moved")
    ledger.save()
    assert json.loads(results.with_suffix(".json").read_text())["## S"]["figures"] == {"k": now}


def test_figures_of_another_machine_confirm_nothing(tmp_path):
    results = tmp_path / "RESULTS.md"
    results.with_suffix(".json").write_text(json.dumps({"## S": {"machine": "elsewhere", "figures": {"k": 1.0}}}))
    assert results_file.Ledger(results, "## S").cell("k", 1.0, "1.0") == "1.0\\*"
