#!/bin/sh
# libFuzzer harnesses of the numeric cores (tests/fuzz/fuzz_*.cpp), built by
# CMake with clang (-DZELT_FUZZ=ON: coverage, address and undefined-behaviour
# checks) in their own folder, and run one after the other for a bounded time.
#
# Each harness starts from its saved corpus, tests/fuzz/corpus/<name>, and
# grows a working corpus in $BUILD_DIR/corpus/<name>, merged down after the
# run to the inputs that add coverage. The saved corpus is read, never
# written, unless FUZZ_UPDATE=1 (make fuzz-update): then the inputs of the
# working corpus that add coverage to it are copied into it. An input that
# crashes, hangs or breaks an invariant is saved in $BUILD_DIR/findings/<name>/
# and fails the run; replay it with
#   $BUILD_DIR/fuzz_<name> $BUILD_DIR/findings/<name>/crash-...
# Every build replays the saved corpora as the C++ tests FuzzCorpus.<name>,
# so an input kept there stays a regression test.
#
#   FUZZ_SECONDS   time for all harnesses together (default 60)
#   FUZZ_HARNESSES names to run (default: every tests/fuzz/fuzz_*.cpp)
#   FUZZ_UPDATE    1: add the new coverage to tests/fuzz/corpus
#   BUILD_DIR      build folder (default build-fuzz)
#   CLANGXX        compiler (default clang++)
set -eu

cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_UPDATE=${FUZZ_UPDATE:-0}
BUILD_DIR=${BUILD_DIR:-build-fuzz}
CLANGXX=${CLANGXX:-clang++}
SAVED_ROOT=tests/fuzz/corpus
WORK_ROOT=$BUILD_DIR/corpus

# clang (with libFuzzer and the sanitizer runtimes) is needed by this target
# alone; deps.sh installs only what is missing.
EXTRA_PACKAGES=clang sh scripts/deps.sh

mkdir -p "$BUILD_DIR"
CXX=$CLANGXX nice cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELT_FUZZ=ON -DZELT_WITH_PYTHON=OFF -DZELT_BUILD_BENCH=OFF > "$BUILD_DIR/configure.log" 2>&1 \
    || { cat "$BUILD_DIR/configure.log"; exit 1; }
nice cmake --build "$BUILD_DIR" -j "${JOBS:-2}"

HARNESSES=${FUZZ_HARNESSES:-$(ls tests/fuzz/fuzz_*.cpp | sed 's|.*/fuzz_||; s|\.cpp$||')}
count=$(echo $HARNESSES | wc -w)
per_harness=$((FUZZ_SECONDS / count))
[ "$per_harness" -ge 1 ] || per_harness=1

status=0
summary=""
for h in $HARNESSES; do
    saved="$SAVED_ROOT/$h"
    work="$WORK_ROOT/$h"
    findings="$BUILD_DIR/findings/$h"
    log="$BUILD_DIR/fuzz_$h.log"
    mkdir -p "$saved" "$work" "$findings"
    stamp="$BUILD_DIR/stamp_$h"
    touch "$stamp"
    echo "== fuzz_$h: ${per_harness}s"
    rc=0
    # New inputs go to the first folder, the working corpus.
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
        nice "$BUILD_DIR/fuzz_$h" -max_total_time="$per_harness" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$saved" > "$log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    crashes=$(find "$findings" -type f -newer "$stamp" | wc -l)
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "fuzz_$h: failed (exit $rc); from its log:"
        grep -E -A 25 'invariant failed|ERROR: |runtime error|deadly signal' "$log" | sed -n '1,60p'
    fi
    # The working corpus keeps only the inputs that add coverage.
    merged="$BUILD_DIR/merge_$h"
    rm -rf "$merged"
    mkdir -p "$merged"
    if nice "$BUILD_DIR/fuzz_$h" -merge=1 "$merged" "$work" > "$BUILD_DIR/merge_$h.log" 2>&1; then
        rm -rf "$work"
        mv "$merged" "$work"
    fi
    added=0
    if [ "$FUZZ_UPDATE" = 1 ]; then
        before=$(find "$saved" -type f | wc -l)
        nice "$BUILD_DIR/fuzz_$h" -merge=1 "$saved" "$work" > "$BUILD_DIR/update_$h.log" 2>&1 || status=1
        added=$(( $(find "$saved" -type f | wc -l) - before ))
    fi
    size=$(find "$work" -type f | wc -l)
    summary="$summary
$(printf '%-14s %12s %10s %8s %8s %9s' "$h" "${execs:-?}" "${rate:-?}" "$size" "$added" "$crashes")"
done

echo
printf '%-14s %12s %10s %8s %8s %9s\n' harness executions "execs/s" working "saved+" findings
echo "$summary" | sed '/^$/d'
exit $status
