#!/usr/bin/env bash
# Builds kavell and runs the whole test suite against CPython 3.10 (required)
# and every CPython 3.11 to 3.13 found on this machine, each in a virtual
# environment of its own under .venv/. Prints pytest's summary line per
# interpreter and exits non-zero if any interpreter fails.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1

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

declare -a versions=() interpreters=()
for version in 3.10 3.11 3.12 3.13; do
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
    venv=$root/.venv/test-$version
    build=$root/build/test-$version
    log=$root/build/test-$version.log
    mkdir -p "$root/build"
    echo "=== CPython $version ($python)"
    if ! { [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"; } ||
       ! "$venv/bin/python" -m pip install --quiet --upgrade pip -r "$root/tests/requirements.txt" ||
       ! "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$root" \
             -C build-dir="$build" -C cmake.define.KAVELL_TESTING=ON; then
        summary+=("CPython $version: build failed")
        status=1
        continue
    fi
    KAVELL_TESTING_DIR="$build/testing" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" \
        2>&1 | tee "$log"
    result=${PIPESTATUS[0]}
    line=$(grep -E '^=* *[0-9]+ (passed|failed|error)|^=* .*(passed|failed|error).* in [0-9.]+s' "$log" | tail -n 1)
    summary+=("CPython $version: ${line:-no summary (exit $result)}")
    [ "$result" -eq 0 ] || status=1
done

# The hardening checks (sanitizers, the debug interpreter, fuzzing) run after
# the suites: on by default, as in CI; KAVELL_HARDENING=0 skips them.
if [ "${KAVELL_HARDENING:-1}" != 0 ]; then
    "$root/scripts/ci-hardening.sh" "${interpreters[0]}" 2>&1 | tee "$root/build/hardening.log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    mapfile -t -O "${#summary[@]}" summary < <(grep '^hardening [a-z-]*: ' "$root/build/hardening.log")
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
exit $status
