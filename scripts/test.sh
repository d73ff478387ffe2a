#!/usr/bin/env bash
# Builds kavell and runs the whole test suite against CPython 3.10 (required)
# and every CPython 3.11 to 3.13 found on this machine, each in a virtual
# environment of its own under .venv/, then the hardening checks of
# scripts/ci-hardening.sh. Prints pytest's summary line per interpreter and
# exits non-zero if anything fails.
#
# CPython 3.10, the reference, also gets the test-only tools of
# tests/requirements-tools.txt (type checkers, the sdist build, plotting,
# Dask, the peers of the comparison example), and every test that uses them
# must run there; the other interpreters run the module's own tests, and the
# tool tests skip.
#
# Environments are kept between runs while the interpreter and requirement
# files stay the same; the module is rebuilt only when its sources changed,
# incrementally, in build/test-VERSION.
#
# Quick subsets:
#   KAVELL_PYTHONS="3.12"    only these interpreters (3.10 is then not required)
#   KAVELL_HARDENING=0       no hardening checks; or a list of steps, e.g.
#                            KAVELL_HARDENING="sanitize fuzz"
#   scripts/test.sh ARG...   extra pytest arguments for every interpreter,
#                            e.g. -k xvec or tests/test_xvec.py
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/test-lib.sh"

find_python() {
    local version=$1 candidate
    for candidate in "python$version" "$HOME/.pyenv/versions/$version"*/bin/python "/usr/bin/python$version" \
                     "/usr/local/bin/python$version"; do
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" \
               2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

# The skip reasons of a test whose tool is missing; on the reference
# interpreter, where every tool is installed, such a skip is a failure.
missing_tool='could not import|is not installed|not on PATH'

wanted=${KAVELL_PYTHONS:-3.10 3.11 3.12 3.13}
declare -a versions=() interpreters=()
for version in $wanted; do
    if python=$(find_python "$version"); then
        versions+=("$version")
        interpreters+=("$python")
    elif [ "$version" = 3.10 ]; then
        echo "error: CPython 3.10, the reference interpreter, was not found" >&2
        exit 2
    fi
done

declare -a summary=()
status=0
for index in "${!versions[@]}"; do
    version=${versions[$index]}
    python=${interpreters[$index]}
    name=test-$version
    start=$SECONDS
    mkdir -p "$root/build"
    echo "=== CPython $version ($python)"
    requirements=("$root/tests/requirements.txt")
    if [ "$version" = 3.10 ]; then
        requirements+=("$root/tests/requirements-tools.txt")
        # pyright runs on node.
        command -v node >/dev/null || apt_install nodejs || status=1
    fi
    if ! prepare_venv "$name" "$python" "${requirements[@]}" || ! install_module "$name"; then
        summary+=("CPython $version: build failed")
        status=1
        continue
    fi
    built=$((SECONDS - start))
    detail=
    run_pytest "$name" -n "$test_jobs" -rs --durations=10 "$@"  # the tests of pyproject.toml's testpaths by default
    result=$?
    if [ "$version" = 3.10 ] && grep -E "^SKIPPED .*($missing_tool)" "$root/build/$name.log"; then
        echo "error: on CPython 3.10 every test-only tool is installed and its tests must run" >&2
        detail+=", tool tests skipped"
        result=1
    fi
    summary+=("CPython $version: ${detail#*: } (build ${built}s, total $((SECONDS - start))s)")
    [ "$result" -eq 0 ] || status=1
done

# The hardening checks (sanitizers, the debug interpreter, fuzzing) run after
# the suites: all of them by default, as in CI.
hardening=${KAVELL_HARDENING:-1}
[ "$hardening" = 1 ] && hardening=
if [ "$hardening" != 0 ]; then
    python310=$(find_python 3.10) || { echo "error: the hardening checks need CPython 3.10" >&2; exit 2; }
    # shellcheck disable=SC2086  # a list of step names
    "$root/scripts/ci-hardening.sh" "$python310" $hardening 2>&1 | tee "$root/build/hardening.log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    mapfile -t -O "${#summary[@]}" summary < <(grep '^hardening [a-z-]*: ' "$root/build/hardening.log")
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
exit $status
