"""One benchmark operation in a plain loop, for profilers (callgrind, perf).

    python benchmarks/workload.py [--symbols] OPERATION COUNT [SUBJECT]

OPERATION is a key of run.py's table (new_kw, new_pos, close, vwap, item_get,
to_bytes, from_bytes, copy, repr, span, end_time, daily_new, market_date, ...);
SUBJECT is tarnwick (the default), limit, dataclass, msgspec, ctypes or
nautilus.  Run `./run bench` once first: it compiles the limit into
$TARNWICK_BUILD/bench.  The installed extension modules are stripped;
--symbols loads the unstripped ones from $TARNWICK_BUILD/release instead, so
that profiles name their functions.  A profile of COUNT operations less one
of 0 operations is the cost of COUNT operations.
"""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

import run


def use_unstripped_modules() -> None:
    import importlib.util

    installed = Path(importlib.util.find_spec("tarnwick").origin).parent
    target = run.build_dir() / "symbols"
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(installed, target / "tarnwick")
    for module in (run.build_dir().parent / "release").glob("*.so"):
        shutil.copy2(module, target / "tarnwick" / "base" / module.name)
    sys.path.insert(0, str(target))


def main() -> None:
    args = sys.argv[1:]
    if args and args[0] == "--symbols":
        args.pop(0)
        use_unstripped_modules()
    if len(args) < 2:
        raise SystemExit(__doc__)
    op, count = args[0], int(args[1])
    subject_key = args[2] if len(args) > 2 else "tarnwick"
    sys.path.insert(0, str(run.build_dir()))
    from _limit import LimitBar

    buffers = {run.KB: memoryview(bytearray(run.KB))[run.OFFSET:], run.MB: memoryview(bytearray(run.MB))[run.OFFSET:]}
    subject = run.make_subjects(LimitBar, buffers, {subject_key})[subject_key]
    stmt = subject.stmts[op]
    names = "\n    ".join(f"{name} = objects[{name!r}]" for name in subject.objects)
    source = f"def loop(objects, count):\n    {names}\n    for _ in range(count):\n        {stmt}\n"
    namespace: dict = {}
    exec(source, namespace)
    namespace["loop"](subject.objects, count)


if __name__ == "__main__":
    main()
