"""The sections of benchmarks/RESULTS.md that a benchmark other than the
main table writes (each replaces its own section, or appends it), and the
circumstances of a run: date, machine, load and sources."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
from pathlib import Path


def circumstances() -> str:
    """When and on what the figures were taken, for a section's first line."""
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return f"{stamp}, {cpu_model()}, {os.cpu_count()} cores, shared machine, load average {load} at the end"


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
