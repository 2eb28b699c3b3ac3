"""Bar benchmarks: this module against the limit and the peers, in one process.

    ./run bench [--rounds N] [--batch-ms MS] [--count N] [--results FILE] ...
    ./run bench --baseline REV ...   # also an earlier build, old against new, and its data path
    ./run bench --convert [--quick]  # convert and open on realistic data against the peers users pick

Subjects: tarnwick's BarData and DailyBar; the limit (benchmarks/limit, a
minimal extension type over the same record, compiled here); the peers users
would pick instead (a slotted dataclass, msgspec.Struct, ctypes.Structure and,
if it installs, the trading engine's native Bar).  With --baseline, the bar
classes of another git revision too, built into the build tree once, timed
in the same rounds and reported old against new, then its data path against
this checkout's (benchmarks/baseline.py).

Method: every (operation, subject) cell is a timeit batch of about --batch-ms,
timed in thread CPU time; each round runs every cell once, the subjects of one
operation back to back in a fresh random order, the operations shuffled.  A
cell's figure is the median over rounds of its time per call less the median
cost of an empty timeit loop; a ratio is the median of the per-round ratios,
which cancels most of the drift of a shared machine.  Memory is measured in child processes (1,000,000 bars of
distinct values each), the sort by the C++ program in benchmarks/sort.
"""

from __future__ import annotations

import argparse
import copy
import datetime
import gc
import importlib
import importlib.metadata
import importlib.util
import json
import math
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import sysconfig
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import baseline as baseline_build  # noqa: E402
import peers  # noqa: E402
from results_file import cpu_model, source_state  # noqa: E402

KB = 1 << 10
MB = 1 << 20
GB = 1 << 30
OFFSET = 517  # from_buffer reads the record at this (odd) offset of the buffer

PEER_INSTALL_LIMIT = 300  # seconds for one pip install


def optional_peers() -> list[tuple[str, str]]:
    """(import name, requirement) of each line of benchmarks/requirements.txt."""
    peers_ = []
    for line in (HERE / "requirements.txt").read_text().splitlines():
        requirement = line.split("#", 1)[0].strip()
        if requirement:
            name = re.split(r"[\s<>=!~\[;]", requirement, maxsplit=1)[0]
            peers_.append((name.replace("-", "_"), requirement))
    return peers_


def build_dir() -> Path:
    build = Path(os.environ.get("TARNWICK_BUILD", "build"))
    return (build if build.is_absolute() else ROOT / build) / "bench"


# ---- preparation -------------------------------------------------------------


def install_peers(notes: list[str], allow: bool) -> None:
    """pip-installs missing optional peers once; a failure is remembered in the
    environment (a marker file) and not retried unless --retry-peers."""
    limit = PEER_INSTALL_LIMIT
    for module, requirement in optional_peers():
        if importlib.util.find_spec(module) is not None:
            continue
        marker = Path(sys.prefix) / f".bench-no-{module}"
        if not allow or marker.exists():
            notes.append(f"{module} not installed: skipped"
                         + (" (an earlier install failed; --retry-peers tries again)" if marker.exists() else ""))
            continue
        print(f"installing {requirement} (at most {limit} s) ...", file=sys.stderr, flush=True)
        try:
            done = subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", requirement],
                                  capture_output=True, text=True, timeout=limit)
            ok = done.returncode == 0
            reason = (done.stderr.strip().splitlines() or ["pip failed"])[-1]
        except subprocess.TimeoutExpired:
            ok, reason = False, f"timed out after {limit} s"
        importlib.invalidate_caches()
        if not ok or importlib.util.find_spec(module) is None:
            marker.write_text(reason + "\n")
            notes.append(f"{module} did not install ({reason}): skipped")


def compile_if_stale(sources: list[Path], output: Path, command: list[str]) -> None:
    if output.exists() and all(output.stat().st_mtime >= s.stat().st_mtime for s in sources):
        return
    output.parent.mkdir(parents=True, exist_ok=True)
    print("compiling", output.name, file=sys.stderr, flush=True)
    subprocess.run(command, check=True)


def build_native() -> tuple[Path, Path]:
    """Compiles the limit extension and the sort program into the build tree."""
    out = build_dir()
    cxx = os.environ.get("CXX", "g++")
    flags = ["-O3", "-DNDEBUG", "-std=c++20", "-Wall", "-Wextra"]
    limit_src = HERE / "limit" / "limit.cpp"
    limit_so = out / ("_limit" + sysconfig.get_config_var("EXT_SUFFIX"))
    compile_if_stale([limit_src], limit_so,
                     [cxx, *flags, "-fPIC", "-shared", "-fvisibility=hidden",
                      "-I" + sysconfig.get_paths()["include"], str(limit_src), "-o", str(limit_so)])
    sort_src = HERE / "sort" / "sort_bench.cpp"
    sort_exe = out / "sort_bench"
    compile_if_stale([sort_src], sort_exe, [cxx, *flags, str(sort_src), "-o", str(sort_exe), "-ldl"])
    return limit_so, sort_exe


def libpython() -> str | None:
    name = sysconfig.get_config_var("INSTSONAME") or sysconfig.get_config_var("LDLIBRARY")
    path = Path(sysconfig.get_config_var("LIBDIR") or "") / (name or "")
    return str(path) if name and path.exists() and ".so" in name else None


@dataclass
class Baseline:
    commit: str
    site: Path  # the revision's whole package
    bar_data: type
    daily_bar: type


