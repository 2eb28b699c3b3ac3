"""The test kit: what the tests and the fuzzer (fuzz/fuzz_bars.py) share.

- `kit.layout`: the bar record as the tests know it, written down here and
  checked once against the package's own description (tests/test_records.py);
- `kit.objects`: subclasses of the bar classes and of the built-in types, and
  hostile arguments whose conversions raise, lie or change the bar;
- `kit.model`: a plain-Python model of what every call does, from the
  conversions of arguments to the value of every member.
"""
