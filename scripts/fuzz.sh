#!/bin/sh
# libFuzzer harnesses of the numeric cores (tests/fuzz/fuzz_*.cpp), built
# with clang and -fsanitize=fuzzer,address,undefined in their own folder and
# run one after the other for a bounded time.
#
# Each harness grows its corpus in tests/fuzz/corpus/<name>; after its run
# the corpus is merged down to the inputs that add coverage, so it stays
# small. An input that crashes, hangs or breaks an invariant is saved in
# $BUILD_DIR/findings/<name>/ and fails the run; replay it with
#   $BUILD_DIR/fuzz_<name> $BUILD_DIR/findings/<name>/crash-...
# The sanitizer build (make sanitize) replays every corpus with g++ as the
# C++ tests FuzzCorpus.<name>, so an input kept here stays a regression test.
#
#   FUZZ_SECONDS   time for all harnesses together (default 60)
#   FUZZ_HARNESSES names to run (default: every tests/fuzz/fuzz_*.cpp)
#   BUILD_DIR      build folder (default build-fuzz)
#   CLANGXX        compiler (default clang++)
set -eu

cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
BUILD_DIR=${BUILD_DIR:-build-fuzz}
CLANGXX=${CLANGXX:-clang++}
CORPUS_ROOT=tests/fuzz/corpus

# clang (with libFuzzer and the sanitizer runtimes) is needed by this target
# alone; deps.sh installs only what is missing.
EXTRA_PACKAGES=clang sh scripts/deps.sh

HARNESSES=${FUZZ_HARNESSES:-$(ls tests/fuzz/fuzz_*.cpp | sed 's|.*/fuzz_||; s|\.cpp$||')}
count=$(echo $HARNESSES | wc -w)
per_harness=$((FUZZ_SECONDS / count))
[ "$per_harness" -ge 1 ] || per_harness=1

# Same arithmetic as the main build: no fused multiply-add, no reassociation.
# Division by zero is not a finding: IEEE infinities and NaN are part of it.
FLAGS="-std=c++17 -g -O1 -ffp-contract=off -fno-fast-math -fno-omit-frame-pointer
-fno-sanitize-recover=undefined -Izelt_source -Idravex -Itests/fuzz"
CORE="zelt_source/fluid_properties.cpp zelt_source/screening_scores.cpp dravex/history_match.cpp"
mkdir -p "$BUILD_DIR/core"

# Rebuilds $1 from source $2 when it or any core source or header is newer.
stale() {
    [ ! -f "$1" ] && return 0
    for f in "$2" zelt_source/*.hpp zelt_source/*.cpp dravex/history_match.* tests/fuzz/*.hpp; do
        [ "$f" -nt "$1" ] && return 0
    done
    return 1
}

objects=""
for src in $CORE; do
    obj="$BUILD_DIR/core/$(basename "$src" .cpp).o"
    if stale "$obj" "$src"; then
        echo "compiling $src"
        # shellcheck disable=SC2086
        nice "$CLANGXX" $FLAGS -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$obj"
    fi
    objects="$objects $obj"
done
for h in $HARNESSES; do
    bin="$BUILD_DIR/fuzz_$h"
    if stale "$bin" "tests/fuzz/fuzz_$h.cpp"; then
        echo "building fuzz_$h"
        # shellcheck disable=SC2086
        nice "$CLANGXX" $FLAGS -fsanitize=fuzzer,address,undefined "tests/fuzz/fuzz_$h.cpp" $objects \
            -lpthread -o "$bin"
    fi
done

status=0
summary=""
for h in $HARNESSES; do
    corpus="$CORPUS_ROOT/$h"
    findings="$BUILD_DIR/findings/$h"
    log="$BUILD_DIR/fuzz_$h.log"
    mkdir -p "$corpus" "$findings"
    stamp="$BUILD_DIR/stamp_$h"
    touch "$stamp"
    echo "== fuzz_$h: ${per_harness}s"
    rc=0
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
        nice "$BUILD_DIR/fuzz_$h" -max_total_time="$per_harness" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" > "$log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    crashes=$(find "$findings" -type f -newer "$stamp" | wc -l)
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "fuzz_$h: failed (exit $rc); from its log:"
        grep -E -A 25 'invariant failed|ERROR: |runtime error|deadly signal' "$log" | sed -n '1,60p'
    fi
    # Keep only the inputs that add coverage.
    merged="$BUILD_DIR/merge_$h"
    rm -rf "$merged"
    mkdir -p "$merged"
    if nice "$BUILD_DIR/fuzz_$h" -merge=1 "$merged" "$corpus" > "$BUILD_DIR/merge_$h.log" 2>&1; then
        rm -rf "$corpus"
        mv "$merged" "$corpus"
    fi
    size=$(find "$corpus" -type f | wc -l)
    summary="$summary
$(printf '%-14s %12s %10s %8s %9s' "$h" "${execs:-?}" "${rate:-?}" "$size" "$crashes")"
done

echo
printf '%-14s %12s %10s %8s %9s\n' harness executions "execs/s" corpus findings
echo "$summary" | sed '/^$/d'
exit $status
