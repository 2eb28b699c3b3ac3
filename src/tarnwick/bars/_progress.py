"""A progress bar on standard error for long conversions: tqdm's when it is
installed (the ``progress`` extra), a plain one otherwise."""

from __future__ import annotations

import sys
import time
from typing import Protocol, TextIO

AUTO_THRESHOLD = 4 << 20
"""Input size in bytes from which a conversion on a terminal shows progress."""


class Progress(Protocol):
    def update(self, amount: int) -> None: ...
    def close(self) -> None: ...


def is_silent(meter: Progress) -> bool:
    """Whether ``meter`` shows nothing, so that work it would count need not be counted."""
    return isinstance(meter, _Silent)


class _Silent:
    def update(self, amount: int) -> None:
        pass

    def close(self) -> None:
        pass


class _Plain:
    """Rewrites one line with the percentage done, at most ten times a second."""

    def __init__(self, total: int, label: str, stream: TextIO) -> None:
        self._total = max(total, 1)
        self._label = label
        self._stream = stream
        self._done = 0
        self._shown = -1.0

    def update(self, amount: int) -> None:
        self._done += amount
        now = time.monotonic()
        if now - self._shown >= 0.1:
            self._shown = now
            self._draw()

    def _draw(self) -> None:
        percent = min(100, self._done * 100 // self._total)
        self._stream.write(f"\r{self._label}: {percent:3d}%")
        self._stream.flush()

    def close(self) -> None:
        self._done = self._total
        self._draw()
        self._stream.write("\n")
        self._stream.flush()


class _Tqdm:
    def __init__(self, total: int, label: str, unit: str, stream: TextIO) -> None:
        from tqdm import tqdm

        self._bar = tqdm(total=total, desc=label, unit=unit, unit_scale=True, file=stream, leave=False)

    def update(self, amount: int) -> None:
        self._bar.update(amount)

    def close(self) -> None:
        self._bar.close()


def progress(total: int, label: str, *, unit: str = "B", enabled: bool | None = None,
             stream: TextIO | None = None) -> Progress:
    """A progress bar over ``total`` units, or one that shows nothing.

    ``enabled`` None means: show it when the stream is a terminal and the
    work is at least ``AUTO_THRESHOLD`` bytes.
    """
    stream = sys.stderr if stream is None else stream
    if enabled is None:
        enabled = unit == "B" and total >= AUTO_THRESHOLD and stream.isatty()
    if not enabled:
        return _Silent()
    try:
        return _Tqdm(total, label, unit, stream)
    except ImportError:
        return _Plain(total, label, stream)