def is_ours(module_name: str) -> bool:
    return module_name == "tarnwick" or module_name.startswith("tarnwick.")


def load_baseline(revision: str) -> Baseline:
    """The bar classes of a git revision, built into the build tree once and
    imported beside this checkout's.  The revision's modules are imported
    first under the package's own names and then taken out of sys.modules,
    so that this checkout's are imported afresh; each extension module keeps
    the modules it bound at its import, so the two builds do not mix."""
    commit, site = baseline_build.build(revision)
    if any(is_ours(name) for name in sys.modules):
        raise RuntimeError("the baseline must be imported before this checkout's package")
    sys.path.insert(0, str(site))
    try:
        from tarnwick.base.candlestick import BarData, DailyBar
    finally:
        sys.path.remove(str(site))
        for name in [name for name in sys.modules if is_ours(name)]:
            del sys.modules[name]
    importlib.invalidate_caches()
    return Baseline(commit, site, BarData, DailyBar)


# ---- subjects ---------------------------------------------------------------------

TYPICAL = '("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0, notional=15300.0, bar_span=60)'
POSITIONAL_11 = '("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, 1500.0, 15300.0, 0, 0.0, 60)'
POSITIONAL_10 = '("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, 1500.0, 15300.0, 0, 60)'


@dataclass
class Subject:
    key: str
    label: str
    objects: dict  # names the statements use
    stmts: dict  # operation key -> statement
    notes: dict = field(default_factory=dict)  # operation key -> footnote mark


def make_subjects(limit_cls, buffers: dict[int, memoryview], only: set[str] | None = None,
                  baseline: Baseline | None = None) -> dict[str, Subject]:
    """The subjects (all, or those named in `only`) with their statements;
    with a baseline, its classes as the subject "baseline" too."""
    from tarnwick.base.candlestick import BarData, DailyBar

    def wanted(key: str) -> bool:
        return only is None or key in only

    day = datetime.date(2024, 1, 5)
    data = bytes(memoryview(BarData(*eval(POSITIONAL_11))))
    subjects: dict[str, Subject] = {}

    def bar_stmts(ctor_kw: str, ctor_pos: str) -> dict:
        return {
            "new_kw": ctor_kw, "new_pos": ctor_pos, "close": "bar.close_price", "vwap": "bar.vwap",
            "bar_type": "bar.bar_type", "start": "bar.start_timestamp", "end_time": "bar.bar_end_time",
            "item_get": 'bar["close_price"]', "item_set": 'bar["volume"] = 1600.0', "copy": "copy(bar)",
        }

    # The limit.
    stmts = bar_stmts("B" + TYPICAL, "B" + POSITIONAL_11)
    stmts.update({"span": "bar.bar_span", "to_bytes": "bytes(memoryview(bar))", "from_bytes": "B.from_bytes(data)",
                  "market_date": "dbar.market_date"})
    subjects["limit"] = Subject("limit", "limit", {
        "B": limit_cls, "bar": limit_cls(*eval(POSITIONAL_11)), "data": data, "copy": copy.copy,
        "dbar": limit_cls("ABC", 20240105.0, 10.5, 9.8, 10.0, 10.2, bar_span=1)}, stmts)

    # This module, and the same statements for the baseline build's classes.
    def ours(key: str, label: str, bar_cls, daily_cls) -> Subject:
        stmts = bar_stmts("B" + TYPICAL, "B" + POSITIONAL_11)
        stmts.update({"span": "bar.bar_span", "to_bytes": "bytes(memoryview(bar))", "from_bytes": "B.from_bytes(data)",
                      "repr": "repr(bar)",
                      "daily_new": 'D("ABC", day, 10.5, 9.8, 10.0, 10.2, volume=1500.0, notional=15300.0)',
                      "market_date": "dbar.market_date"})
        for size in buffers:
            stmts[f"from_buffer_{size}"] = f"B.from_buffer(view_{size})"
        objects = {"B": bar_cls, "D": daily_cls, "bar": bar_cls(*eval(POSITIONAL_11)), "data": data,
                   "copy": copy.copy, "day": day, "dbar": daily_cls("ABC", day, 10.5, 9.8, 10.0, 10.2)}
        objects.update({f"view_{size}": view for size, view in buffers.items()})
        return Subject(key, label, objects, stmts)

    subjects["tarnwick"] = ours("tarnwick", "tarnwick", BarData, DailyBar)
    if baseline is not None and wanted("baseline"):
        subjects["baseline"] = ours("baseline", f"tarnwick {baseline.commit}", baseline.bar_data, baseline.daily_bar)

    # A slotted dataclass.
    stmts = bar_stmts("B" + TYPICAL, "B" + POSITIONAL_10)
    stmts.update({"repr": "repr(bar)", "to_bytes": "bar.to_bytes()", "from_bytes": "B.from_bytes(data)"})
    subjects["dataclass"] = Subject("dataclass", "dataclass(slots)", {
        "B": peers.DataclassBar, "bar": peers.DataclassBar(*eval(POSITIONAL_10)), "data": data,
        "copy": copy.copy}, stmts, {"to_bytes": "a", "from_bytes": "a"})

    made = peers.make_msgspec_bar() if wanted("msgspec") else None
    if made is not None:
        cls, encoder, decoder = made
        stmts = bar_stmts("B" + TYPICAL, "B" + POSITIONAL_10)
        stmts.update({"repr": "repr(bar)", "to_bytes": "enc.encode(bar)", "from_bytes": "dec.decode(packed)"})
        bar = cls(*eval(POSITIONAL_10))
        subjects["msgspec"] = Subject("msgspec", "msgspec", {
            "B": cls, "bar": bar, "enc": encoder, "dec": decoder, "packed": encoder.encode(bar),
            "copy": copy.copy}, stmts, {"to_bytes": "b", "from_bytes": "b"})

    ctypes_kw = ('B(dtype=40, ticker=b"ABC", timestamp=1000.0, high_price=10.5, low_price=9.8, open_price=10.0, '
                 'close_price=10.2, volume=1500.0, notional=15300.0, bar_span=60)')
    ctypes_pos = 'B(40, b"ABC", 1000.0, 60, 10.5, 9.8, 10.0, 10.2, 1500.0, 15300.0, 0)'
    stmts = bar_stmts(ctypes_kw, ctypes_pos)
    stmts.update({"to_bytes": "bytes(memoryview(bar))", "from_bytes": "B.from_buffer_copy(data)"})
    for size in buffers:
        stmts[f"from_buffer_{size}"] = f"B.from_buffer(view_{size})"
    objects = {"B": peers.CtypesBar, "bar": eval(ctypes_pos, {"B": peers.CtypesBar}), "data": data,
               "copy": copy.copy}
    objects.update({f"view_{size}": view for size, view in buffers.items()})
    subjects["ctypes"] = Subject("ctypes", "ctypes", objects, stmts, {"new_kw": "c"})

    made = peers.make_nautilus_bar() if wanted("nautilus") else None
    if made is not None:
        cls, bar_type, price, quantity = made
        objects = {"B": cls, "BT": bar_type, "O": price(10.0, 2), "H": price(10.5, 2), "L": price(9.8, 2),
                   "C": price(10.2, 2), "V": quantity(1500.0, 0), "copy": copy.copy}
        kw = "B(bar_type=BT, open=O, high=H, low=L, close=C, volume=V, ts_event=1000000000000, ts_init=1000000000000)"
        pos = "B(BT, O, H, L, C, V, 1000000000000, 1000000000000)"
        objects["bar"] = eval(pos, objects)
        stmts = {"new_kw": kw, "new_pos": pos, "close": "bar.close", "repr": "repr(bar)", "copy": "copy(bar)"}
        subjects["nautilus"] = Subject("nautilus", "nautilus Bar", objects, stmts, {"new_kw": "d", "close": "e"})
    return {key: subject for key, subject in subjects.items() if wanted(key)}


