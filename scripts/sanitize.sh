#!/bin/sh
# The C++ tests and both extension modules under AddressSanitizer and
# UndefinedBehaviorSanitizer (g++), in their own build folder, then the C++
# tests and the pytest suite run against that build.
#
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded
# into it; its own allocations are not checked for leaks (detect_leaks=0),
# and PYTHONMALLOC=malloc sends Python objects through the checked allocator
# so that a reference dropped too early by a module shows as a
# use-after-free. Any report fails the run.
#
#   PYTHON          interpreter (default /usr/bin/python3)
#   BUILD_DIR       build folder (default build-sanitize)
#   JOBS            parallel compile jobs (default 2)
#   PYTEST_ARGS     extra pytest arguments (default -q)
#   PYTEST_MARKERS  pytest marker expression (default "not slow"; empty: all)
#   QUARANTINE_MB   ASan quarantine for the Python run (default 4)
set -eu

cd "$(dirname "$0")/.."
ROOT=$(pwd)
PYTHON=${PYTHON:-/usr/bin/python3}
BUILD_DIR=${BUILD_DIR:-build-sanitize}
JOBS=${JOBS:-2}
PYTEST_ARGS=${PYTEST_ARGS:--q}
PYTEST_MARKERS=${PYTEST_MARKERS-not slow}
QUARANTINE_MB=${QUARANTINE_MB:-4}
CXX_SAN=${CXX_SAN:-g++}

REPORTS="$ROOT/$BUILD_DIR/sanitizer-reports"

# The runtimes the modules were linked against: those of this g++.
LIBASAN=$("$CXX_SAN" -print-file-name=libasan.so)
LIBUBSAN=$("$CXX_SAN" -print-file-name=libubsan.so)
for lib in "$LIBASAN" "$LIBUBSAN"; do
    if [ ! -e "$lib" ]; then
        echo "sanitize: $CXX_SAN has no $(basename "$lib")" >&2
        exit 2
    fi
done

# A folder configured with another compiler is started afresh (its
# runtimes would not be the preloaded ones).
cache="$BUILD_DIR/CMakeCache.txt"
if [ -f "$cache" ]; then
    cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")
    if [ "$(readlink -f "$cached")" != "$(readlink -f "$(command -v "$CXX_SAN")")" ]; then
        rm -rf "$BUILD_DIR"
    fi
fi
CXX="$CXX_SAN" nice cmake -S . -B "$BUILD_DIR" -DPYTHON_EXECUTABLE="$PYTHON" \
    -DCMAKE_BUILD_TYPE=Debug -DZELT_SANITIZE=ON
status=0
# The screening module and the C++ tests first: a module still being written
# elsewhere in the tree must not keep them from being checked. Whatever else
# the tree builds (the forecasting module, once it is there) comes next; a
# failure there fails the run, after the tests of what did build.
nice cmake --build "$BUILD_DIR" -j "$JOBS" --target zelt zelt_core_tests
if ! nice cmake --build "$BUILD_DIR" -j "$JOBS"; then
    echo "sanitize: not every target of the tree builds; testing what did" >&2
    status=1
fi

rm -rf "$REPORTS"
mkdir -p "$REPORTS"

# Each step's output is kept in $REPORTS as well: UBSan writes its reports
# to stderr whatever log_path says when it shares the process with ASan, so
# they are found there. halt_on_error makes any of them fail the process
# that met it, a test's subprocess included.
run_logged() {
    log=$1
    shift
    { rc=0; "$@" || rc=$?; echo $rc > "$log.rc"; } 2>&1 | tee "$log"
    [ "$(cat "$log.rc")" -eq 0 ]
}

UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export UBSAN_OPTIONS

# C++ tests: leaks are checked too, the code is all ours.
echo "== C++ tests under sanitizers"
ASAN_OPTIONS="log_path=$REPORTS/asan-cpp:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
    run_logged "$REPORTS/ctest.log" sh -c "cd '$BUILD_DIR' && nice ctest --output-on-failure" \
    || status=1

# The Python suite against the sanitized modules. ASan's quarantine (freed
# memory held back so that a late use of it is caught) is kept to a few MB:
# the suite's RSS bounds could not hold with the default 256 MB, and a
# reference dropped too early is used again within far less. Tests marked
# slow are left out: the long runs, many times longer here, whose tight RSS
# bounds ASan's allocator overruns by itself. Output is captured at the
# Python level only, so what the runtimes write to fd 2 is seen.
echo "== pytest under sanitizers"
LD_PRELOAD="$LIBASAN $LIBUBSAN" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="log_path=$REPORTS/asan-py:detect_leaks=0:strict_string_checks=1:quarantine_size_mb=$QUARANTINE_MB:thread_local_quarantine_size_kb=64" \
PYTHONPATH="$ROOT/$BUILD_DIR" \
    run_logged "$REPORTS/pytest.log" nice "$PYTHON" -m pytest $PYTEST_ARGS --capture=sys \
        -m "$PYTEST_MARKERS" tests/python || status=1

# ASan and LSan reports in their own files (subprocesses' too), UBSan's in
# the logs.
count=$(grep -l -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' \
    $(find "$REPORTS" -type f ! -name '*.rc') /dev/null | wc -l)
if [ "$count" -ne 0 ]; then
    echo "== sanitizer reports in $count file(s) of $REPORTS:"
    grep -l -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' \
        $(find "$REPORTS" -type f ! -name '*.rc') | while read -r f; do
        echo "--- $f"
        grep -E -A 30 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$f" | sed -n '1,60p'
    done
    status=1
else
    echo "== sanitizer reports: none"
fi
exit $status
