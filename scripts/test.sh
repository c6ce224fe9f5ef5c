#!/usr/bin/env bash
# Builds VOK and runs every test: installs what is missing (Debian packages, among
# them chromium for the report page's test, and PyPI packages), installs the
# extension module with pip, runs the C++ tests in a release build and again
# under AddressSanitizer + UBSan, then runs pytest.
#
# Environment knobs (all optional):
#   PYTHON              interpreter to build for and test with (default python3)
#   VOK_JOBS            parallel build jobs (default: number of cores)
#   VOK_BUILD_DIR       C++ test build directory (default build/cpp)
#   VOK_ASAN_BUILD_DIR  sanitized C++ test build directory (default build/cpp-asan)
#   VOK_WHEEL_BUILD_DIR build directory of `pip install .` (default build/wheel)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PYTHON="${PYTHON:-python3}"
JOBS="${VOK_JOBS:-$(nproc 2>/dev/null || echo 2)}"
BUILD_DIR="${VOK_BUILD_DIR:-build/cpp}"
ASAN_BUILD_DIR="${VOK_ASAN_BUILD_DIR:-build/cpp-asan}"
WHEEL_BUILD_DIR="${VOK_WHEEL_BUILD_DIR:-build/wheel}"

# shellcheck source=scripts/setup_steps.sh
source "$ROOT/scripts/setup_steps.sh"

# ---------------------------------------------------------------- system packages
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
python_include="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
[ -f "$python_include/Python.h" ] || missing+=(python3-dev)
# The report page's test renders it in a headless browser.
command -v chromium >/dev/null 2>&1 || missing+=(chromium)

if [ "${#missing[@]}" -gt 0 ]; then
    step "Installing Debian packages: ${missing[*]}"
    apt_install "${missing[@]}"
fi

# ---------------------------------------------------------------- Python packages
allow_pip_install

step "Installing Python build and test requirements"
"$PYTHON" -m pip install --quiet pytest mypy "matplotlib>=3.5" "pybind11>=3.0" "nlohmann-json==3.12.0" \
    "scikit-build-core>=0.10" "vrplib>=2.0"
command -v cmake >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet "cmake>=3.18"
command -v ninja >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet ninja

step "Installing the _vok_core module with the Dask extra (pip install \".[dask]\")"
"$PYTHON" -m pip install --quiet -C "build-dir=$WHEEL_BUILD_DIR" </dev/null ".[dask]"

# ---------------------------------------------------------------- C++ tests
run_cpp_tests() {
    local build_dir="$1"
    shift
    cmake -S . -B "$build_dir" -G Ninja -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
        -DVOK_BUILD_TESTS=ON -DVOK_BUILD_PYTHON=OFF "$@"
    cmake --build "$build_dir" -j "$JOBS"
    ctest --test-dir "$build_dir" --output-on-failure --no-tests=error -j "$JOBS"
}

step "C++ tests (release)"
run_cpp_tests "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DVOK_SANITIZE=OFF

step "C++ tests (debug, AddressSanitizer + UndefinedBehaviorSanitizer)"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    run_cpp_tests "$ASAN_BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DVOK_SANITIZE=ON

# ---------------------------------------------------------------- Python tests
# Run from outside the source tree so only the installed module can be imported.
step "Python tests"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
status=0
(cd "$scratch" && "$PYTHON" -m pytest -p no:cacheprovider --rootdir "$ROOT" -c "$ROOT/pyproject.toml" \
    "$ROOT/tests/python") || status=$?
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests" >&2
    exit 1
elif [ "$status" -ne 0 ]; then
    exit "$status"
fi

step "All tests passed"
