#!/usr/bin/env bash
# The hardening checks that scripts/test.sh runs after the per-interpreter
# suites:
#   sanitize      the whole suite with AddressSanitizer and
#                 UndefinedBehaviorSanitizer (GCC) on the given interpreter;
#                 any report stops the process that made it
#   debug-python  the whole suite on Debian's debug interpreter python3.11-dbg
#                 (its fatal checks of the C-API contract, and the total
#                 reference count checks that need sys.gettotalrefcount)
#   fuzz          each libFuzzer target of tests/fuzz for KAVELL_FUZZ_SECONDS
#                 (default 60), then the hostile-run test with many examples
#                 under the sanitizers and on the debug interpreter
# Usage: scripts/ci-hardening.sh PYTHON3.10 [STEP...] (default: all steps).
# Missing system packages (python3.11-dbg, clang, GMP) are installed with
# apt-get when running as root, as CI does.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
python=${1:?usage: scripts/ci-hardening.sh PYTHON [sanitize|debug-python|fuzz]...}
shift
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(sanitize debug-python fuzz)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1
fuzz_seconds=${KAVELL_FUZZ_SECONDS:-60}
hostile_examples=${KAVELL_HOSTILE_LONG_EXAMPLES:-1500}
mkdir -p "$root/build"

# Installs the Debian packages given as arguments that are missing.
apt_install() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "error: missing packages ${missing[*]} (install them, or run as root on Debian)" >&2
        return 1
    fi
    echo "--- apt-get install ${missing[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >/dev/null ||
        { echo "error: apt-get install ${missing[*]} failed" >&2; return 1; }
}

# build_venv NAME PYTHON [CMAKE-DEFINE...]: a test environment .venv/NAME with
# the package built in build/NAME (the test-only module in build/NAME/testing).
build_venv() {
    local name=$1 interpreter=$2 define
    shift 2
    local venv=$root/.venv/$name defines=(-C cmake.define.KAVELL_TESTING=ON)
    for define in "$@"; do
        defines+=(-C "cmake.define.$define")
    done
    echo "--- building $name"
    { [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"; } &&
        "$venv/bin/python" -m pip install --quiet --upgrade pip -r "$root/tests/requirements.txt" &&
        nice "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$root" \
            -C build-dir="$root/build/$name" "${defines[@]}"
}

# run_pytest NAME [PYTEST-ARG...]: pytest in .venv/NAME, logged to build/NAME.log.
run_pytest() {
    local name=$1
    shift
    KAVELL_TESTING_DIR="$root/build/$name/testing" "$root/.venv/$name/bin/python" -m pytest -q \
        -p no:cacheprovider "$@" 2>&1 | tee "$root/build/$name.log"
    local result=${PIPESTATUS[0]}
    detail+="${detail:+; }$name: $(grep -E '(passed|failed|error).* in [0-9.]+s' "$root/build/$name.log" |
        tail -n 1 | tr -d '=')"
    return "$result"
}

# The sanitizer runtime comes first in the process: the interpreter is not
# instrumented, so libasan is preloaded, with libstdc++ beside it so that
# ASan's __cxa_throw interceptor finds the real one. The interpreter's own
# allocator hides heap errors, and it leaks by design at exit.
with_sanitizers() {
    local asan stdcxx
    asan=$(realpath "$(g++ -print-file-name=libasan.so)")
    stdcxx=$(realpath "$(g++ -print-file-name=libstdc++.so)")
    LD_PRELOAD="$asan $stdcxx" PYTHONMALLOC=malloc \
        ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$@"
}

step_sanitize() {
    build_venv asan "$python" KAVELL_SANITIZE=ON || return 1
    # The sdist round trip and the type checkers run compilers and node, not
    # the module; the Dask example starts worker processes that would all
    # carry the preloaded runtime. None of them exercises native code that
    # the rest of the suite does not.
    with_sanitizers run_pytest asan "$root/tests" \
        --ignore="$root/tests/test_distribution.py" --ignore="$root/tests/test_stubs.py" \
        --deselect="tests/test_examples.py::test_dask_example_runs_on_a_local_cluster_and_reports_a_failure"
}

debug_python() {
    apt_install python3.11-dbg python3.11-dev python3.11-venv || return 1
    command -v python3.11-dbg
}

step_debug_python() {
    local interpreter
    interpreter=$(debug_python) || return 1
    build_venv debug "$interpreter" || return 1
    # The reference-count checks skip themselves elsewhere; here they must run.
    "$root/.venv/debug/bin/python" -c 'import sys; sys.gettotalrefcount' ||
        { echo "error: $interpreter is not a debug build" >&2; return 1; }
    run_pytest debug -rs "$root/tests" || return 1
    if grep -q 'SKIPPED.*test_total_reference_count' "$root/build/debug.log"; then
        echo "error: the reference-count checks were skipped" >&2
        return 1
    fi
}

step_fuzz() {
    apt_install clang libgmp-dev || return 1
    # libFuzzer's runtime comes with the compiler-rt package of clang's version.
    apt_install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev" || return 1
    local build=$root/build/fuzz status=0 target name corpus
    echo "--- building the fuzz targets"
    if ! { nice cmake -S "$root" -B "$build" -DKAVELL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
               -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
           nice cmake --build "$build" --target fuzz; } >"$root/build/fuzz-build.log" 2>&1; then
        tail -n 40 "$root/build/fuzz-build.log"
        return 1
    fi
    for target in "$build"/fuzz_*; do
        [ -x "$target" ] || continue
        name=$(basename "$target")
        corpus=$build/corpus/$name
        mkdir -p "$corpus"
        local options=(-max_total_time="$fuzz_seconds" -print_final_stats=1 -artifact_prefix="$build/$name-")
        [ -f "$root/tests/fuzz/${name#fuzz_}.dict" ] && options+=(-dict="$root/tests/fuzz/${name#fuzz_}.dict")
        echo "--- $name for ${fuzz_seconds}s"
        if nice "$target" "${options[@]}" "$corpus" >"$build/$name.log" 2>&1; then
            echo "hardening fuzz: $name: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$build/$name.log")"
        else
            tail -n 40 "$build/$name.log"
            echo "$name: FAILED (crash input in $build)"
            status=1
        fi
    done
    # The whole-run target: many more examples than in the plain suites, on
    # the sanitizer build and on the debug interpreter (reference counts).
    local hostile=("$root/tests/test_hostile_runs.py")
    if [ -x "$root/.venv/asan/bin/python" ] || build_venv asan "$python" KAVELL_SANITIZE=ON; then
        KAVELL_HOSTILE_EXAMPLES=$hostile_examples with_sanitizers run_pytest asan "${hostile[@]}" || status=1
    else
        status=1
    fi
    if [ -x "$root/.venv/debug/bin/python" ] || build_venv debug "$(debug_python)"; then
        KAVELL_HOSTILE_EXAMPLES=$hostile_examples run_pytest debug "${hostile[@]}" || status=1
    else
        status=1
    fi
    return $status
}

status=0
for step in "${steps[@]}"; do
    echo "=== hardening: $step"
    start=$SECONDS detail=
    case $step in
        sanitize) step_sanitize ;;
        debug-python) step_debug_python ;;
        fuzz) step_fuzz ;;
        *) echo "unknown step $step" >&2; false ;;
    esac
    result=$?
    echo "hardening $step: $([ $result -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - start))s${detail:+ ($detail)}"
    [ $result -eq 0 ] || status=1
done
exit $status
