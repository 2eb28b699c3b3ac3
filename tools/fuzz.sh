#!/usr/bin/env bash
# Coverage-guided fuzzing of the bar classes (fuzz/fuzz_bars.py under atheris).
#
#   tools/fuzz.sh [seconds] [libFuzzer options...]     (normally: ./run fuzz [seconds])
#
# The package is built with clang into its own environment ("$VENV-fuzz",
# build tree "$BUILD/fuzz"), instrumented for libFuzzer's coverage feedback
# and with AddressSanitizer and UndefinedBehaviorSanitizer, and the harness
# runs in one worker for the given time (default 600 s).  The growing corpus
# lives in "$BUILD/fuzz/corpus", seeded from fuzz/corpus; inputs that crash
# the process or raise an exception the classes do not document are written
# to "$BUILD/fuzz/artifacts/".  Re-run one under the sanitizers with
#   tools/fuzz.sh 0 FILE
# (any argument that is not an option names an input to run instead of the
# corpus), cut it down, and commit it under fuzz/regressions/, where
# tests/test_fuzz_regressions.py replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}
BUILD=${BUILD:-build}
ATHERIS_VERSION=3.1.0

seconds=${1:-600}
[ $# -gt 0 ] && shift

fuzz_venv="$VENV-fuzz"
fuzz_build="$BUILD/fuzz"

find_clang() {
    local candidate
    for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        if command -v "$candidate" >/dev/null 2>&1; then
            command -v "$candidate"
            return
        fi
    done
    return 1
}

if ! cxx=$(find_clang); then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: installing clang" >&2
        apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
        cxx=$(find_clang)
    else
        echo "fuzz: clang++ is needed for the coverage instrumentation (apt-get install clang)" >&2
        exit 1
    fi
fi

if [ ! -x "$fuzz_venv/bin/python" ]; then
    python_bin=
    if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
        python_bin=$(command -v python3.13)
    else
        python_bin=$(ls "$HOME"/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | tail -1)
    fi
    if [ -z "$python_bin" ]; then
        echo "fuzz: Python 3.13 not found" >&2
        exit 1
    fi
    "$python_bin" -m venv "$fuzz_venv"
fi
if [ ! -f "$fuzz_venv/.fuzz-tools-installed" ] || [ requirements-dev.txt -nt "$fuzz_venv/.fuzz-tools-installed" ]; then
    "$fuzz_venv/bin/python" -m pip install --quiet --upgrade pip
    "$fuzz_venv/bin/python" -m pip install --quiet -r requirements-dev.txt "atheris==$ATHERIS_VERSION"
    touch "$fuzz_venv/.fuzz-tools-installed"
fi

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function"
flags+=" -fno-sanitize-recover=all"
"$fuzz_venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -C "build-dir=$fuzz_build/cmake" \
    -C "cmake.build-type=RelWithDebInfo" \
    -C "cmake.define.CMAKE_CXX_COMPILER=$cxx" \
    -C "cmake.define.CMAKE_CXX_FLAGS=$flags" .

runtime_dir=$("$fuzz_venv/bin/python" -c 'import atheris; print(atheris.path())')
mkdir -p "$fuzz_build/corpus" "$fuzz_build/artifacts"

# The interpreter is not instrumented: the preloaded runtime brings libFuzzer
# and the sanitizers, and the system allocator serves Python's objects so
# that AddressSanitizer sees them.  Leak detection is off: the interpreter
# keeps caches across inputs.
export LD_PRELOAD="$runtime_dir/asan_with_fuzzer.so"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=64
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Arguments that are not options name inputs to run (or minimise) instead
# of fuzzing the corpus.
inputs=("$fuzz_build/corpus" fuzz/corpus)
for argument in "$@"; do
    if [ "${argument#-}" = "$argument" ]; then
        inputs=()
        break
    fi
done
exec "$fuzz_venv/bin/python" fuzz/fuzz_bars.py \
    -max_total_time="$seconds" -max_len=2048 -timeout=20 -rss_limit_mb=6144 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$fuzz_build/artifacts/" "$@" "${inputs[@]}"
