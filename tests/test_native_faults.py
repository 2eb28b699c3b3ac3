"""Regressions of the native core: views under the cycle collector, sub-interpreters, failed
re-initialisation, and numbers the resampling pass must refuse before it casts them.  Cases that
could crash the interpreter run in a fresh one."""

import array
import datetime as dt
import subprocess
import sys
import textwrap

import pytest

from resample_kit import records
from tarnwick.base.candlestick import BarData, DailyBar
from tarnwick.bars import ResampleError, _bucketing, resample

PRELUDE = """\
import gc
from tarnwick.base.candlestick import BarData
RECORD = bytes(memoryview(BarData("ABC", 1000.0, 2.0, 1.0, 1.5, 1.8, bar_span=60)))
"""


def run(*pieces, prelude=PRELUDE):
    """Runs the pieces of code in a new interpreter, which must exit cleanly; returns what it printed."""
    code = prelude + "".join(textwrap.dedent(piece) for piece in pieces)
    result = subprocess.run([sys.executable, "-c", code],
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


def test_collector_clearing_a_view_bar_keeps_the_memory_under_its_memoryviews():
    # While the collector clears the first bar, a memoryview of it is still alive in the same
    # garbage; the second exporter's release then reads that memoryview (found by its id, as
    # no reference the collector sees may lead to it).
    printed = run("""
        import ctypes
        class Exporter:
            def __buffer__(self, flags): return memoryview(bytearray(RECORD))
            def __release_buffer__(self, view):
                if hasattr(self, "target"):
                    print(bytes(ctypes.cast(self.target, ctypes.py_object).value[73:81]) == RECORD[73:81])
        class Sub(BarData): pass
        first, second = Exporter(), Exporter()
        bar = Sub.from_buffer(first); bar.me = bar
        other = Sub.from_buffer(second); other.me = other
        keeper = [memoryview(bar)]; keeper.append(keeper)
        second.target = id(keeper[0])
        del first, second, bar, other, keeper; gc.collect()
    """)
    assert printed in ("", "True\n")


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


# ---- sub-interpreters ---------------------------------------------------------------

INTERPRETERS = """\
import _interpreters

CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

def import_in(kind, module):
    \"\"\"Imports the module in a new interpreter of the kind, uses what it got, and returns the failure.\"\"\"
    interpreter = _interpreters.create(_interpreters.new_config(kind))
    try:
        return _interpreters.run_string(interpreter, f\"\"\"if True:
            import {module}
            from tarnwick.base.market_data import MarketData
            for cls in MarketData.__subclasses__():
                bar = cls.from_bytes(bytes(101))
                bar.market_time, bar.bar_end_time, bar.bar_start_time
        \"\"\")
    finally:
        _interpreters.destroy(interpreter)

def check_refused(failure, kind):
    assert failure is not None and failure.type.__name__ == "ImportError", failure
    assert kind == "isolated" or failure.msg == CHANGE, failure.msg
"""

MAIN_USES_BARS = """
import tarnwick.base.candlestick as m
bar = m.BarData("ABC", 1000.0, 2.0, 1.0, 1.5, 1.8, bar_span=60)
assert bar.market_time.year == 1970 and bar.bar_end_time == bar.market_time
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
@pytest.mark.parametrize("module", ["tarnwick.base.market_data", "tarnwick.base.candlestick"])
def test_sub_interpreter_after_the_main_one_is_refused(kind, module):
    run(MAIN_USES_BARS, f"""
        check_refused(import_in({kind!r}, {module!r}), {kind!r})
        check_refused(import_in({kind!r}, {module!r}), {kind!r})  # and again, with the same answer
    """, MAIN_USES_BARS, prelude=INTERPRETERS)


def test_legacy_sub_interpreter_first_binds_the_modules_and_the_main_one_is_refused():
    run("""
        assert import_in("legacy", "tarnwick.base.candlestick") is None
        for module in ("tarnwick.base.market_data", "tarnwick.base.candlestick"):
            try:
                __import__(module)
            except ImportError as error:
                assert str(error) == CHANGE, error
            else:
                raise AssertionError(f"{module} imported into a second interpreter")
    """, prelude=INTERPRETERS)


def test_isolated_sub_interpreter_first_leaves_the_modules_to_the_main_one():
    run("""
        check_refused(import_in("isolated", "tarnwick.base.candlestick"), "isolated")
        check_refused(import_in("isolated", "tarnwick.base.market_data"), "isolated")
    """, MAIN_USES_BARS, prelude=INTERPRETERS)


# ---- failed re-initialisation ------------------------------------------------------------

DAY = dt.date(2024, 1, 5)
BAD_REINIT = {
    "long-ticker": dict(ticker="X" * 33),
    "nul-ticker": dict(ticker="A\0B"),
    "bad-span": dict(bar_span="soon"),
    "bad-price": dict(high_price="high"),
    "no-span": dict(bar_span=None),
}


def make(cls, **changes):
    arguments = dict(ticker="ABC", high_price=2.0, low_price=1.0, open_price=1.5, close_price=1.8, volume=9.0,
                     trade_count=7, bar_span=5 if cls is DailyBar else 60)
    arguments.update({"market_date": DAY} if cls is DailyBar else {"timestamp": 1000.0})
    arguments.update(changes)
    return arguments


@pytest.mark.parametrize("cls", [BarData, DailyBar])
@pytest.mark.parametrize("bad", BAD_REINIT.values(), ids=BAD_REINIT.keys())
@pytest.mark.parametrize("extra", [{}, {"other": "extra"}], ids=["direct", "extra-keyword"])
def test_failed_reinitialisation_changes_nothing(cls, bad, extra):
    bar = cls(**make(cls, venue="XNAS"))
    shown = memoryview(bar)
    before, text = bytes(shown), repr(bar)
    with pytest.raises((ValueError, TypeError)):
        bar.__init__(**make(cls, **extra, **{"ticker": "NEW", **bad}))
    assert bytes(memoryview(bar)) == bytes(shown) == before
    assert repr(bar) == text and bar.venue == "XNAS" and not hasattr(bar, "other")
    bar.__init__(**make(cls, ticker="NEW"))  # a good call still refills the same record
    assert bar.ticker == "NEW" and shown[1:4] == b"NEW"


# ---- many views over one pin -----------------------------------------------------------

RECORD = bytes(memoryview(BarData("ABC", 1000.0, 2.0, 1.0, 1.5, 1.8, bar_span=60)))


def test_views_share_one_pin_that_holds_the_memory_until_the_last_bar_dies():
    memory = bytearray(b"x" + RECORD * 3)
    pin = BarData._pin(memory)
    bars = [BarData._from_pin(pin, 1 + 101 * i) for i in range(3)]
    daily = DailyBar._from_pin(pin, 1)
    assert type(daily) is DailyBar and daily._owner == 0 and daily.ticker == "ABC"
    bars[2]["close_price"] = 9.5  # writes into the memory in place
    assert BarData.from_bytes(bytes(memory[203:])).close_price == 9.5 and bars[0].close_price == 1.8
    del pin, daily, bars[:2]
    with pytest.raises(BufferError):
        memory.extend(b"x")
    del bars
    memory.extend(b"x")


@pytest.mark.parametrize("offset", [-1, 102, 2**70, "0", 1.0])
def test_from_pin_refuses_offsets_without_a_whole_record(offset):
    pin = BarData._pin(RECORD * 2)
    with pytest.raises((IndexError, TypeError)):
        BarData._from_pin(pin, offset)
    assert BarData._from_pin(pin, 101).close_price == 1.8


def test_pin_refusals_and_read_only_memory():
    for exporter, error in [(memoryview(bytearray(202))[::2], ValueError), (42, TypeError),
                            (memoryview(bytearray(202)).cast("H"), ValueError)]:
        with pytest.raises(error):
            BarData._pin(exporter)
    with pytest.raises(TypeError):
        BarData._from_pin(memoryview(RECORD), 0)
    with pytest.raises(TypeError, match="read-only"):
        BarData._from_pin(BarData._pin(RECORD), 0)["close_price"] = 1.0


# ---- numbers the resampling pass refuses before it casts them ------------------------------
# Each was cast to an integer it does not fit (undefined: the sanitizer build's
# float-cast-overflow check stops the process); the release build gave wrong dates.

def resample_one_minute_bar(unit="d", count=1, transitions=(), offsets=(0.0,)):
    """The native pass over one bar, given its arguments as they are, past the Python side's checks."""
    return _bucketing.resample(records([1.7e9]).tobytes(), unit, count, 0.0, -1.0, -1.0, False, False,
                               array.array("d", transitions), array.array("d", offsets), -float("inf"), float("inf"))


@pytest.mark.parametrize("span", [1e300, 2.0**63, 2.0**64, 739041.0])  # 739041 days: just before 0001-01-01
def test_daily_span_past_the_calendar_is_refused_by_record(span):
    with pytest.raises(ResampleError, match=r"record 0 \(ABC\) ends on 2024-06-03 and spans .* days, so it would "
                                            r"start before 0001-01-01"):
        resample(records([20240603.0], span), "1d", kind="daily")


@pytest.mark.parametrize("unit, count, message", [
    ("d", 2**63, "bucket of more than 9223372036854775807 days is longer than the calendar"),
    ("s", 2**200, "seconds is longer than the calendar"),
    ("s", 2**62, "bucket of 4611686018427387904 seconds is longer than the calendar"),
    ("mo", -(2**70), "positive count"),
    ("w", 0, "positive count"),
])
def test_counts_that_do_not_fit_are_refused(unit, count, message):
    with pytest.raises(ValueError, match=message):
        resample_one_minute_bar(unit, count)


@pytest.mark.parametrize("transitions, offsets, message", [
    ((), (1e300,), "offset of 1e.300 s, not less than a day"),
    ((), (float("nan"),), "offset of nan s"),
    ((1.7e9,), (0.0, -86400.0), "offset of -86400 s"),
    ((1.7e9, 1.6e9), (0.0, 3600.0, 0.0), "transitions are not finite and in order"),
    ((float("nan"),), (0.0, 3600.0), "transitions are not finite and in order"),
    ((1.7e9,), (0.0,), "one offset more than transitions"),
])
def test_zone_tables_that_do_not_fit_are_refused(transitions, offsets, message):
    with pytest.raises(ValueError, match=message):
        resample_one_minute_bar(transitions=transitions, offsets=offsets)
