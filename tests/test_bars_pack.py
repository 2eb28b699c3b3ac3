"""The native packer of bar records: the bytes it writes, and what it refuses."""

import array
import math
import subprocess
import sys

import pytest

from tarnwick.bars._layout import RECORD_SIZE, RECORD_STRUCT
from tarnwick.bars._pack import pack

COUNT = 5


def columns(count=COUNT, start=0.0):
    return tuple(array.array("d", [start + 10 * k + i for i in range(count)]) for k in range(8))


def counts(count=COUNT):
    return array.array("I", [2**32 - 1 - i for i in range(count)])


def test_records_are_the_struct_layout_from_any_start():
    floats = columns()
    floats[6][1] = math.nan  # unknown volume stays NaN
    out = bytearray(3 * RECORD_SIZE)
    assert pack(memoryview(out), b"\xc3\xa9T" + b"X" * 29, floats, counts(), 2) == 3
    for i in range(3):
        got = RECORD_STRUCT.unpack_from(out, i * RECORD_SIZE)
        assert got[:2] == (40, ("éT" + "X" * 29).encode().ljust(32, b"\0"))
        assert got[2:10] == tuple(column[2 + i] for column in floats) and got[10] == 2**32 - 3 - i
    assert pack(bytearray(), b"A", floats, counts(), COUNT) == 0


@pytest.mark.parametrize("arguments, error, message", [
    ((bytes(RECORD_SIZE), b"A", columns(), counts(), 0), BufferError, "writable"),
    ((bytearray(RECORD_SIZE + 1), b"A", columns(), counts(), 0), ValueError, "whole number of 101-byte records"),
    ((bytearray(RECORD_SIZE), b"A" * 33, columns(), counts(), 0), ValueError, "at most 32 bytes"),
    ((bytearray(RECORD_SIZE), "A", columns(), counts(), 0), TypeError, "bytes"),
    ((bytearray(RECORD_SIZE), b"A", columns()[:7], counts(), 0), TypeError, "tuple of 8 float64 buffers"),
    ((bytearray(RECORD_SIZE), b"A", (array.array("f", [1.0]),) * 8, counts(), 0), TypeError, "8-byte items"),
    ((bytearray(RECORD_SIZE), b"A", columns(), array.array("Q", [1] * COUNT), 0), TypeError, "4-byte items"),
    ((bytearray(2 * RECORD_SIZE), b"A", columns(), counts(), COUNT - 1), ValueError, "5 items, 6 are needed"),
    ((bytearray(RECORD_SIZE), b"A", columns(), counts(), -1), ValueError, "negative"),
    ((bytearray(RECORD_SIZE), b"A", columns(), counts()), TypeError, "takes 5 arguments"),
])
def test_refusals(arguments, error, message):
    with pytest.raises(error, match=message):
        pack(*arguments)


def test_imports_without_numpy():
    # The module alone, without the package around it (which uses numpy).
    code = """if True:
        import importlib.machinery, importlib.util, pathlib, sys
        sys.modules["numpy"] = None
        folder = pathlib.Path(importlib.util.find_spec("tarnwick").submodule_search_locations[0]) / "bars"
        path = str(next(folder.glob("_pack.*.so")))
        loader = importlib.machinery.ExtensionFileLoader("tarnwick.bars._pack", path)
        module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(module)
        print(module.pack.__name__)
    """
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout.strip() == "pack", result.stderr
