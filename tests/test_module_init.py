"""Import of tarnwick.base.candlestick: process-wide, so every case runs in a fresh interpreter."""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

PRELUDE = """\
import importlib, sys, types, warnings
import tarnwick.base.market_data as real_market_data
import tarnwick.profile as real_profile
import typing as real_typing
from tarnwick.base.market_data import DataType, MarketData

def stand_in(name, **attributes):
    module = types.ModuleType(name)
    vars(module).update(attributes)
    sys.modules[name] = module
    return module

def restore():
    sys.modules["tarnwick.base.market_data"] = real_market_data
    sys.modules["tarnwick.profile"] = real_profile
    sys.modules["typing"] = real_typing

SIZE_MESSAGE = ("tarnwick.base.market_data.MarketData size changed, may indicate binary incompatibility. "
                "Expected 48 from C header, got %d from PyObject")

def check_bar(m):
    bar = m.BarData("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0, notional=15300.0, bar_span=60)
    assert (bar.ticker, bar.high_price, bar.close_price, bar.volume) == ("ABC", 10.5, 10.2, 1500.0)
    assert bytes(memoryview(bar))[0] == 40
    assert repr(bar).startswith("<BarData>(")
"""


def run(code):
    """Runs the prelude and the code in a new interpreter, which must exit cleanly and silently."""
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert (result.stdout, result.stderr) == ("", "")


# ---- a good import -------------------------------------------------------------


def test_module_names_and_attributes():
    run("""
        import typing
        import tarnwick.base.candlestick as m
        names = [n for n in vars(m) if not n.startswith("__")]
        assert names in (["BarData", "Literal", "PROFILE"], ["BarData", "Literal", "PROFILE", "DailyBar"]), names
        assert m.Literal is typing.Literal and m.PROFILE is real_profile.PROFILE
        assert m.__name__ == "tarnwick.base.candlestick" and m.__package__ == "tarnwick.base"
        assert m.__file__ == m.__spec__.origin and m.__loader__ is m.__spec__.loader
        assert m.__doc__ is None and not hasattr(m, "__path__")
        assert sys.modules["tarnwick.base.candlestick"] is m
    """)


def test_bar_data_class():
    run("""
        from tarnwick.base.candlestick import BarData
        assert BarData._dtype is DataType.DTYPE_BAR and BarData.__base__ is MarketData
        assert (BarData.__module__, BarData.__name__, BarData.__qualname__) == (
            "tarnwick.base.candlestick", "BarData", "BarData")

        # Class methods, bound to the class they are called on.
        assert BarData.from_bytes.__self__ is BarData and BarData.from_buffer.__self__ is BarData
        class Sub(BarData):
            pass
        assert type(Sub.from_bytes(bytes(101))) is Sub and type(Sub.from_buffer(bytearray(101))) is Sub

        # Immutable from interpreter code.
        for action in (lambda: setattr(BarData, "x", 1), lambda: delattr(BarData, "from_bytes"),
                       lambda: setattr(BarData, "_dtype", 40)):
            try:
                action()
            except TypeError:
                pass
            else:
                raise AssertionError("class attribute changed")
        assert not hasattr(BarData, "x") and BarData._dtype is DataType.DTYPE_BAR

        # Slot docstrings of its own; the wrappers of other classes keep theirs.
        assert BarData.__init__.__doc__ == "Initialize the bar data with values."
        assert BarData.__repr__.__doc__ == "String representation of the bar data."
        assert MarketData.__init__.__doc__ == object.__init__.__doc__ == (
            "Initialize self.  See help(type(self)) for accurate signature.")
        assert MarketData.__repr__.__doc__ == object.__repr__.__doc__ == "Return repr(self)."
        check_bar(sys.modules["tarnwick.base.candlestick"])
    """)


def test_reload_and_reimport_give_the_same_module():
    run("""
        import tarnwick.base.candlestick as m
        BarData = m.BarData
        assert importlib.reload(m) is m and m.BarData is BarData
        del sys.modules["tarnwick.base.candlestick"]
        import tarnwick.base.candlestick as again
        assert again is m and again.BarData is BarData
        assert sys.modules["tarnwick.base.candlestick"] is m
        check_bar(m)
    """)


# ---- record kinds without DataType ------------------------------------------------

WITHOUT_DATA_TYPE = {
    "missing": 'stand_in("tarnwick.base.market_data", MarketData=MarketData)',
    "import error subclass": """
        def refuse(name):
            if name == "DataType":
                raise ModuleNotFoundError("no enum here")
            raise AttributeError(name)
        stand_in("tarnwick.base.market_data", MarketData=MarketData, __getattr__=refuse)
    """,
}


