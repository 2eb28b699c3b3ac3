"""Memory safety at the edges: writes into foreign memory, lookups that run code, and the record
operations table that native consumers call."""

import ctypes
import datetime as dt
import gc

import pytest

from kit.objects import SubBar
from tarnwick.base.candlestick import BarData, DailyBar
from tarnwick.base.market_data import DataType, MarketData

IMAGE = bytes(memoryview(BarData("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0, bar_span=60)))


# ---- the base initialiser on a view ------------------------------------------------


@pytest.mark.parametrize("exporter", [
    lambda: bytes(IMAGE),  # immutable, and bytes(bytes) is the very same object
    lambda: memoryview(bytearray(IMAGE)).toreadonly(),
    lambda: bytearray(IMAGE),
], ids=["bytes", "readonly-view", "bytearray"])
@pytest.mark.parametrize("cls", [BarData, SubBar, DailyBar])
def test_base_initialiser_leaves_a_view_alone(exporter, cls):
    source = exporter()
    view = cls.from_buffer(source)
    with pytest.raises(MemoryError) as exc:
        MarketData.__init__(view, ticker="XYZ", timestamp=5.0)
    assert str(exc.value) == f"Can not initialize a view of {cls.__name__}."
    assert bytes(source) == IMAGE == bytes(memoryview(view))
    with pytest.raises(MemoryError):  # extra keywords take the same road
        MarketData.__init__(view, ticker="XYZ", timestamp=5.0, venue="X")
    with pytest.raises(AttributeError):
        view.venue
    # Argument errors are still reported first, as by the constructors.
    with pytest.raises(TypeError):
        MarketData.__init__(view, ticker=5, timestamp=5.0)


# ---- extra attributes looked up by names that run code ---------------------------------


class Name(str):
    """An attribute name equal to the str it holds, whose comparison with another str can fail."""

    fail = False

    def __eq__(self, other):
        if Name.fail:
            raise LookupError("comparison failed")
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.fixture
def failing_comparison():
    Name.fail = True
    yield
    Name.fail = False


@pytest.mark.parametrize("cls", [BarData, DailyBar])
def test_extra_attribute_lookup_runs_no_code_of_the_name(cls, failing_comparison):
    args = ("ABC", dt.date(2024, 1, 5) if cls is DailyBar else 1000.0, 10.5, 9.8, 10.0, 10.2)
    bar = cls(*args, bar_span=60 if cls is BarData else 1, venue="XNAS")
    assert getattr(bar, Name("venue")) == "XNAS"
    with pytest.raises(AttributeError):
        getattr(bar, Name("nowhere"))


@pytest.mark.parametrize("cls", [BarData, DailyBar])
def test_what_pins_a_view_cannot_be_removed_through_the_collector(cls):
    memory = bytearray(bytes(memoryview(BarData("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, bar_span=60))))
    view = cls.from_buffer(memory)
    for referent in gc.get_referents(view):
        if isinstance(referent, (dict, list)):
            referent.clear()
    del referent
    gc.collect()
    with pytest.raises(BufferError):
        memory.extend(b"x")  # still pinned
    assert view.close_price == 10.2


# ---- the record operations table ------------------------------------------------------


class RecordTable(ctypes.Structure):
    """The table a class publishes under __market_data_vtable__, in slot order."""

    _fields_ = [("set_additional", ctypes.c_void_p), ("get_size", ctypes.c_void_p),
                ("min_size", ctypes.c_void_p), ("max_size", ctypes.c_void_p),
                ("to_bytes", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object))]


def record_table(cls):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.argtypes = (ctypes.py_object, ctypes.c_char_p)
    get_pointer.restype = ctypes.c_void_p
    capsule = cls.__dict__["__market_data_vtable__"]
    return RecordTable.from_address(get_pointer(capsule, b"tarnwick.base.market_data.vtable"))


@pytest.mark.parametrize("kind", [DataType.DTYPE_MARKET_DATA, DataType.DTYPE_BAR, DataType.DTYPE_TRANSACTION,
                                  DataType.DTYPE_TICK, DataType.DTYPE_INSTRUCTION])
def test_table_copies_exactly_the_bar_record_whatever_the_class_kind(kind):
    cls = type("Kinded", (BarData,), {"_dtype": kind})
    to_bytes = record_table(BarData).to_bytes
    # 101 bytes exactly, for an owned record and for a view of a 101-byte buffer alike
    for bar in (cls.from_bytes(IMAGE), cls.from_buffer(bytearray(IMAGE)), cls.from_buffer(IMAGE)):
        assert to_bytes(bar) == IMAGE
    with pytest.raises(ValueError, match="^Data not initialized$"):
        to_bytes(cls.__new__(cls))