# ---- timing --------------------------------------------------------------------------


@dataclass
class Cell:
    op: str
    subject: str
    timer: timeit.Timer
    number: int = 0
    samples: list = field(default_factory=list)  # seconds per call, one per round


def make_timer(stmt: str, objects: dict) -> timeit.Timer:
    # The objects become locals of timeit's inner function, as in real code.
    # Thread CPU time, not wall time: on a shared machine the time this
    # thread spends descheduled is not the operation's.
    names = {f"_g_{name}": value for name, value in objects.items()}
    setup = "\n".join(f"{name} = _g_{name}" for name in objects) or "pass"
    return timeit.Timer(stmt, setup=setup, timer=time.thread_time, globals=names)


def calibrate(cell: Cell, batch_s: float) -> None:
    number = 1
    while True:
        elapsed = cell.timer.timeit(number)
        if elapsed >= batch_s / 4 or number >= 1 << 24:
            break
        number *= 4
    cell.number = max(1, math.ceil(number * batch_s / max(elapsed, 1e-9)))


def check_statements(subjects: dict[str, Subject]) -> None:
    """Runs every statement once, so a broken one fails before any timing."""
    for subject in subjects.values():
        for op, stmt in subject.stmts.items():
            make_timer(stmt, subject.objects).timeit(1)


def run_rounds(subjects: dict[str, Subject], rounds: int, batch_s: float) -> tuple[dict, float, float]:
    """Times every cell once per round.  Within a round the cells of one
    operation run back to back (subjects in a fresh random order), so that
    the ratios between subjects are taken from neighbouring batches; the
    operations' order is shuffled too.  Returns per-cell medians (ns, empty
    loop subtracted), the per-round net samples, and the loop cost."""
    def group_of(op: str) -> str:  # cells compared with each other run together
        return "from_buffer" if op.startswith("from_buffer") else "new_kw" if op == "daily_new" else op

    groups: dict[str, list[Cell]] = {}
    for s in subjects.values():
        for op, stmt in s.stmts.items():
            groups.setdefault(group_of(op), []).append(Cell(op, s.key, make_timer(stmt, s.objects)))
    empty = Cell("empty", "-", timeit.Timer("pass", timer=time.thread_time))
    groups["empty"] = [empty]
    cells = [cell for group in groups.values() for cell in group]
    for cell in cells:
        calibrate(cell, batch_s)
    order = random.Random(20240105)
    keys = list(groups)
    start = time.perf_counter()
    for round_no in range(rounds):
        order.shuffle(keys)
        for key in keys:
            group = groups[key]
            order.shuffle(group)
            for cell in group:
                cell.samples.append(cell.timer.timeit(cell.number) / cell.number)
        print(f"round {round_no + 1}/{rounds} done", file=sys.stderr, flush=True)
    loop = statistics.median(empty.samples)
    results = {}
    for cell in cells:
        if cell is empty:
            continue
        net = [(sample - loop) * 1e9 for sample in cell.samples]
        med = statistics.median(net)
        q = statistics.quantiles(net, n=4) if len(net) >= 4 else [med, med, med]
        results[(cell.op, cell.subject)] = {"ns": med, "iqr": (q[2] - q[0]) / med if med > 0 else 0.0,
                                            "net": net}
    return results, loop * 1e9, time.perf_counter() - start


