"""The sections of benchmarks/RESULTS.md that a benchmark other than the
main table writes: each replaces its own section, or appends it."""

from __future__ import annotations

import datetime
import os
from pathlib import Path


def circumstances() -> str:
    """When and on what the figures were taken, for a section's first line."""
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return f"{stamp}, {os.cpu_count()} cores, shared machine, load average {load} at the end"


def replace_section(path: Path, heading: str, body: str) -> None:
    """Writes the section ``heading`` (a ``## `` line) with ``body`` in place of
    the one ``path`` has, or at its end."""
    old = path.read_text() if path.exists() else "# Benchmark results\n"
    before, _, rest = old.partition(heading)
    after = rest[rest.find("\n## ") + 1:] if "\n## " in rest else ""
    path.write_text(before.rstrip("\n") + "\n\n" + f"{heading}\n\n{body}\n\n" + after)
