"""Runs one harness under atheris: the atheris entry of every harness here.

    python fuzz/target.py NAME [libFuzzer options] [corpus dirs or inputs]

NAME is a harness of this folder (bars: fuzz_bars.py, convert:
fuzz_convert.py, resample: fuzz_resample.py,
aggregate: fuzz_aggregate.py), each of which gives
`exercise(data)`.  It needs the package built with coverage instrumentation,
and the sanitizer runtime preloaded, as tools/fuzz.sh arranges.

Coverage is fed back from the native modules (the compiler's
instrumentation) and from the Python code the harness imports from the
package, the test kit and the harness itself; libraries stay
uninstrumented, since their branches would drown ours.
"""

import importlib
import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
HARNESSES = {path.stem.removeprefix("fuzz_"): path.stem for path in HERE.glob("fuzz_*.py")}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in HARNESSES:
        sys.exit(f"usage: {sys.argv[0]} {{{'|'.join(sorted(HARNESSES))}}} [libFuzzer options] [inputs]")
    import atheris

    module_name = HARNESSES[sys.argv[1]]
    sys.path.insert(0, str(HERE))
    with atheris.instrument_imports(include=["tarnwick", "kit", module_name]):
        harness = importlib.import_module(module_name)
    # libFuzzer runs argv[0] again as a child process for -merge, -fork and
    # -minimize_crash: tools/fuzz.sh names a launcher that comes back here.
    argv = [os.environ.get("FUZZ_LAUNCHER", sys.argv[0]), *sys.argv[2:]]
    atheris.Setup(argv, harness.exercise)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
