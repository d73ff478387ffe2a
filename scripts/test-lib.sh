# Shared by scripts/test.sh and scripts/ci-hardening.sh (sourced, with $root
# set to the repository root): test environments that are reused between
# runs, module builds that happen only when their inputs changed.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1
# Nothing runs under nice by default: on a busy machine a niced build waits
# behind every other process. On a machine shared with other work,
# KAVELL_NICE=10 lowers the priority of all of it (builds, suites, fuzzing)
# alike, once, for the processes it starts.
if [ "${KAVELL_NICE:-0}" != 0 ]; then
    renice -n "$KAVELL_NICE" -p $$ >/dev/null
    export KAVELL_NICE=0
fi
# Two test processes: the machine this is tuned for has two cores.
test_jobs=${KAVELL_TEST_JOBS:-2}

# Installs the Debian packages given as arguments that are missing. Prints
# nothing on standard output (its progress goes to standard error), so a
# function that captures its own result with $(...) may call it.
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
    echo "--- apt-get install ${missing[*]}" >&2
    # Another apt-get on the machine holds the lock for a while at most.
    { apt-get -o DPkg::Lock::Timeout=600 update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"; } >/dev/null ||
        { echo "error: apt-get install ${missing[*]} failed" >&2; return 1; }
}

# What the module is built from: any change here rebuilds it (incrementally,
# in its build folder).
source_hash() {
    (cd "$root" && find CMakeLists.txt pyproject.toml README.md LICENSE src python stubs tests/native \
         -name __pycache__ -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) | sha256sum
}

# prepare_venv NAME PYTHON REQUIREMENTS-FILE...: the environment .venv/NAME
# with the requirement files installed. It is kept while the interpreter and
# the requirement files stay the same, and made afresh otherwise.
prepare_venv() {
    local name=$1 interpreter=$2
    shift 2
    local venv=$root/.venv/$name key requirements=() file
    key=$({ "$interpreter" -c 'import sys; print(sys.executable, sys.version)' && cat "$@"; } | sha256sum) ||
        return 1
    if [ -x "$venv/bin/python" ] && [ "$(cat "$venv/.kavell-requirements" 2>/dev/null)" = "$key" ]; then
        return 0
    fi
    for file in "$@"; do
        requirements+=(-r "$file")
    done
    echo "--- making .venv/$name"
    local start=$SECONDS
    rm -rf "$venv"
    "$interpreter" -m venv "$venv" &&
        "$venv/bin/python" -m pip install --quiet --upgrade pip &&
        "$venv/bin/python" -m pip install --quiet "${requirements[@]}" &&
        echo "$key" >"$venv/.kavell-requirements" &&
        echo "--- .venv/$name made in $((SECONDS - start))s"
}

# install_module NAME [CMAKE-DEFINE...]: builds the package (with the
# test-only module) in build/NAME and installs it into .venv/NAME; nothing is
# done when the sources, the defines and the environment are those of the
# last install. The build folder is kept, so a rebuild compiles only what
# changed.
install_module() {
    local name=$1 define
    shift
    local stamp=$root/.venv/$name/.kavell-build key defines=(-C cmake.define.KAVELL_TESTING=ON)
    for define in "$@"; do
        defines+=(-C "cmake.define.$define")
    done
    key=$({ printf '%s\n' "${defines[@]}" && cat "$root/.venv/$name/.kavell-requirements" && source_hash; } |
          sha256sum)
    # The test-only module lives in the build folder, outside the environment.
    if compgen -G "$root/build/$name/testing/_kavell_testing*.so" >/dev/null &&
       [ "$(cat "$stamp" 2>/dev/null)" = "$key" ]; then
        echo "--- $name: module up to date"
        return 0
    fi
    echo "--- building $name"
    local start=$SECONDS
    rm -f "$stamp"
    "$root/.venv/$name/bin/python" -m pip install --quiet --no-build-isolation --force-reinstall --no-deps "$root" \
        -C build-dir="$root/build/$name" "${defines[@]}" || return 1
    echo "$key" >"$stamp"
    echo "--- $name built in $((SECONDS - start))s"
}

# run_pytest NAME [PYTEST-ARG...]: pytest in .venv/NAME with the test-only
# module of build/NAME, logged to build/NAME.log; appends the summary line
# to $detail.
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
