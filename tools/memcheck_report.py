"""Summary of a valgrind memcheck XML log (tools/memcheck.sh): the memory errors (invalid reads and
writes and the rest), and the definitely-lost blocks our modules allocated.

    python tools/memcheck_report.py LOG.xml

Exits 1 when there is any memory error, or any definitely-lost block of ours.  A lost block is ours
when a frame of our modules comes before the first frame of the interpreter running Python code on
the way out from the allocation: past that frame, Python code made the allocation, not our C++.

Blocks of the kinds the interpreter keeps on free lists (tuples, lists, dicts, floats, slices) are
listed but do not fail the run: a freed one goes on a list and is handed out again for a later object
of its kind without a new allocation, so valgrind's stack names whoever allocated the memory first,
not the object that leaked.  A view bar's store, freed in one test, turned up so as a tuple that
another library leaked at exit.  Leaks of such objects by our code are measured without allocation
stacks, by the object counts and traced memory of tests/test_leaks.py.
"""

import re
import sys
import xml.etree.ElementTree as ET

OUR_MODULES = re.compile(r"/tarnwick/(base/(candlestick|market_data)|bars/(_bucketing|_pack))\.[^/]*\.so$")
RUNS_PYTHON_CODE = {"_PyEval_EvalFrameDefault", "_PyEval_EvalFrame", "PyEval_EvalCode"}
ON_FREE_LISTS = {"PyTuple_New", "_PyTuple_FromArray", "_PyTuple_FromArraySteal", "PyList_New", "PyDict_New",
                 "new_dict", "PyFloat_FromDouble", "PySlice_New", "_PySlice_FromIndices"}
SHOWN_FRAMES = 12


def frames(error):
    stack = error.find("stack")
    if stack is None:
        return []
    return [{"fn": frame.findtext("fn") or "???", "obj": frame.findtext("obj") or "",
             "where": f"{frame.findtext('file')}:{frame.findtext('line')}" if frame.findtext("file") else ""}
            for frame in stack.iter("frame")]


def in_our_modules(frame):
    return OUR_MODULES.search(frame["obj"]) is not None


def ownership(stack):
    """Who made a lost block, walking out from the allocation: "ours", "ours, recycled" when on the way
    it went through a constructor whose objects the interpreter recycles, or None when it is not ours."""
    recyclable = False
    for frame in stack:
        if in_our_modules(frame):
            return "ours, recycled" if recyclable else "ours"
        if frame["fn"] in RUNS_PYTHON_CODE:
            return None
        recyclable = recyclable or frame["fn"] in ON_FREE_LISTS
    return None


def describe(error, stack):
    what = error.findtext("what") or error.find("xwhat").findtext("text")
    lines = [f"  {what}"]
    for frame in stack[:SHOWN_FRAMES]:
        marker = "*" if in_our_modules(frame) else " "
        lines.append(f"    {marker} {frame['fn']} {frame['where'] or frame['obj'].rsplit('/', 1)[-1]}")
    return "\n".join(lines)


def main(path):
    errors = ET.parse(path).getroot().findall("error")
    memory_errors, ours_lost, ours_recycled, all_lost_blocks, all_lost_bytes = [], [], [], 0, 0
    kinds = {}
    for error in errors:
        kind = error.findtext("kind")
        stack = frames(error)
        if kind.startswith("Leak_"):
            if kind != "Leak_DefinitelyLost":
                continue
            blocks = int(error.find("xwhat").findtext("leakedblocks"))
            all_lost_blocks += blocks
            all_lost_bytes += int(error.find("xwhat").findtext("leakedbytes"))
            owner = ownership(stack)
            if owner is not None:
                (ours_lost if owner == "ours" else ours_recycled).append((blocks, error, stack))
            continue
        memory_errors.append((error, stack))
        kinds[kind] = kinds.get(kind, 0) + 1

    invalid = sum(count for kind, count in kinds.items() if kind in ("InvalidRead", "InvalidWrite"))
    in_ours = sum(1 for _, stack in memory_errors if any(in_our_modules(frame) for frame in stack))
    ours_blocks = sum(blocks for blocks, _, _ in ours_lost)
    recycled_blocks = sum(blocks for blocks, _, _ in ours_recycled)
    print("== memcheck summary")
    print(f"invalid reads/writes:                  {invalid}")
    print(f"memory errors of any kind:             {len(memory_errors)}"
          + (f" ({', '.join(f'{kind} {count}' for kind, count in sorted(kinds.items()))})" if kinds else ""))
    print(f"  with a frame in our modules:         {in_ours}")
    print(f"definitely lost, allocated by us:      {ours_blocks} blocks")
    print(f"  first allocated by us, recycled:     {recycled_blocks} blocks (listed, not failing)")
    print(f"definitely lost, all (not suppressed): {all_lost_blocks} blocks, {all_lost_bytes} bytes")
    for error, stack in memory_errors:
        print(describe(error, stack))
    for _, error, stack in ours_lost + ours_recycled:
        print(describe(error, stack))
    return 1 if memory_errors or ours_lost else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
