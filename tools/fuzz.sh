#!/usr/bin/env bash
# Coverage-guided fuzzing under atheris, one harness of fuzz/ after another.
#
#   tools/fuzz.sh [seconds] [--harness NAME|all] [libFuzzer options...] [inputs...]
#                                                  (normally: ./run fuzz ...)
#
# Harnesses: bars (fuzz/fuzz_bars.py, the bar classes' byte entry points),
# convert (fuzz/fuzz_convert.py, tables into bar files), resample
# (fuzz/fuzz_resample.py, the native resampling pass) and aggregate
# (fuzz/fuzz_aggregate.py, bars from trades); the default is all of
# them, each for the given time (default 600 s; 0 replays the corpora only),
# after a replay of every corpus.
#
# The package is built with clang into its own environment ("$VENV-fuzz",
# build tree "$BUILD/fuzz/cmake"), instrumented for libFuzzer's coverage
# feedback and with AddressSanitizer and UndefinedBehaviorSanitizer (clang
# and its sanitizer runtime are installed with apt-get when missing).  Each
# harness first replays its committed inputs, fuzz/corpus/NAME and
# fuzz/regressions/NAME, with the corpus it grew before, "$BUILD/fuzz/NAME/corpus",
# then fuzzes in one worker.  An input that crashes the process or breaks a
# rule the harness checks is written to "$BUILD/fuzz/NAME/artifacts/" and
# stops the run.  Re-run one under the sanitizers with
#   tools/fuzz.sh 0 --harness NAME FILE
# (any argument that is not an option names an input to run instead of the
# corpora), cut it down with
#   tools/fuzz.sh 0 --harness NAME -minimize_crash=1 -runs=20000 FILE
# and commit it under fuzz/regressions/NAME/, which
# tests/test_fuzz_regressions.py replays.  To fold a campaign's findings into
# the seeds:
#   tools/fuzz.sh 0 --harness NAME -merge=1 fuzz/corpus/NAME "$BUILD/fuzz/NAME/corpus"
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}
BUILD=${BUILD:-build}
ATHERIS_VERSION=3.1.0

HARNESSES=(bars convert resample aggregate)
# Longest input per harness: a scenario, a table and its options, up to 400 records.
declare -A MAX_LEN=([bars]=2048 [convert]=1024 [resample]=4096 [aggregate]=4096)

