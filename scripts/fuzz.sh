#!/usr/bin/env bash
# Fuzzes the JSON road (parser, reader, solver set-up and a short search on
# small instances) with clang's libFuzzer under AddressSanitizer + UBSan, for a
# bounded time. Any finding (crash, sanitizer report, unexpected exception,
# hang, failed check) fails the script and leaves its input in the build folder.
# Installs clang and its runtime libraries (Debian packages) when missing.
#
# Environment knobs (all optional):
#   VOK_FUZZ_SECONDS    how long to fuzz (default 60)
#   VOK_FUZZ_BUILD_DIR  build and corpus folder (default build/fuzz)
#   VOK_JOBS            parallel compile jobs (default: number of cores)
#   PYTHON              interpreter whose nlohmann-json package gives the headers (default python3)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

SECONDS_TO_FUZZ="${VOK_FUZZ_SECONDS:-60}"
BUILD_DIR="${VOK_FUZZ_BUILD_DIR:-build/fuzz}"
JOBS="${VOK_JOBS:-$(nproc 2>/dev/null || echo 2)}"
PYTHON="${PYTHON:-python3}"
# shellcheck source=scripts/setup_steps.sh
source "$ROOT/scripts/setup_steps.sh"

# ---------------------------------------------------------------- toolchain
find_clang() {
    local candidate
    for candidate in clang++ clang++-14 clang++-15 clang++-16 clang++-19; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
            "$candidate" -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if ! CXX="$(find_clang)"; then
    step "Installing clang and its libFuzzer runtime (Debian packages clang, libclang-rt-N-dev)"
    apt_install clang
    version="$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\)\..*/\1/p' | head -1)"
    apt_install "libclang-rt-${version:-14}-dev"
    CXX="$(find_clang)" || { echo "error: clang cannot build a libFuzzer target" >&2; exit 1; }
fi

if ! NLOHMANN="$("$PYTHON" -c 'import os, nlohmann_json; print(os.path.join(os.path.dirname(nlohmann_json.__file__), "include"))' 2>/dev/null)"; then
    step "Installing nlohmann-json (PyPI)"
    allow_pip_install
    "$PYTHON" -m pip install --quiet "nlohmann-json==3.12.0"
    NLOHMANN="$("$PYTHON" -c 'import os, nlohmann_json; print(os.path.join(os.path.dirname(nlohmann_json.__file__), "include"))')"
fi

# ---------------------------------------------------------------- build
step "Building the fuzz target with $CXX (libFuzzer, AddressSanitizer, UBSan)"
mkdir -p "$BUILD_DIR/obj"
FLAGS=(-std=c++17 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
    -I "$ROOT" -isystem "$NLOHMANN")
newest_header="$(find core graph rules plugins search postopt improve driver -name '*.h' -newer "$BUILD_DIR/obj" 2>/dev/null | head -1 || true)"
[ -n "$newest_header" ] && rm -f "$BUILD_DIR"/obj/*.o
sources=(core/*.cpp graph/*.cpp rules/*.cpp plugins/*.cpp search/*.cpp postopt/*.cpp improve/*.cpp driver/*.cpp)
stale=()
for source in "${sources[@]}"; do
    object="$BUILD_DIR/obj/$(echo "$source" | tr / _).o"
    [ "$object" -nt "$source" ] || stale+=("$source")
done
compile() {
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer-no-link -c "$1" -o "$BUILD_DIR/obj/$(echo "$1" | tr / _).o"
}
pids=()
for source in "${stale[@]}"; do
    compile "$source" &
    pids+=($!)
    if [ "${#pids[@]}" -ge "$JOBS" ]; then
        wait "${pids[0]}"
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid"; done
touch "$BUILD_DIR/obj"
"$CXX" "${FLAGS[@]}" -fsanitize=fuzzer tests/fuzz/fuzz_instance.cpp "$BUILD_DIR"/obj/*.o -o "$BUILD_DIR/fuzz_instance"

# ---------------------------------------------------------------- run
# The corpus grows from run to run; the seeds are the shipped examples and a
# few small instances that reach the search.
mkdir -p "$BUILD_DIR/corpus"
cp examples/*.json tests/fuzz/seeds/*.json "$BUILD_DIR/corpus/"
step "Fuzzing for $SECONDS_TO_FUZZ s (VOK_FUZZ_SECONDS sets it)"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    "$BUILD_DIR/fuzz_instance" -max_total_time="$SECONDS_TO_FUZZ" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -dict=tests/fuzz/json.dict -artifact_prefix="$BUILD_DIR/" -print_final_stats=1 "$BUILD_DIR/corpus"
step "Fuzzing found nothing"
