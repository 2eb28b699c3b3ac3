#!/usr/bin/env bash
# Static checks of our C++: clang-tidy (checks in .clang-tidy) and cppcheck,
# over the sources exactly as CMake compiles them.  Any finding of either
# fails the run.
#
#   tools/static_checks.sh
#
# VENV (or TARNWICK_VENV) names the virtual environment whose Python 3.13 the
# sources are compiled against (made by `./run test` if it does not exist);
# BUILD (or TARNWICK_BUILD) the build tree, where the compilation database
# goes to $BUILD/static.  Missing tools are installed with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-${TARNWICK_VENV:-.venv}}
BUILD=${BUILD:-${TARNWICK_BUILD:-build}}
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# clang-tidy 19 where the distribution has it; the unversioned one otherwise.
find_clang_tidy() {
    local candidate
    for candidate in clang-tidy-19 clang-tidy; do
        if command -v "$candidate" >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
}

install_tools() {
    local packages=()
    if [ -z "$(find_clang_tidy)" ]; then
        if apt-cache show clang-tidy-19 >/dev/null 2>&1; then
            packages+=(clang-tidy-19)
        else
            packages+=(clang-tidy)
        fi
    fi
    command -v cppcheck >/dev/null 2>&1 || packages+=(cppcheck)
    if [ ${#packages[@]} -gt 0 ]; then
        echo "static_checks: installing ${packages[*]}"
        as_root apt-get update -qq
        # apt-cache may not have known the versioned package before the update.
        if [ "${packages[0]}" = clang-tidy ] && apt-cache show clang-tidy-19 >/dev/null 2>&1; then
            packages[0]=clang-tidy-19
        fi
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
    fi
}

install_tools
CLANG_TIDY=$(find_clang_tidy)

if [ ! -x "$VENV/bin/python" ]; then
    TARNWICK_VENV="$VENV" TARNWICK_BUILD="$BUILD" ./run test --collect-only -q >/dev/null
fi

# The compilation database: a configure of the project, nothing built.
database="$BUILD/static"
PATH="$VENV/bin:$PATH" cmake -S . -B "$database" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
python_include=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')

sources=(src/tarnwick/base/*.cpp src/tarnwick/bars/*.cpp)
jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "== clang-tidy ($("$CLANG_TIDY" --version | grep -o 'version [0-9.]*'), ${#sources[@]} files)"
# The interpreter's headers are system headers and never reported; the
# "N warnings generated" lines count those and say nothing about our code.
if ! printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 1 "$CLANG_TIDY" -p "$database" --quiet 2>"$database/clang-tidy.stderr"; then
    status=1
fi
grep -v ' warnings\? generated\.$' "$database/clang-tidy.stderr" >&2 || true

echo "== cppcheck ($(cppcheck --version))"
# cppcheck does not read the interpreter's headers (they need the system
# headers, which it does not parse); its own "python" library and ours
# (tools/cppcheck-python.cfg) describe the API instead.  Suppressed:
#   missingIncludeSystem  - the system headers it does not read, as above;
#   *:/usr/*, *:<Python include dir>/*  - nothing in headers that are not ours;
#   useStlAlgorithm       - style advice to turn early-return loops into
#                           std::any_of/find_if lambdas, which read worse here
#                           (and whose member uses cppcheck 2.10 then misses).
if ! cppcheck --project="$database/compile_commands.json" --library=python --library=tools/cppcheck-python.cfg \
    --std=c++20 --enable=warning,style,performance,portability --inline-suppr --quiet -j "$jobs" \
    --suppress=missingIncludeSystem --suppress='*:/usr/*' --suppress="*:$python_include/*" \
    --suppress=useStlAlgorithm --error-exitcode=1 \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
    status=1
fi

if [ "$status" -ne 0 ]; then
    echo "static_checks: findings above" >&2
else
    echo "static_checks: no findings"
fi
exit "$status"
