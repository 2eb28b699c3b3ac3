#!/usr/bin/env bash
# The test suite under valgrind memcheck, against a build of our modules with
# debug information (in $VENV-memcheck, built in $BUILD/memcheck):
#
#   ./run memcheck [pytest args...]
#
# With no arguments it runs the whole suite except tests/test_leaks.py:
# valgrind's own leak check stands in for that module, whose traced
# measurements mean little under valgrind and whose 200 000 calls take many
# minutes there.  Arguments select a subset as for pytest (paths, -k, ...).
#
# The interpreter's objects come from the system allocator (PYTHONMALLOC=malloc)
# so that valgrind sees every one.  The summary counts the memory errors
# (invalid reads and writes and the rest) and the definitely-lost blocks that
# our modules allocated; either fails the run, as does a failing test.  The
# whole log is in $BUILD/memcheck/valgrind.xml.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-${TARNWICK_VENV:-.venv}}
BUILD=${BUILD:-${TARNWICK_BUILD:-build}}
memcheck_venv="$VENV-memcheck"
memcheck_build="$BUILD/memcheck"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

if ! command -v valgrind >/dev/null 2>&1; then
    echo "memcheck: installing valgrind"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends valgrind >/dev/null
fi

# The environment and its tools as `./run test` makes them, then our modules
# again with debug information and symbols, so that reports name functions
# and lines.
TARNWICK_VENV="$memcheck_venv" TARNWICK_BUILD="$BUILD" ./run test --collect-only -q >/dev/null
"$memcheck_venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -C build-dir="$memcheck_build" -C cmake.build-type=RelWithDebInfo -C install.strip=false .

arguments=("$@")
if [ ${#arguments[@]} -eq 0 ]; then
    arguments=(--ignore=tests/test_leaks.py)
fi
log="$memcheck_build/valgrind.xml"
started=$SECONDS
status=0
PYTHONPATH="$PWD/tools${PYTHONPATH:+:$PYTHONPATH}" PYTHONMALLOC=malloc \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --suppressions=tools/valgrind-python.supp --xml=yes --xml-file="$log" \
    "$memcheck_venv/bin/python" -m pytest -p no:cacheprovider -p memcheck_plugin -q "${arguments[@]}" || status=$?
echo "memcheck: $((SECONDS - started)) s under valgrind; log in $log"
if [ "$status" -ne 0 ]; then
    echo "memcheck: the test run failed (status $status)" >&2
fi
"$memcheck_venv/bin/python" tools/memcheck_report.py "$log" || status=1
exit "$status"