@pytest.mark.parametrize("setup", WITHOUT_DATA_TYPE.values(), ids=WITHOUT_DATA_TYPE.keys())
def test_without_data_type_one_warning_and_plain_code(setup):
    run(textwrap.dedent(setup) + """
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import tarnwick.base.candlestick as m
assert [w.category for w in caught] == [UserWarning], caught
assert str(caught[0].message).startswith(
    "enum class DataType not importable from tarnwick.base.market_data."), caught[0].message
assert m.BarData._dtype == 40 and type(m.BarData._dtype) is int
assert "DataType" not in vars(m)
check_bar(m)
""")


def test_data_type_warning_as_error_fails_the_import_then_no_retry():
    run("""
        stand_in("tarnwick.base.market_data", MarketData=MarketData)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                import tarnwick.base.candlestick
            except UserWarning as error:
                assert str(error).startswith("enum class DataType not importable from tarnwick.base.market_data.")
            else:
                raise AssertionError("import succeeded")
        assert "tarnwick.base.candlestick" not in sys.modules
        # The failed DataType import is remembered: no second attempt, no second warning.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import tarnwick.base.candlestick as m
        assert caught == [] and type(m.BarData._dtype) is int and m.BarData._dtype == 40
        check_bar(m)
    """)


# ---- failed imports, each followed by a good one -----------------------------------

# Each failure: the stand-ins to put in place, the exception class, and a
# check of its text (an expression over `text`, evaluated in the child).
FAILURES = {
    "not a type": ('stand_in("tarnwick.base.market_data", MarketData=5, DataType=DataType)',
                   "TypeError", "text == 'tarnwick.base.market_data.MarketData is not a type object'"),
    "smaller": ("""
        class Small:
            pass
        stand_in("tarnwick.base.market_data", MarketData=Small, DataType=DataType)
        """, "ValueError", "text == SIZE_MESSAGE % Small.__basicsize__"),
    "no vtable": ("""
        class NoVtable:
            __slots__ = ("a", "b", "c", "d")
        assert NoVtable.__basicsize__ == 48
        stand_in("tarnwick.base.market_data", MarketData=NoVtable, DataType=DataType)
        """, "Exception", "True"),
    "vtable not a capsule": ("""
        class BadVtable(MarketData):
            __slots__ = ()
            __market_data_vtable__ = 1
        assert BadVtable.__basicsize__ == 48
        stand_in("tarnwick.base.market_data", MarketData=BadVtable, DataType=DataType)
        """, "RuntimeError", "text == 'invalid vtable found for imported type'"),
    "no Literal": ('stand_in("typing")',
                   "ImportError", "text == 'cannot import name Literal'"),
    "no PROFILE": ('stand_in("tarnwick.profile")', "ImportError", "text == 'cannot import name PROFILE'"),
    "DataType import fails otherwise": ("""
        def lookup(name):
            if name == "DataType":
                raise RuntimeError("lookup failed")
            raise AttributeError(name)
        stand_in("tarnwick.base.market_data", MarketData=MarketData, __getattr__=lookup)
        """, "RuntimeError", "text == 'lookup failed'"),
}


@pytest.mark.parametrize("setup, error, check", FAILURES.values(), ids=FAILURES.keys())
def test_failed_import_then_good_import(setup, error, check):
    run(textwrap.dedent(setup) + f"""
try:
    import tarnwick.base.candlestick
except {error} as caught:
    text = str(caught)
    assert {check}, repr(caught)
else:
    raise AssertionError("import succeeded")
assert "tarnwick.base.candlestick" not in sys.modules
restore()
import tarnwick.base.candlestick as m
assert m.BarData.__base__ is MarketData
assert m.BarData._dtype is DataType.DTYPE_BAR
check_bar(m)
""")


