"""BarData byte forms: buffer export, from_bytes, from_buffer views, copying and the refusal of pickling."""

import array
import copy
import ctypes
import gc
import pickle
import struct
import sys

import pytest
from hypothesis import given, strategies as st

from kit.layout import OFFSETS, RECORD as LAYOUT
from kit.objects import NotABar, SubBar
from tarnwick.base.candlestick import BarData

FLOAT_OFFSETS = {key: OFFSETS[key] for key in ("high_price", "low_price", "open_price", "close_price", "volume",
                                               "notional")}
PRICES = ("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2)
NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"
OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"

PyObject_GetBuffer = ctypes.pythonapi.PyObject_GetBuffer
PyObject_GetBuffer.argtypes = (ctypes.py_object, ctypes.c_void_p, ctypes.c_int)
PyObject_GetBuffer.restype = ctypes.c_int
PyBUF_WRITABLE = 0x0001


def make_bar(cls=BarData, **kwargs):
    kwargs.setdefault("bar_span", 60)
    return cls(*PRICES, volume=1500.0, notional=15300.0, trade_count=12, **kwargs)


def image(bar):
    return bytes(memoryview(bar))


IMAGE = image(make_bar())


class NoInit(BarData):
    def __init__(self, *args, **kwargs):
        raise AssertionError("__init__ must not run")


def test_export_is_a_read_only_view_of_the_record():
    bar = make_bar()
    view = memoryview(bar)
    assert (view.readonly, view.nbytes, len(view), view.format, view.ndim, view.itemsize, view.shape) == (
        True, 101, 101, "B", 1, 1, (101,))
    assert view.obj is bar
    assert LAYOUT.unpack(view) == (40, b"ABC" + b"\0" * 29, 1000.0, 60.0, 10.5, 9.8, 10.0, 10.2, 1500.0, 15300.0,
                                   12)
    with pytest.raises(TypeError):
        view[73] = 0
    with pytest.raises((TypeError, BufferError)):
        ctypes.c_char.from_buffer(bar)
    request = ctypes.create_string_buffer(256)  # room for a Py_buffer
    with pytest.raises(BufferError):  # the request fails, so nothing is left to release
        PyObject_GetBuffer(bar, ctypes.addressof(request), PyBUF_WRITABLE)
    assert image(bar) == IMAGE


def test_exported_view_sees_later_writes_and_keeps_the_bar_alive():
    bar = make_bar()
    view = memoryview(bar)
    bar["close_price"] = 10.3
    bar["trade_count"] = 99
    del bar
    gc.collect()
    assert struct.unpack_from("<d", view, 73)[0] == 10.3 and struct.unpack_from("<I", view, 97)[0] == 99


def test_uninitialised_bar_can_be_neither_exported_nor_copied():
    with pytest.raises(ValueError) as exc:
        memoryview(BarData.__new__(BarData))
    assert str(exc.value) == "Cannot get buffer from uninitialized data"
    with pytest.raises(ValueError) as exc:
        copy.copy(BarData.__new__(BarData))
    assert str(exc.value) == "Cannot copy uninitialized data"


def test_from_bytes_owns_a_copy_of_the_first_record():
    data = IMAGE + image(make_bar(bar_span=5))
    refs = sys.getrefcount(data)
    bar = BarData.from_bytes(data)
    assert type(bar) is BarData and bar._owner == 1 and image(bar) == IMAGE
    assert (bar.ticker, bar.timestamp, bar.bar_span_seconds, bar.close_price, bar.trade_count) == (
        "ABC", 1000.0, 60.0, 10.2, 12)
    bar["close_price"] = 1.0
    assert data[:101] == IMAGE and sys.getrefcount(data) == refs


@pytest.mark.parametrize("data, error, message", [
    (bytearray(IMAGE), TypeError, "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (memoryview(IMAGE), TypeError, "Argument 'data' has incorrect type (expected bytes, got memoryview)"),
    (type("BytesSub", (bytes,), {})(IMAGE), TypeError,
     "Argument 'data' has incorrect type (expected bytes, got BytesSub)"),
    (101, TypeError, "Argument 'data' has incorrect type (expected bytes, got int)"),
    (None, TypeError, "expected bytes, NoneType found"),
    (b"", ValueError, None), (b"x", ValueError, None), (IMAGE[:41], ValueError, None), (IMAGE[:100], ValueError, None),
])
def test_from_bytes_refusals(data, error, message):
    with pytest.raises(error) as exc:
        BarData.from_bytes(data)
    assert message is None or str(exc.value) == message


@pytest.mark.parametrize("exporter", [
    lambda: bytearray(IMAGE), lambda: IMAGE, lambda: array.array("B", IMAGE), lambda: memoryview(IMAGE).cast("c"),
    lambda: memoryview(bytearray(IMAGE)).cast("?"), lambda: bytearray(IMAGE + IMAGE),
    lambda: memoryview(bytearray(IMAGE)).toreadonly(),
], ids=["bytearray", "bytes", "array-B", "format-c", "format-?", "longer", "readonly-view"])
def test_from_buffer_reads_in_place(exporter):
    bar = BarData.from_buffer(exporter())
    assert type(bar) is BarData and bar._owner == 0 and image(bar) == IMAGE
    assert (bar.ticker, bar.close_price, bar.trade_count) == ("ABC", 10.2, 12)


def test_view_shares_memory_both_ways():
    second_image = image(make_bar(bar_span=3600))
    buffer = bytearray(IMAGE + second_image)
    bar, second = BarData.from_buffer(buffer), BarData.from_buffer(memoryview(buffer)[101:])
    buffer[73:81] = struct.pack("<d", 42.5)
    assert (bar.close_price, bar["close_price"], bar.market_price, second.close_price) == (42.5, 42.5, 42.5, 10.2)
    assert (bar.bar_type, second.bar_type) == ("Minute", "Hourly")
    bar["high_price"] = 50.0
    second["trade_count"] = 7
    assert struct.unpack_from("<d", buffer, 49)[0] == 50.0 and struct.unpack_from("<I", buffer, 101 + 97)[0] == 7
    assert buffer[:49] == IMAGE[:49] and buffer[81:101] == IMAGE[81:] and buffer[101:198] == second_image[:97]


@pytest.mark.parametrize("exporter", [lambda: IMAGE, lambda: memoryview(bytearray(IMAGE)).toreadonly()],
                         ids=["bytes", "readonly-view"])
def test_read_only_exporter_refuses_item_assignment(exporter):
    source = exporter()
    bar = BarData.from_buffer(source)
    for key, value in (("close_price", 1.0), ("trade_count", 1)):
        with pytest.raises(TypeError):
            bar[key] = value
    assert bytes(source) == IMAGE and image(bar) == IMAGE


def test_view_pins_its_exporter_until_it_dies():
    buffer = bytearray(IMAGE)
    refs = sys.getrefcount(buffer)
    bar = BarData.from_buffer(buffer)
    assert sys.getrefcount(buffer) > refs
    with pytest.raises(BufferError):
        buffer.extend(b"x")
    del bar
    gc.collect()
    assert sys.getrefcount(buffer) == refs
    buffer.extend(b"x")
    # The caller's references may go: the bars keep reading the memory they were made over.
    bar = BarData.from_buffer(bytearray(IMAGE))
    offset_bar = BarData.from_buffer(memoryview(bytearray(IMAGE + IMAGE))[101:])
    gc.collect()
    assert image(bar) == image(offset_bar) == IMAGE and bar.close_price == offset_bar.close_price == 10.2


@pytest.mark.parametrize("source, error, message", [
    (b"", IndexError, OUT_OF_BOUNDS), (None, IndexError, OUT_OF_BOUNDS), (bytearray(), IndexError, OUT_OF_BOUNDS),
    (memoryview(bytearray(202)).cast("B", shape=[2, 101]), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (memoryview(bytearray(1)).cast("B", shape=[]), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
def test_from_buffer_refusals_with_fixed_messages(source, error, message):
    with pytest.raises(error) as exc:
        BarData.from_buffer(source)
    assert str(exc.value) == message


@pytest.mark.parametrize("typecode", ["b", "h", "H", "i", "q", "f", "d"])
def test_from_buffer_refuses_items_other_than_unsigned_bytes(typecode):
    with pytest.raises(ValueError) as exc:
        BarData.from_buffer(array.array(typecode, bytes(128)))
    assert str(exc.value).startswith("Buffer dtype mismatch, expected ") and "const unsigned char" in str(exc.value)


@pytest.mark.parametrize("source", [
    b"x", bytearray(100), IMAGE[:100], memoryview(bytearray(300))[::2], memoryview(bytearray(202))[::-1],
    memoryview(bytearray(IMAGE + IMAGE))[102:], 42, "ABC", object(),
], ids=["one-byte", "100-bytes", "short-bytes", "strided", "reversed", "short-tail", "int", "str", "object"])
def test_from_buffer_refuses_short_scattered_or_no_memory(source):
    with pytest.raises(ValueError if hasattr(source, "__buffer__") else TypeError):
        BarData.from_buffer(source)


@pytest.mark.parametrize("call", [
    lambda b: BarData.from_buffer(b[:50]), lambda b: BarData.from_buffer(b[:0]), lambda b: NotABar.from_buffer(b),
], ids=["short", "empty", "not-a-bar"])
def test_failed_from_buffer_releases_the_exporter(call):
    buffer = bytearray(IMAGE)
    view = memoryview(buffer)
    refs = sys.getrefcount(buffer)
    with pytest.raises((ValueError, IndexError, TypeError)):
        call(view)
    gc.collect()
    view.release()  # would raise BufferError if a slice of it were still exported
    assert sys.getrefcount(buffer) == refs - 1
    buffer.extend(b"x")


@pytest.mark.parametrize("cls", [SubBar, NoInit])
def test_class_methods_build_the_class_they_are_called_on(cls):
    owned, view = cls.from_bytes(IMAGE), cls.from_buffer(bytearray(IMAGE))
    assert (type(owned), type(view), owned._owner, view._owner) == (cls, cls, 1, 0)
    assert image(owned) == image(view) == IMAGE


@pytest.mark.parametrize("call", [
    lambda: NotABar.from_bytes(IMAGE), lambda: NotABar.from_buffer(bytearray(IMAGE)),
    lambda: NotABar.from_buffer(b""), lambda: NotABar.from_bytes(None),
])
def test_allocator_returning_another_type(call):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value).startswith("Cannot convert int to ")


def test_class_methods_are_bound_and_take_keywords():
    assert BarData.from_bytes.__self__ is BarData and SubBar.from_buffer.__self__ is SubBar
    assert image(BarData.from_bytes(data=IMAGE)) == image(BarData.from_buffer(buffer=bytearray(IMAGE))) == IMAGE
    assert type(make_bar(SubBar).from_bytes(IMAGE)) is SubBar


@pytest.mark.parametrize("call", [
    lambda: BarData.from_bytes(), lambda: BarData.from_bytes(IMAGE, IMAGE), lambda: BarData.from_bytes(buffer=IMAGE),
    lambda: BarData.from_bytes(IMAGE, data=IMAGE), lambda: BarData.from_buffer(),
    lambda: BarData.from_buffer(IMAGE, IMAGE), lambda: BarData.from_buffer(data=IMAGE),
])
def test_class_method_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_copy_is_independent_and_owning():
    source = make_bar(foo=1)
    duplicate = copy.copy(source)
    assert type(duplicate) is BarData and duplicate._owner == 1 and image(duplicate) == IMAGE
    duplicate["close_price"] = 1.0
    assert source.close_price == 10.2
    assert not hasattr(duplicate, "foo")  # extra attributes are not carried over
    assert type(copy.copy(make_bar(SubBar))) is BarData


def test_copy_of_a_view_no_longer_depends_on_the_exporter():
    buffer = bytearray(IMAGE)
    refs = sys.getrefcount(buffer)
    view = BarData.from_buffer(buffer)
    duplicate = view.__copy__()
    assert duplicate._owner == 1
    buffer[73:81] = struct.pack("<d", 1.0)
    assert (view.close_price, duplicate.close_price) == (1.0, 10.2)
    del view
    gc.collect()
    assert sys.getrefcount(buffer) == refs
    buffer.extend(bytes(1000))
    assert image(duplicate) == IMAGE


@pytest.mark.parametrize("call", [
    *[lambda bar, protocol=protocol: pickle.dumps(bar, protocol) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)],
    copy.deepcopy, lambda bar: bar.__reduce__(), lambda bar: bar.__reduce_ex__(2), lambda bar: bar.__setstate__({}),
])
@pytest.mark.parametrize("bar", [make_bar(), BarData.from_buffer(IMAGE), make_bar(SubBar)],
                         ids=["owning", "view", "subclass"])
def test_pickling_is_refused(call, bar):
    with pytest.raises(TypeError) as exc:
        call(bar)
    assert str(exc.value) == NO_REDUCE
    with pytest.raises(TypeError) as exc:
        bar.__setstate__()
    assert str(exc.value) != NO_REDUCE  # exactly one argument


bits = st.integers(0, 2**64 - 1).map(lambda n: struct.pack("<Q", n))


@given(head=st.binary(min_size=41, max_size=41), floats=st.lists(bits, min_size=7, max_size=7),
       count=st.integers(0, 2**32 - 1), tail=st.binary(max_size=40))
def test_any_record_round_trips(head, floats, count, tail):
    record = head + b"".join(floats) + struct.pack("<I", count)
    view = BarData.from_buffer(bytearray(record + tail))
    for bar in (BarData.from_bytes(record + tail), view, copy.copy(view), BarData.from_bytes(image(view))):
        assert image(bar) == record
        assert struct.pack("<d", bar.bar_span_seconds) == record[41:49]
        for key, offset in FLOAT_OFFSETS.items():
            assert struct.pack("<d", bar[key]) == struct.pack("<d", getattr(bar, key)) == record[offset:offset + 8]
        assert bar.trade_count == bar["trade_count"] == count


@given(key=st.sampled_from(sorted(FLOAT_OFFSETS)),
       value=st.floats() | bits.map(lambda b: struct.unpack("<d", b)[0]))
def test_any_float_written_reads_back_exactly(key, value):
    packed, offset = struct.pack("=d", value), FLOAT_OFFSETS[key]
    buffer = bytearray(IMAGE)
    for bar in (make_bar(), BarData.from_buffer(buffer)):
        bar[key] = value
        assert struct.pack("<d", bar[key]) == struct.pack("<d", getattr(bar, key)) == packed
        assert image(bar)[offset:offset + 8] == packed
    assert buffer[offset:offset + 8] == packed
