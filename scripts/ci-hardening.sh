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
. "$root/scripts/test-lib.sh"
fuzz_seconds=${KAVELL_FUZZ_SECONDS:-60}
hostile_examples=${KAVELL_HOSTILE_LONG_EXAMPLES:-1500}
mkdir -p "$root/build"

# build_venv NAME PYTHON [CMAKE-DEFINE...]: a test environment .venv/NAME with
# the module's own test needs (not the tools of tests/requirements-tools.txt,
# whose tests skip here) and the package built in build/NAME; both are reused
# while their inputs are unchanged.
build_venv() {
    local name=$1 interpreter=$2
    shift 2
    prepare_venv "$name" "$interpreter" "$root/tests/requirements.txt" && install_module "$name" "$@"
}

# What the sanitizer and debug-interpreter suites leave out, each for a reason:
#   test_stubs.py, test_distribution.py
#                 run type checkers, node and compilers over the sources, not
#                 the module (they skip anyway without their tools);
#   test_hostile_runs.py
#                 runs in the fuzz step on these same two builds with
#                 $hostile_examples examples instead of 60;
#   the Dask example
#                 starts worker processes that would all carry the preloaded
#                 runtime (it skips without Dask);
# Everything else calls the module, so it runs.
hardening_pytest_args=(
    -n "$test_jobs" -rs
    --ignore=tests/test_stubs.py --ignore=tests/test_distribution.py --ignore=tests/test_hostile_runs.py
    --deselect=tests/test_examples.py::test_dask_example_runs_on_a_local_cluster_and_reports_a_failure
)

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
    with_sanitizers run_pytest asan "${hardening_pytest_args[@]}"
}

# Prints the debug interpreter's path, and only that, on standard output.
debug_python() {
    apt_install python3.11-dbg python3.11-dev python3.11-venv || return 1
    command -v python3.11-dbg || { echo "error: python3.11-dbg is not on PATH after its install" >&2; return 1; }
}

step_debug_python() {
    local interpreter
    interpreter=$(debug_python) || return 1
    build_venv debug "$interpreter" || return 1
    # The reference-count checks skip themselves elsewhere; here they must run.
    "$root/.venv/debug/bin/python" -c 'import sys; sys.gettotalrefcount' ||
        { echo "error: $interpreter is not a debug build" >&2; return 1; }
    run_pytest debug "${hardening_pytest_args[@]}" || return 1
    if grep -q 'SKIPPED.*test_total_reference_count' "$root/build/debug.log"; then
        echo "error: the reference-count checks were skipped" >&2
        return 1
    fi
}

# fuzz_target TARGET: runs one libFuzzer target for $fuzz_seconds on its
# corpus (kept in build/fuzz/corpus between runs), logged to TARGET.log.
fuzz_target() {
    local target=$1 name corpus
    name=$(basename "$target")
    corpus=$(dirname "$target")/corpus/$name
    mkdir -p "$corpus"
    local options=(-max_total_time="$fuzz_seconds" -print_final_stats=1 -artifact_prefix="$target-")
    [ -f "$root/tests/fuzz/${name#fuzz_}.dict" ] && options+=(-dict="$root/tests/fuzz/${name#fuzz_}.dict")
    "$target" "${options[@]}" "$corpus" >"$target.log" 2>&1
}

# hostile NAME: the hostile-run test with $hostile_examples examples in
# .venv/NAME, logged to build/NAME-hostile.log.
hostile() {
    local name=$1 run=()
    [ "$name" = asan ] && run=(with_sanitizers)
    KAVELL_HOSTILE_EXAMPLES=$hostile_examples KAVELL_TESTING_DIR="$root/build/$name/testing" \
        "${run[@]}" "$root/.venv/$name/bin/python" -m pytest -q -p no:cacheprovider \
        "$root/tests/test_hostile_runs.py" >"$root/build/$name-hostile.log" 2>&1
}

# run_pairs COMMAND ITEM...: COMMAND ITEM for every item, two at a time (the
# machine has two cores; more would only share them); prints each item's
# outcome and returns non-zero if any failed.
run_pairs() {
    local command=$1 item status=0
    shift
    local -A pids=()
    for item in "$@"; do
        "$command" "$item" &
        pids[$item]=$!
        if [ ${#pids[@]} -ge 2 ] || [ "$item" = "${!#}" ]; then
            for item in "${!pids[@]}"; do
                if wait "${pids[$item]}"; then
                    echo "$command $item: passed"
                else
                    echo "$command $item: FAILED"
                    status=1
                fi
            done
            pids=()
        fi
    done
    return $status
}

step_fuzz() {
    apt_install clang libgmp-dev || return 1
    # libFuzzer's runtime comes with the compiler-rt package of clang's version.
    apt_install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev" || return 1
    local build=$root/build/fuzz status=0 target targets=()
    echo "--- building the fuzz targets"
    if ! { cmake -S "$root" -B "$build" -DKAVELL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
               -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
           cmake --build "$build" --target fuzz; } >"$root/build/fuzz-build.log" 2>&1; then
        tail -n 40 "$root/build/fuzz-build.log"
        return 1
    fi
    for target in "$build"/fuzz_*; do
        [ -x "$target" ] && [ -f "$target" ] && targets+=("$target")
    done
    echo "--- ${#targets[@]} fuzz targets for ${fuzz_seconds}s each, two at a time"
    run_pairs fuzz_target "${targets[@]}" || status=1
    for target in "${targets[@]}"; do
        if grep -q 'Done [0-9]* runs' "$target.log"; then
            echo "hardening fuzz: $(basename "$target"): $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$target.log")"
        else
            tail -n 40 "$target.log"
            echo "$(basename "$target"): FAILED (crash input in $build)"
            status=1
        fi
    done
    # The whole-run target: many more examples than in the plain suites, on
    # the sanitizer build and on the debug interpreter (reference counts),
    # both at once.
    local name builds=()
    build_venv asan "$python" KAVELL_SANITIZE=ON && builds+=(asan) || status=1
    local debug_interpreter
    if debug_interpreter=$(debug_python) && build_venv debug "$debug_interpreter"; then
        builds+=(debug)
    else
        status=1
    fi
    echo "--- tests/test_hostile_runs.py with $hostile_examples examples on ${builds[*]}"
    run_pairs hostile "${builds[@]}" || status=1
    for name in "${builds[@]}"; do
        grep -E '(passed|failed|error)' "$root/build/$name-hostile.log" | tail -n 1
        grep -q ' passed' "$root/build/$name-hostile.log" && ! grep -qE ' (failed|error)' "$root/build/$name-hostile.log" ||
            tail -n 60 "$root/build/$name-hostile.log"
        detail+="${detail:+; }$name hostile: $(grep -E '(passed|failed|error).* in [0-9.]+s' \
            "$root/build/$name-hostile.log" | tail -n 1 | tr -d '=')"
    done
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
