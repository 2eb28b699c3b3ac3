"""Regressions of the native core: views under the cycle collector, sub-interpreters, and failed
re-initialisation.  Cases that could crash the interpreter run in a fresh one."""

import datetime as dt
import subprocess
import sys
import textwrap

import pytest

from tarnwick.base.candlestick import BarData, DailyBar

PRELUDE = """\
import gc
from tarnwick.base.candlestick import BarData
RECORD = bytes(memoryview(BarData("ABC", 1000.0, 2.0, 1.0, 1.5, 1.8, bar_span=60)))
"""


def run(code, prelude=PRELUDE):
    """Runs the code in a new interpreter, which must exit cleanly; returns what it printed."""
    result = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    return result.stdout


# ---- views under the cycle collector -------------------------------------------------


def test_collector_never_releases_the_memory_under_a_view():
    # The bar's exporter is a memoryview whose own exporter runs code when released: the
    # collector must not release it while the bar still reads the memory.
    printed = run("""
        class Reader:
            def __init__(self, bar): self.bar = bar
            def __del__(self): print(self.bar.close_price)
        class Exporter:
            def __buffer__(self, flags): return memoryview(bytearray(RECORD))
            def __release_buffer__(self, view): self.reader = Reader(self.bar)
        e = Exporter(); gc.collect(0)
        m = memoryview(e); bar = BarData.from_buffer(m); e.bar = bar
        del e, m, bar; gc.collect()
    """)
    assert printed in ("", "1.8\n")


def test_cycle_through_a_view_bars_own_attributes_is_collected_and_releases_the_exporter():
    printed = run("""
        class Exporter:
            def __buffer__(self, flags): return memoryview(bytearray(RECORD))
            def __release_buffer__(self, view): print("released", bytes(view) == RECORD)
        class Sub(BarData): pass
        bar = Sub.from_buffer(Exporter()); bar.me = bar; shown = memoryview(bar)
        del bar; gc.collect(); print("alive", shown[0])
        del shown; gc.collect(); print("end")
    """)
    assert printed == "alive 40\nreleased True\nend\n"
