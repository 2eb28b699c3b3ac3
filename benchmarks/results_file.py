"""The sections of benchmarks/RESULTS.md that a benchmark other than the
main table writes (each replaces its own section, or appends it), the
circumstances of a run (date, machine, load, sources, data set, peers'
versions), and the ledger that lets only figures that reproduce into them."""

from __future__ import annotations

import datetime
import importlib.metadata
import json
import os
import platform
import subprocess
from collections.abc import Iterable
from pathlib import Path

REPRODUCE_WITHIN = 0.15
"""How far a figure may move from the previous run's and still be written."""


def circumstances(data_set: str = "", peers: Iterable[str] = ()) -> str:
    """When and on what the figures were taken, for a section's first line:
    with the data set they were measured on and the versions of the peers."""
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    text = f"{stamp}, {machine()}, shared machine, load average {load} at the end"
    if data_set:
        text += f"; data: {data_set}"
    versions = peer_versions(peers)
    return text + (f"; peers: {versions}" if versions else "")


def machine() -> str:
    return f"{cpu_model()}, {os.cpu_count()} cores"


def peer_versions(distributions: Iterable[str]) -> str:
    """``"pandas 2.2.3, duckdb 1.1.0"``: the installed version of each distribution."""
    found = []
    for name in distributions:
        try:
            found.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            found.append(f"{name} absent")
    return ", ".join(found)


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def replace_section(path: Path, heading: str, body: str) -> None:
    """Writes the section ``heading`` (a ``## `` line) with ``body`` in place of
    the one ``path`` has, or at its end."""
    old = path.read_text() if path.exists() else "# Benchmark results\n"
    before, _, rest = old.partition(heading)
    after = rest[rest.find("\n## ") + 1:] if "\n## " in rest else ""
    path.write_text(before.rstrip("\n") + "\n\n" + f"{heading}\n\n{body}\n\n" + after)


def source_state() -> str:
    """The commit measured, and whether the sources differ from it."""
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=Path(__file__).parent, capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt"], cwd=Path(__file__).parent,
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown (no git)"
    return f"commit {commit}" + (" with uncommitted changes in src/" if dirty else "")


def verdict_word(target: str, met: bool) -> str:
    """How a results file states a verdict whose target text shows its figure."""
    if target.startswith("moved"):  # the ledger left the figure out: neither met nor missed
        return "unsettled"
    return "met" if met else "**missed**"


class Ledger:
    """The figures of a section's previous run on this machine, kept in a JSON
    file beside the results file, and the rule that a new figure is written
    only if it reproduces: within ``REPRODUCE_WITHIN`` of the previous run's.

    ``cell`` gives a figure's text as the table shows it: as it is when it
    reproduced, marked "*" when there is no previous run to confirm it, and
    left out ("moved") when it moved further; ``notes`` says which moved and
    by how much.  ``save`` keeps this run's figures for the next run."""

    def __init__(self, results: Path | None, section: str) -> None:
        self.path = (results or Path(__file__).with_name("RESULTS.md")).with_suffix(".json")
        self.section = section
        self.machine = machine()
        try:
            stored = json.loads(self.path.read_text())
        except (OSError, ValueError):
            stored = {}
        entry = stored.get(section, {})
        self.previous: dict[str, float] = entry.get("figures", {}) if entry.get("machine") == self.machine else {}
        self.figures: dict[str, float] = {}
        self.moved: list[tuple[str, float, float]] = []
        self.unconfirmed = 0

    def cell(self, key: str, value: float, text: str) -> str:
        self.figures[key] = value
        before = self.previous.get(key)
        if before is None or before == 0:
            self.unconfirmed += 1
            return f"{text}\\*"
        if abs(value / before - 1) > REPRODUCE_WITHIN:
            self.moved.append((key, before, value))
            return "moved"
        return text

    def notes(self) -> str:
        lines = []
        if self.unconfirmed:
            lines.append(f"\\* {self.unconfirmed} figures have no earlier run on this machine to confirm them: "
                         "run the benchmark again before relying on them.")
        if self.moved:
            lines.append(f"Left out, as they moved more than {REPRODUCE_WITHIN:.0%} from the previous run: "
                         + "; ".join(f"{key} {before:.4g} then {now:.4g}" for key, before, now in self.moved) + ".")
        return "\n\n".join(lines)

    def save(self) -> None:
        try:
            stored = json.loads(self.path.read_text())
        except (OSError, ValueError):
            stored = {}
        stored[self.section] = {"machine": self.machine, "figures": self.figures}
        self.path.write_text(json.dumps(stored, indent=1, sort_keys=True) + "\n")