def paired_ratio(results: dict, a: tuple[str, str], b: tuple[str, str]) -> float | None:
    """Median over rounds of a's time over b's time in the same round."""
    if a not in results or b not in results:
        return None
    pairs = [x / y for x, y in zip(results[a]["net"], results[b]["net"]) if y > 0]
    return statistics.median(pairs) if pairs else None


# ---- memory (child processes) ----------------------------------------------------------


def memory_factory(subject: str):
    """A function i -> bar of distinct values, for 1,000,000 live bars."""
    if subject in ("limit", "tarnwick", "dataclass", "msgspec"):
        if subject == "limit":
            sys.path.insert(0, str(build_dir()))
            from _limit import LimitBar as cls
        elif subject == "tarnwick":
            from tarnwick.base.candlestick import BarData as cls
        else:
            cls = peers.DataclassBar if subject == "dataclass" else peers.make_msgspec_bar()[0]
        return lambda i: cls("ABC", 1.7e9 + i, 10.5 + i * 1e-4, 9.8 + i * 1e-4, 10.0 + i * 1e-4, 10.2 + i * 1e-4,
                             volume=1500.0 + i, notional=15300.0 + i, bar_span=60)
    if subject == "daily":
        from tarnwick.base.candlestick import DailyBar
        day = datetime.date(2024, 1, 5)
        return lambda i: DailyBar("ABC", day, 10.5 + i * 1e-4, 9.8 + i * 1e-4, 10.0 + i * 1e-4, 10.2 + i * 1e-4,
                                  volume=1500.0 + i, notional=15300.0 + i)
    if subject == "ctypes":
        B = peers.CtypesBar
        return lambda i: B(40, b"ABC", 1.7e9 + i, 60, 10.5 + i * 1e-4, 9.8 + i * 1e-4, 10.0 + i * 1e-4,
                           10.2 + i * 1e-4, 1500.0 + i, 15300.0 + i, 0)
    if subject == "nautilus":
        B, bar_type, P, Q = peers.make_nautilus_bar()
        return lambda i: B(bar_type, P(10.0 + i * 1e-4, 4), P(10.5 + i * 1e-4, 4), P(9.8 + i * 1e-4, 4),
                           P(10.2 + i * 1e-4, 4), Q(1500.0 + i, 0), 1_700_000_000_000_000_000 + i,
                           1_700_000_000_000_000_000 + i)
    raise SystemExit(f"unknown memory subject {subject}")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(subject: str, mode: str, count: int) -> None:
    import tracemalloc

    make = memory_factory(subject)
    make(0), make(1)  # first-use allocations (caches, interned names) are not the bars'
    bars = [None] * count
    gc.collect()
    if mode == "traced":
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
    else:
        before = rss_bytes()
    for i in range(count):
        bars[i] = make(i)
    if mode == "traced":
        requested = tracemalloc.get_traced_memory()[0] - before
        # pymalloc serves requests up to 512 bytes from 16-byte size classes.
        # The raw trace tuples (domain, size, ...) are much faster to walk
        # than the snapshot's Trace objects.
        raw = tracemalloc._get_traces() if hasattr(tracemalloc, "_get_traces") else [
            (t.domain, t.size) for t in tracemalloc.take_snapshot().traces]
        rounded = sum(((trace[1] + 15) // 16) * 16 if trace[1] <= 512 else trace[1] for trace in raw)
        tracemalloc.stop()
        print(json.dumps({"requested": requested / count, "rounded": rounded / count}))
    else:
        print(json.dumps({"rss": (rss_bytes() - before) / count}))


def measure_memory(subjects: list[str], count: int) -> dict:
    results = {}
    for subject in subjects:
        row = {}
        for mode in ("traced", "rss"):
            done = subprocess.run([sys.executable, __file__, "--memory-child", subject, mode, "--count", str(count)],
                                  capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"memory child {subject}/{mode} failed:\n{done.stderr}")
            row.update(json.loads(done.stdout.strip().splitlines()[-1]))
        results[subject] = row
        print(f"memory {subject}: {row}", file=sys.stderr, flush=True)
    return results


# ---- sorting ------------------------------------------------------------------------------


def measure_sort(sort_exe: Path, count: int, rounds: int) -> dict:
    import tarnwick.base.candlestick as module

    command = [str(sort_exe)]
    preload = libpython()
    if preload:
        command += ["--preload", preload]
    command += [module.__file__, str(count), str(rounds)]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


# ---- report ----------------------------------------------------------------------------------

PEER_KEYS = ["dataclass", "msgspec", "ctypes", "nautilus"]

# key, label, target kind, limit
OPERATIONS = [
    ("new_kw", "construct, typical road (keywords)", "construct", 1.5),
    ("new_pos", "construct, positional only", "construct", 1.5),
    ("close", "field read `close_price`", "ratio", 1.2),
    ("vwap", "`vwap`", "ratio", 1.2),
    ("bar_type", "`bar_type`", "ratio", 1.2),
    ("start", "`start_timestamp`", "ratio", 1.2),
    ("span", "`bar_span` (timedelta)", None, None),
    ("end_time", "`bar_end_time` (datetime)", None, None),
    ("item_get", 'item read `bar["close_price"]`', "ratio", 1.2),
    ("item_set", 'item write `bar["volume"] = x`', None, None),
    ("repr", "`repr(bar)`", None, None),
    ("to_bytes", "`bytes(memoryview(bar))`", "ratio", 1.2),
    ("from_bytes", "`from_bytes(data)`", "ratio", 1.2),
    ("copy", "`copy.copy(bar)`", "ratio", 1.2),
    ("daily_new", "`DailyBar(...)` construct (vs the limit's constructor)", None, None),
    ("market_date", "`DailyBar.market_date`", None, None),
]

FOOTNOTES = {
    "a": "dataclass: `struct` pack/unpack of the same 101-byte record.",
    "b": "msgspec: its MessagePack encoder/decoder (not the 101-byte record).",
    "c": "ctypes: keywords only (its positional order starts with `dtype`); ticker as bytes.",
    "d": "nautilus Bar: built from pre-made `BarType`/`Price`/`Quantity`; no derived members, items or bytes.",
    "e": "nautilus Bar: `bar.close` (a `Price` object).",
}


def fmt_ns(ns: float | None) -> str:
    if ns is None:
        return "—"
    return f"{ns:.1f}" if ns < 100 else f"{ns:.0f}"


def size_label(size: int) -> str:
    return f"{size // GB} GB" if size >= GB else f"{size // MB} MB" if size >= MB else f"{size // KB} KB"


def render(results: dict, subjects: dict, memory: dict | None, sort: dict | None,
           sizes: list[int]) -> tuple[str, list[tuple[str, str, str]]]:
    peer_keys = [k for k in PEER_KEYS if k in subjects]
    header = ["operation", "limit", "tarnwick", "ratio", "target", "met"] + [subjects[k].label for k in peer_keys]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    verdicts = []
    used_marks: set[str] = set()

    def ns(op, subject):
        cell = results.get((op, subject))
        return None if cell is None else cell["ns"]

    def peer_cells(op, base_op):
        out = []
        for key in peer_keys:
            value = ns(op, key)
            mark = subjects[key].notes.get(op, "")
            if mark:
                used_marks.add(mark)
            if value is None:
                out.append("—")
            else:
                r = paired_ratio(results, (op, key), (base_op, "limit"))
                ratio = f" ({r:.2f}×)" if r is not None else ""
                out.append(f"{fmt_ns(value)}{ratio}" + (f" <sup>{mark}</sup>" if mark else ""))
        return out

    for op, label, kind, limit in OPERATIONS:
        mine = ns(op, "tarnwick")
        if mine is None:
            continue
        base_op = "new_kw" if op == "daily_new" else op
        base = ns(base_op, "limit")
        ratio = paired_ratio(results, (op, "tarnwick"), (base_op, "limit"))
        target, met = "—", ""
        if kind == "ratio":
            target = f"≤ {limit}×"
            met = "yes" if ratio <= limit else "**no**"
        elif kind == "construct":
            peers_ns = [ns(op, k) for k in peer_keys if ns(op, k) is not None]
            fastest = min(peers_ns) if peers_ns else math.inf
            target = f"≤ {limit}×, ≤ fastest peer"
            ok_ratio, ok_peer = ratio <= limit, mine <= fastest
            if peers_ns:  # against the fastest peer, paired too
                fastest_key = min((k for k in peer_keys if ns(op, k) is not None), key=lambda k: ns(op, k))
                ok_peer = paired_ratio(results, (op, "tarnwick"), (op, fastest_key)) <= 1.0
            met = "yes" if ok_ratio and ok_peer else "**no**" + (
                "" if ok_ratio else " (ratio)") + ("" if ok_peer else " (peer)")
        if met:
            verdicts.append((label, target, met.replace("*", "")))
        lines.append("| " + " | ".join([label, fmt_ns(base), fmt_ns(mine), f"{ratio:.2f}×" if ratio else "—",
                                         target, met] + peer_cells(op, base_op)) + " |")

    # from_buffer against the buffer's size: ratio to the smallest buffer.
    worst = 0.0
    for size in sizes:
        mine = ns(f"from_buffer_{size}", "tarnwick")
        ratio = paired_ratio(results, (f"from_buffer_{size}", "tarnwick"), (f"from_buffer_{sizes[0]}", "tarnwick"))
        worst = max(worst, ratio)
        ctypes_ns = ns(f"from_buffer_{size}", "ctypes")
        lines.append("| " + " | ".join(
            [f"`from_buffer`, {size_label(size)} bytearray at offset {OFFSET} (ratio to {size_label(sizes[0])})", "—", fmt_ns(mine),
             f"{ratio:.2f}×", "flat" if size == sizes[0] else "≤ 1.2×",
             "" if size == sizes[0] else ("yes" if ratio <= 1.2 else "**no**")]
            + [(f"{fmt_ns(ctypes_ns)}" if k == "ctypes" else "—") for k in peer_keys]) + " |")
    verdicts.append(("from_buffer flat from 1 KB to 1 GB", "≤ 1.2× of 1 KB", "yes" if worst <= 1.2 else "no"))

    if memory:
        def mem(key):
            return memory.get(key, {}).get("rounded")
        mine, base, dc = mem("tarnwick"), mem("limit"), mem("dataclass")
        ok_size, ok_half = mine <= 180, dc is None or mine < dc / 2
        ok = ok_size and ok_half
        lines.append("| " + " | ".join(
            ["memory per bar, bytes (1M bars; size-class rounded)", f"{base:.0f}", f"{mine:.0f}",
             f"{mine / base:.2f}×", "≤ 180 B, < ½ dataclass",
             "yes" if ok else "**no**" + ("" if ok_size else " (180 B)") + ("" if ok_half else f" (½ dataclass = {dc / 2:.0f} B)")]
            + [f"{mem(k):.0f}" if mem(k) else "—" for k in peer_keys]) + " |")
        verdicts.append(("memory per bar ≤ 180 B", f"{mine:.0f} B", "yes" if ok_size else "no"))
        if dc is not None:
            verdicts.append(("memory per bar < half the dataclass", f"{mine:.0f} B vs {dc / 2:.0f} B",
                             "yes" if ok_half else "no"))
        lines.append("| " + " | ".join(
            ["memory per bar, bytes (1M bars; RSS growth)", f"{memory['limit']['rss']:.0f}",
             f"{memory['tarnwick']['rss']:.0f}", f"{memory['tarnwick']['rss'] / memory['limit']['rss']:.2f}×", "—", ""]
            + [f"{memory[k]['rss']:.0f}" if k in memory else "—" for k in peer_keys]) + " |")
        if "daily" in memory:
            lines.append("| " + " | ".join(
                ["memory per `DailyBar`, bytes (rounded / RSS)", f"{base:.0f}",
                 f"{memory['daily']['rounded']:.0f} / {memory['daily']['rss']:.0f}",
                 f"{memory['daily']['rounded'] / base:.2f}×", "—", ""] + ["—" for _ in peer_keys]) + " |")
    if sort:
        lines.append("| " + " | ".join(
            [f"sort {sort['count']:,} record pointers, ms (limit: `std::sort` inline; ours: `qsort` + `compare_md`)",
             f"{sort['std_sort_inline']:.0f}", f"{sort['qsort_compare_md']:.0f}",
             f"{sort['qsort_compare_md'] / sort['std_sort_inline']:.2f}×", "—", ""]
            + ["—" for _ in peer_keys]) + " |")

    table = "\n".join(lines)
    marks = [f"<sup>{m}</sup> {FOOTNOTES[m]}" for m in sorted(used_marks)]
    if marks:
        table += "\n\n" + "  \n".join(marks)
    if "baseline" in subjects:
        text, more = render_against_baseline(results, subjects["baseline"].label, sizes)
        table += "\n\n" + text
        verdicts += more
    return table, verdicts


SLOWER_LIMIT = 1.05  # new against old, for every operation
DAILY_TARGETS = [  # (label, DailyBar's cell, the cell it is held against, limit)
    ("`DailyBar(...)` against `BarData(...)` (keywords)", "daily_new", ("new_kw", None), 2.0),
    ("`DailyBar.market_date` against the limit's", "market_date", ("market_date", "limit"), 1.5),
]


def render_against_baseline(results: dict, label: str, sizes: list[int]) -> tuple[str, list[tuple[str, str, str]]]:
    """Old against new, timed in the same rounds: every operation of both
    builds, then the daily class's targets for each."""
    lines = [f"Old against new: `{label}` (old) and this checkout (new), timed in the same rounds; "
             "new/old is the median of the per-round ratios.", "",
             "| operation | old | new | new/old | target | met |", "|---|---|---|---|---|---|"]
    verdicts = []
    operations = [(op, op_label) for op, op_label, _, _ in OPERATIONS] + [
        (f"from_buffer_{size}", f"`from_buffer`, {size_label(size)} bytearray") for size in sizes]
    worst, worst_label = 0.0, ""
    for op, op_label in operations:
        old, new = results.get((op, "baseline")), results.get((op, "tarnwick"))
        if old is None or new is None:
            continue
        ratio = paired_ratio(results, (op, "tarnwick"), (op, "baseline"))
        if ratio > worst:
            worst, worst_label = ratio, op_label
        lines.append(f"| {op_label} | {fmt_ns(old['ns'])} | {fmt_ns(new['ns'])} | {ratio:.2f}× | "
                     f"≤ {SLOWER_LIMIT}× | {'yes' if ratio <= SLOWER_LIMIT else '**no**'} |")
    verdicts.append((f"no operation more than {SLOWER_LIMIT - 1:.0%} slower than the baseline",
                     f"worst {worst:.2f}× ({worst_label})", "yes" if worst <= SLOWER_LIMIT else "no"))
    for target_label, op, (base_op, base_subject), limit in DAILY_TARGETS:
        old, new = (paired_ratio(results, (op, subject), (base_op, base_subject or subject))
                    for subject in ("baseline", "tarnwick"))
        if old is None or new is None:
            continue
        met = new <= limit
        lines.append(f"| {target_label} | {old:.2f}× | {new:.2f}× | — | ≤ {limit}× | {'yes' if met else '**no**'} |")
        verdicts.append((target_label, f"{new:.2f}× (old {old:.2f}×), target ≤ {limit}×", "yes" if met else "no"))
    return "\n".join(lines), verdicts


def kept_sections(path: Path) -> str:
    """The sections of an earlier results file that this run does not write
    (other benchmarks' tables, notes written by hand), to keep in the new one."""
    if not path.exists():
        return ""
    sections = path.read_text().split("\n## ")[1:]
    return "".join(f"## {section.rstrip()}\n\n" for section in sections if not section.startswith("Reproduce"))


def write_results(path: Path, table: str, meta: dict, notes: list[str], sort: dict | None) -> None:
    kept = kept_sections(path)
    sort_text = ""
    if sort:
        sort_text = (
            f"\nSorting {sort['count']:,} record pointers (medians of {sort['rounds']} interleaved rounds, ms): "
            f"`qsort` + `compare_md` {sort['qsort_compare_md']:.0f}, `std::sort` inline comparator "
            f"{sort['std_sort_inline']:.0f}, `qsort` + a comparator of the program's own "
            f"{sort['qsort_local_compare']:.0f}, `std::sort` calling `compare_md` {sort['std_sort_compare_md']:.0f}.\n")
    text = f"""# Benchmark results

One full run of `./run bench` on this machine. Figures are nanoseconds of
thread CPU time per call: the median of {meta['rounds']} interleaved rounds of ~{meta['batch_ms']} ms
batches, less the empty timeit loop ({meta['loop_ns']:.1f} ns). Within a round the subjects
of one operation run back to back; a ratio is the median over rounds of the
ratio within the round (so it can differ from the ratio of the two medians).
Peers show their ratio to the limit in parentheses. Memory is per bar with
1,000,000 live bars of distinct values (tracemalloc, with pymalloc's 16-byte
size classes; and the growth of the resident set).

- Date: {meta['date']}
- Sources: {meta['source']}
- CPU: {meta['cpu']} ({meta['cores']} cores, shared machine; load average {meta['load']})
- Python: {meta['python']}
- Compiler: {meta['compiler']}
- Peers: {meta['peers']}
- Timing rounds took {meta['timing_s']:.0f} s; the whole run {meta['total_s']:.0f} s; worst interquartile spread of a cell {meta['worst_iqr']:.0%}.

{table}
{sort_text}
{"".join(f"- {n}" + chr(10) for n in notes)}
{kept}## Reproduce

```
TARNWICK_VENV=.venv-bench TARNWICK_BUILD=build-bench ./run bench --results benchmarks/RESULTS.md
TARNWICK_VENV=.venv-bench TARNWICK_BUILD=build-bench ./run bench --baseline REV --results benchmarks/RESULTS.md
```

The second form also builds git revision REV into
`$TARNWICK_BUILD/bench/baseline/` (once per commit) and times its classes in
the same rounds, for the old-against-new table, then its data path against
this checkout's in the same rounds (`benchmarks/baseline.py`; alone after the
resampling table with `./run bench --resample --baseline REV`).

`./run bench --help` lists the options (rounds, batch length, bar count, skipping
memory or the sort). The limit is `benchmarks/limit/limit.cpp` and the sort program
`benchmarks/sort/sort_bench.cpp`; `benchmarks/run.py` compiles both into
`$TARNWICK_BUILD/bench`. To profile one operation of one subject in isolation
(`--symbols` uses the unstripped modules of the build tree):

```
export TARNWICK_BUILD=build-bench
valgrind --tool=callgrind .venv-bench/bin/python benchmarks/workload.py --symbols new_kw 100000 tarnwick
valgrind --tool=callgrind .venv-bench/bin/python benchmarks/workload.py --symbols new_kw 0 tarnwick   # baseline
perf record -e cpu-clock .venv-bench/bin/python benchmarks/workload.py --symbols new_kw 3000000 limit
```
"""
    path.write_text(text)


# ---- main --------------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=21, help="interleaved timing rounds (default 21)")
    parser.add_argument("--batch-ms", type=float, default=20.0, help="length of one timed batch (default 20 ms)")
    parser.add_argument("--count", type=int, default=1_000_000, help="bars for memory, records for the sort")
    parser.add_argument("--sort-rounds", type=int, default=5, help="rounds of the sort program (default 5)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    parser.add_argument("--no-sort", action="store_true", help="skip the sort program")
    parser.add_argument("--no-install", action="store_true", help="do not pip-install missing peers")
    parser.add_argument("--retry-peers", action="store_true", help="retry peers whose install failed before")
    parser.add_argument("--results", type=Path, help="also write the report as Markdown to this file")
    parser.add_argument("--json", type=Path, help="also write the raw figures as JSON to this file")
    parser.add_argument("--baseline", metavar="REV",
                        help="also time the build of this git revision in the same rounds (old against new), "
                             "and its data path (benchmarks/baseline.py)")
    parser.add_argument("--data-rounds", type=int, default=baseline_build.DEFAULT_ROUNDS,
                        help=f"rounds of the data path against the baseline (default {baseline_build.DEFAULT_ROUNDS})")
    parser.add_argument("--resample", action="store_true",
                        help="run the resampling benchmark instead (benchmarks/resample.py; --results applies), "
                             "and with --baseline the data path against it")
    parser.add_argument("--ranges", action="store_true",
                        help="run the time-window benchmark instead (benchmarks/ranges.py; --results applies)")
    parser.add_argument("--aggregate", action="store_true",
                        help="run the bars-from-trades benchmark instead (benchmarks/aggregate.py; --results applies)")
    parser.add_argument("--aggregate-live", action="store_true",
                        help="run the live aggregation benchmark instead (benchmarks/aggregate_live.py; --results applies)")
    parser.add_argument("--convert", action="store_true",
                        help="run convert and open on realistic data against pandas, pyarrow, polars and DuckDB "
                             "instead (benchmarks/convert_peers.py; --results applies)")
    parser.add_argument("--open", action="store_true", help="only the open table of --convert")
    parser.add_argument("--quick", action="store_true", help="with --convert: small tables only (200k and 1M rows); with --aggregate: 1M trades")
    parser.add_argument("--no-data-path", action="store_true", help="skip the data-path table (benchmarks/data_path.py)")
    parser.add_argument("--memory-child", nargs=2, metavar=("SUBJECT", "MODE"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.resample:
        import resample

        resample.run(resample.DEFAULT_COUNT, resample.DEFAULT_ROUNDS, args.results)
        if args.baseline:
            baseline_build.report(*baseline_build.build(args.baseline), args.data_rounds, args.results)
        return
    if args.convert or args.open:
        import convert_peers

        convert_peers.run(convert=args.convert, sizes=convert_peers.QUICK_SIZES if args.quick else convert_peers.SIZES,
                          open_bars=1_000_000 if args.quick else convert_peers.OPEN_BARS, results=args.results)
        return
    if args.aggregate:
        import aggregate

        count = 1_000_000 if args.quick else aggregate.DEFAULT_COUNT
        csv_count = 1_000_000 if args.quick else aggregate.DEFAULT_CSV_COUNT
        aggregate.run(count, csv_count, aggregate.DEFAULT_ROUNDS, args.results)
        return
    if args.ranges:
        import ranges

        ranges.run(ranges.DEFAULT_COUNT, ranges.DEFAULT_ROUNDS, args.results)
        return

    if args.aggregate_live:
        import aggregate_live

        aggregate_live.run(aggregate_live.DEFAULT_TRADES, aggregate_live.DEFAULT_ROUNDS, args.results)
        return

    if args.memory_child:
        memory_child(*args.memory_child, args.count)
        return

    started = time.perf_counter()
    baseline = load_baseline(args.baseline) if args.baseline else None  # before this checkout's package
    load_start = " ".join(f"{x:.2f}" for x in os.getloadavg())
    notes: list[str] = []
    if args.retry_peers:
        for module, _ in optional_peers():
            (Path(sys.prefix) / f".bench-no-{module}").unlink(missing_ok=True)
    install_peers(notes, allow=not args.no_install)
    limit_so, sort_exe = build_native()
    sys.path.insert(0, str(limit_so.parent))
    from _limit import LimitBar

    sizes = [KB, MB, GB]
    print("allocating the buffers (1 KB, 1 MB, 1 GB) ...", file=sys.stderr, flush=True)
    arrays = {size: bytearray(size) for size in sizes}
    buffers = {size: memoryview(array)[OFFSET:] for size, array in arrays.items()}
    subjects = make_subjects(LimitBar, buffers, baseline=baseline)
    check_statements(subjects)

    results, loop_ns, timing_s = run_rounds(subjects, args.rounds, args.batch_ms / 1000)
    for subject in subjects.values():  # let the 1 GB buffer go before the memory children run
        for name in [n for n in subject.objects if n.startswith("view")]:
            del subject.objects[name]
    del buffers, arrays

    memory = None
    if not args.no_memory:
        keys = ["limit", "tarnwick", "daily"] + [k for k in PEER_KEYS if k in subjects]
        memory = measure_memory(keys, args.count)
    sort = None if args.no_sort else measure_sort(sort_exe, args.count, args.sort_rounds)

    table, verdicts = render(results, subjects, memory, sort, sizes)
    print()
    print(table)
    if sort:
        print(f"\nsort detail (ms): {json.dumps(sort)}")
    print()
    for label, target, met in verdicts:
        print(f"{'MET   ' if met == 'yes' else 'MISSED'}  {label}: {target}")
    for note in notes:
        print("note:", note)
    data_path = None
    if not args.no_data_path:
        from data_path import data_path_report

        data_path = data_table, data_verdicts = data_path_report(results=args.results)
        print(f"\n{data_table}\n")
        for label, target, met in data_verdicts:
            print(f"{'MET   ' if met else 'MISSED'}  {label}: {target}")
    if baseline is not None:
        baseline_build.report(baseline.commit, baseline.site, args.data_rounds, args.results)
    print(f"\n{args.rounds} rounds, ~{args.batch_ms:g} ms batches, empty loop {loop_ns:.1f} ns subtracted; "
          f"total {time.perf_counter() - started:.0f} s")

    if args.json:
        args.json.write_text(json.dumps({"cells": {f"{op}/{s}": v for (op, s), v in results.items()},
                                         "memory": memory, "sort": sort, "loop_ns": loop_ns}, indent=1))
    if args.results:
        versions = []
        for module in ("msgspec", "nautilus_trader"):
            try:
                versions.append(f"{module} {importlib.metadata.version(module)}")
            except importlib.metadata.PackageNotFoundError:
                versions.append(f"{module} absent")
        compiler = subprocess.run([os.environ.get("CXX", "g++"), "--version"], capture_output=True,
                                  text=True).stdout.splitlines()[0]
        meta = {
            "source": source_state() + (f"; baseline commit {baseline.commit}" if baseline else ""), "load": f"{load_start} at the start, "
                                              f"{' '.join(f'{x:.2f}' for x in os.getloadavg())} at the end",
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "cpu": cpu_model(), "cores": os.cpu_count(),
            "python": f"{platform.python_implementation()} {sys.version.split()[0]} "
                      f"({' '.join(sys.version.split()[1:])}), {sysconfig.get_config_var('CONFIG_ARGS') or ''}".strip(),
            "compiler": compiler, "peers": ", ".join(versions), "rounds": args.rounds, "batch_ms": f"{args.batch_ms:g}",
            "loop_ns": loop_ns, "timing_s": timing_s, "total_s": time.perf_counter() - started,
            "worst_iqr": max(v["iqr"] for v in results.values()),
        }
        write_results(args.results, table, meta, notes, sort)
        if data_path is not None:
            from data_path import write_results as write_data_path

            write_data_path(args.results, *data_path)
        print(f"wrote {args.results}")


if __name__ == "__main__":
    main()