@pytest.fixture(scope="session")
def bigger_market_data(tmp_path_factory):
    """Directory holding the compiled stand-in module `bigger_market_data` (see stand_ins/)."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler (cc or gcc) on PATH to build the static stand-in base class")
    include = sysconfig.get_paths()["include"]
    if not os.path.isfile(os.path.join(include, "Python.h")):
        pytest.skip(f"Python headers not found in {include}")
    directory = tmp_path_factory.mktemp("stand_ins")
    target = directory / ("bigger_market_data" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = pathlib.Path(__file__).with_name("stand_ins") / "bigger_market_data.c"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in the compiler
    result = subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-I", include, str(source), "-o", str(target)],
                            capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    return directory


def test_larger_extension_base_warns_and_bars_carry_its_field(bigger_market_data):
    run(f"sys.path.insert(0, {str(bigger_market_data)!r})\n" + textwrap.dedent("""
        import copy, gc
        from bigger_market_data import Bigger
        assert Bigger.__base__ is MarketData and Bigger.__basicsize__ == 56 and Bigger.__flags__ & (1 << 14)
        stand_in("tarnwick.base.market_data", MarketData=Bigger, DataType=DataType)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import tarnwick.base.candlestick as m
        assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, SIZE_MESSAGE % 56)], caught
        BarData = m.BarData
        assert BarData.__base__ is Bigger and BarData.__basicsize__ == 56
        assert BarData._dtype is DataType.DTYPE_BAR and issubclass(m.DailyBar, Bigger)
        check_bar(m)

        # The base's field lies in every bar, apart from the record.
        bar = BarData("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0, notional=15300.0, bar_span=60)
        image = bytes(memoryview(bar))
        assert bar.extra == 0
        bar.extra = -2**63
        assert bar.extra == -2**63 and bytes(memoryview(bar)) == image and bar.close_price == 10.2
        assert repr(bar) == repr(BarData.from_bytes(image))

        source = bytearray(image)
        owned, borrowed, duplicate = BarData.from_bytes(image), BarData.from_buffer(source), copy.copy(bar)
        for each in (owned, borrowed, duplicate):
            assert type(each) is BarData and bytes(memoryview(each)) == image and each.extra == 0
        assert (owned._owner, borrowed._owner, duplicate._owner) == (1, 0, 1)
        borrowed["close_price"] = 11.0
        duplicate["volume"] = 7.0
        assert borrowed.close_price == 11.0 and bytes(source) == bytes(memoryview(borrowed)) != image
        assert bar.close_price == 10.2
        assert (duplicate.volume, bar.volume) == (7.0, 1500.0)

        # A bar in a reference cycle is collected through the inherited slots.
        collected = []
        class Witness:
            def __del__(self):
                collected.append(True)
        cycle = [Witness()]
        cycle.append(BarData("XYZ", 1.0, 2.0, 1.0, 1.5, 1.5, bar_span=60, note=cycle))
        assert cycle[1].note is cycle
        del cycle, bar, owned, borrowed, duplicate
        gc.collect()
        assert collected == [True]
    """))


def test_larger_base_made_at_run_time_is_refused_then_good_import():
    run("""
        class Bigger(MarketData):
            __slots__ = ("extra",)
        assert Bigger.__basicsize__ == 56
        stand_in("tarnwick.base.market_data", MarketData=Bigger, DataType=DataType)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                import tarnwick.base.candlestick
            except TypeError as error:
                text = str(error)
                assert text.startswith("tarnwick.base.candlestick.BarData needs a base class defined by an "
                                       "extension module") and text.endswith("(Bigger)"), text
            else:
                raise AssertionError("import succeeded")
        assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, SIZE_MESSAGE % 56)], caught
        assert "tarnwick.base.candlestick" not in sys.modules
        restore()
        import tarnwick.base.candlestick as m
        assert m.BarData.__base__ is MarketData and m.BarData.__basicsize__ == 48
        check_bar(m)
    """)


# ---- interpreters ------------------------------------------------------------------


def test_second_interpreter_is_refused():
    run("""
        import _interpreters
        import tarnwick.base.candlestick as m
        message = ("Interpreter change detected - this module can only be loaded into one interpreter "
                   "per process.")
        legacy = _interpreters.create(_interpreters.new_config("legacy"))
        try:
            failure = _interpreters.run_string(legacy, "import tarnwick.base.candlestick")
        finally:
            _interpreters.destroy(legacy)
        assert failure is not None, "import succeeded in a second interpreter"
        assert (failure.type.__name__, failure.msg) == ("ImportError", message), failure

        # The first interpreter keeps its module.
        import tarnwick.base.candlestick as again
        assert again is m
        check_bar(m)
    """)


# ---- exported symbols ----------------------------------------------------------------


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_exported_symbols():
    import tarnwick.base.candlestick as m

    listing = subprocess.run(["nm", "-D", "--defined-only", m.__file__], capture_output=True, text=True,
                             check=True).stdout
    symbols = [line.split() for line in listing.splitlines() if line.strip()]
    text = {name for _, kind, name in symbols if kind in "Tt"}
    assert text == {"PyInit_candlestick", "compare_md", "compare_md_ptr", "compare_entries_bid",
                    "compare_entries_ask"}
    others = [(kind, name) for _, kind, name in symbols if kind not in "Tt"]
    assert others == []