seconds=600
seconds_given=
harness=all
passed=()  # libFuzzer's options and the inputs named
while [ $# -gt 0 ]; do
    case "$1" in
        --harness) harness=${2:?--harness needs a name}; shift 2 ;;
        --harness=*) harness=${1#--harness=}; shift ;;
        *)
            if [ -z "$seconds_given" ] && [ ${#passed[@]} -eq 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
                seconds=$1
                seconds_given=1
            else
                passed+=("$1")
            fi
            shift
            ;;
    esac
done
if [ "$harness" = all ]; then
    chosen=("${HARNESSES[@]}")
elif [ -n "${MAX_LEN[$harness]:-}" ]; then
    chosen=("$harness")
else
    echo "fuzz: no harness '$harness' (${HARNESSES[*]} or all)" >&2
    exit 2
fi
named_inputs=
for argument in "${passed[@]}"; do
    [ "${argument#-}" = "$argument" ] && named_inputs=1
done
if [ -n "$named_inputs" ] && [ ${#chosen[@]} -gt 1 ]; then
    echo "fuzz: inputs belong to one harness: name it with --harness" >&2
    exit 2
fi

fuzz_venv="$VENV-fuzz"
fuzz_build="$BUILD/fuzz"

# float-cast-overflow (a double cast to an integer it does not fit) is named
# as in the CMake sanitizer build, where GCC's "undefined" leaves it out.
flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined,float-cast-overflow"
flags+=" -fno-sanitize=vptr,function"
flags+=" -fno-sanitize-recover=all"

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

# Whether $cxx can link a program with the sanitizers: Debian ships their
# runtime apart from the compiler (libclang-rt-N-dev), so a clang without it
# compiles but cannot link ("cannot find libclang_rt.asan_static.a").
links_sanitized() {
    local probe
    probe=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-fuzz-probe.XXXXXX")
    echo 'int main() { return 0; }' > "$probe/probe.cpp"
    local status=0
    # shellcheck disable=SC2086  # $flags is a list of options
    "$cxx" $flags "$probe/probe.cpp" -o "$probe/probe" >"$probe/log" 2>&1 || status=1
    [ $status -eq 0 ] || tail -3 "$probe/log" >&2
    rm -rf "$probe"
    return $status
}

can_apt() {
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1
}

apt_install() {
    echo "fuzz: installing $*" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@" >/dev/null
}

apt_updated=
apt_update() {
    if [ -z "$apt_updated" ]; then
        apt-get update -qq -o DPkg::Lock::Timeout=600 >/dev/null
        apt_updated=1
    fi
}

if ! cxx=$(find_clang); then
    if ! can_apt; then
        echo "fuzz: clang++ is needed for the coverage instrumentation (apt-get install clang)" >&2
        exit 1
    fi
    apt_update
    # clang 19, as the static checks use, where the distribution has it.
    if apt-cache show clang-19 >/dev/null 2>&1; then
        apt_install clang-19
    else
        apt_install clang
    fi
    cxx=$(find_clang)
fi
if ! links_sanitized; then
    major=$("$cxx" -dumpversion | cut -d. -f1)
    if ! can_apt; then
        echo "fuzz: $cxx cannot link the sanitizers; install their runtime (apt-get install libclang-rt-$major-dev)" >&2
        exit 1
    fi
    apt_update
    apt_install "libclang-rt-$major-dev"
    links_sanitized || { echo "fuzz: $cxx still cannot link the sanitizers" >&2; exit 1; }
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

"$fuzz_venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -C "build-dir=$fuzz_build/cmake" \
    -C "cmake.build-type=RelWithDebInfo" \
    -C "cmake.define.CMAKE_CXX_COMPILER=$cxx" \
    -C "cmake.define.CMAKE_CXX_FLAGS=$flags" .

runtime_dir=$("$fuzz_venv/bin/python" -c 'import atheris; print(atheris.path())')
python_path="$(cd "$fuzz_venv" && pwd)/bin/python"

# The interpreter is not instrumented: the preloaded runtime brings libFuzzer
# and the sanitizers, and the system allocator serves Python's objects so
# that AddressSanitizer sees them.  Leak detection is off: the interpreter
# keeps caches across inputs.
export LD_PRELOAD="$runtime_dir/asan_with_fuzzer.so"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=64
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# fuzz_one NAME: replays NAME's corpora (or runs the inputs named), then fuzzes it.
fuzz_one() {
    local name=$1
    local work="$fuzz_build/$name"
    mkdir -p "$work/corpus" "$work/artifacts"
    case "$work" in /*) ;; *) work="$PWD/$work" ;; esac
    # libFuzzer starts argv[0] again for -merge, -minimize_crash and -fork: a
    # launcher that runs this environment's interpreter on the harness.
    local launcher="$work/launcher"
    printf '#!/bin/sh\nexec "%s" "%s" %s "$@"\n' "$python_path" "$PWD/fuzz/target.py" "$name" > "$launcher"
    chmod +x "$launcher"
    local inputs=() limits=(-max_total_time="$seconds")
    if [ -z "$named_inputs" ]; then
        # New inputs go to the first folder, the build tree's.
        inputs=("$work/corpus" "fuzz/corpus/$name")
        [ -d "fuzz/regressions/$name" ] && inputs+=("fuzz/regressions/$name")
        [ "$seconds" = 0 ] && limits=(-runs=0)
    fi
    if [ -n "$named_inputs" ]; then
        echo "fuzz: $name on the inputs named" >&2
    elif [ "$seconds" = 0 ]; then
        echo "fuzz: $name, replaying ${inputs[*]}" >&2
    else
        echo "fuzz: $name, replaying ${inputs[*]}, then fuzzing for $seconds s" >&2
    fi
    FUZZ_LAUNCHER="$launcher" "$launcher" \
        "${limits[@]}" -max_len="${MAX_LEN[$name]}" -timeout=20 -rss_limit_mb=6144 -detect_leaks=0 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${passed[@]}" "${inputs[@]}"
}

# With several harnesses, every corpus is replayed before any fuzzing, so
# that an input that fails now shows in seconds.
if [ ${#chosen[@]} -gt 1 ] && [ "$seconds" != 0 ]; then
    for name in "${chosen[@]}"; do
        seconds=0 fuzz_one "$name"
    done
fi
for name in "${chosen[@]}"; do
    fuzz_one "$name"
done
