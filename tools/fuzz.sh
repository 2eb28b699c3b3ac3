#!/usr/bin/env bash
# Coverage-guided fuzzing of the bar classes (fuzz/fuzz_bars.py under atheris).
#
#   tools/fuzz.sh [seconds] [libFuzzer options...]     (normally: ./run fuzz [seconds])
#
# The package is built with clang into its own environment ("$VENV-fuzz",
# build tree "$BUILD/fuzz"), instrumented for libFuzzer's coverage feedback
# and with AddressSanitizer and UndefinedBehaviorSanitizer (clang and its
# sanitizer runtime are installed with apt-get when missing), and the harness
# runs in one worker for the given time (default 600 s).  The growing corpus
# lives in "$BUILD/fuzz/corpus", seeded from fuzz/corpus; inputs that crash
# the process or raise an exception the classes do not document are written
# to "$BUILD/fuzz/artifacts/".  Re-run one under the sanitizers with
#   tools/fuzz.sh 0 FILE
# (any argument that is not an option names an input to run instead of the
# corpus), cut it down (-minimize_crash=1), and commit it under
# fuzz/regressions/, where tests/test_fuzz_regressions.py replays it.  To
# fold a campaign's findings into the seeds:
#   tools/fuzz.sh 0 -merge=1 fuzz/corpus "$BUILD/fuzz/corpus"
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}
BUILD=${BUILD:-build}
ATHERIS_VERSION=3.1.0

seconds=${1:-600}
[ $# -gt 0 ] && shift

fuzz_venv="$VENV-fuzz"
fuzz_build="$BUILD/fuzz"

flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function"
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
# libFuzzer starts argv[0] again for -merge, -minimize_crash and -fork: a
# launcher that runs this environment's interpreter on the harness.
launcher="$fuzz_build/fuzz_bars"
case "$launcher" in /*) ;; *) launcher="$PWD/$launcher" ;; esac
printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$(cd "$fuzz_venv" && pwd)/bin/python" "$PWD/fuzz/fuzz_bars.py" > "$launcher"
chmod +x "$launcher"
export FUZZ_LAUNCHER="$launcher"
exec "$launcher" \
    -max_total_time="$seconds" -max_len=2048 -timeout=20 -rss_limit_mb=6144 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$fuzz_build/artifacts/" "$@" "${inputs[@]}"
