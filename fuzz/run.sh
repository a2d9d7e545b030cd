#!/usr/bin/env bash
# Build the fuzzing harnesses and run each of them for SECONDS seconds.
#
#   fuzz/run.sh SECONDS [TARGET...]     (inside the sid root: scripts/sid)
#
# TARGETs are decode, decode_all, roundtrip, encode, shared_strings, prefix
# (velka.raw's decode_prefix), span and typed (velka.typed's decoder and
# encoder over a fixed set of models; all by default). The codec is built
# with AddressSanitizer, UndefinedBehaviorSanitizer and coverage
# instrumentation and linked into each harness, which embeds the interpreter
# with every Python allocation going through malloc. Up to FUZZ_JOBS
# harnesses (default: the number of CPUs) run at the same time.
#
# New inputs found go to fuzz/build/corpus/TARGET; the seed corpus in
# fuzz/corpus is only read. A crash, a sanitizer report, a leak, a timeout or
# an oracle mismatch stops that harness, leaves the input in
# fuzz/build/findings and makes the script fail. To replay an input:
#
#   scripts/sid env PYTHONPATH=fuzz/build/site:fuzz fuzz/build/bin/TARGET FILE
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
    targets=(decode decode_all roundtrip encode shared_strings prefix span typed)
jobs=${FUZZ_JOBS:-$(nproc)}

build=$here/build
mkdir -p "$build/obj" "$build/bin" "$build/site/velka" "$build/findings" "$build/logs"
cp "$root/velka/__init__.py" "$root/velka/typed.py" "$build/site/velka/"
rm -rf "$build/site/velka/_model"
cp -r "$root/velka/_model" "$build/site/velka/_model"

CXX=${CXX:-clang++}
common=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fno-exceptions -fno-rtti
    -fsanitize=address,undefined -fno-sanitize-recover=undefined
    $(python3.14-config --includes))

# Rebuild what is older than its sources (headers count for every object).
newer() {  # newer TARGET SOURCES...: true when TARGET is missing or stale
    local out=$1 src
    shift
    [ -e "$out" ] || return 0
    for src in "$@"; do
        [ "$src" -nt "$out" ] && return 0
    done
    return 1
}

# The extension modules (and the core they share) go into every harness.
objects=()
for source in "$root"/src/*/*.cpp; do
    unit=${source#"$root"/src/}
    obj=$build/obj/${unit//\//-}.o
    if newer "$obj" "$source" "$root"/src/*/*.hpp "$0"; then
        echo "fuzz: compiling src/$unit" >&2
        "$CXX" "${common[@]}" -I"$root/src/core" -fsanitize=fuzzer-no-link -c "$source" -o "$obj"
    fi
    objects+=("$obj")
done
# shellcheck disable=SC2207
ldflags=($(python3.14-config --embed --ldflags))
for target in "${targets[@]}"; do
    bin=$build/bin/$target
    if newer "$bin" "$here/harness.cpp" "${objects[@]}"; then
        echo "fuzz: linking $target" >&2
        "$CXX" "${common[@]}" -fsanitize=fuzzer -DFUZZ_TARGET="${target}_target" \
            "$here/harness.cpp" "${objects[@]}" "${ldflags[@]}" -o "$bin"
    fi
done

symbolizer=$(command -v llvm-symbolizer || ls /usr/lib/llvm-*/bin/llvm-symbolizer 2>/dev/null | head -n 1 || true)
export PYTHONPATH=$build/site:$here
export PYTHONMALLOC=malloc
export PYTHONDONTWRITEBYTECODE=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1${symbolizer:+:external_symbolizer_path=$symbolizer}
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

run_one() {
    local target=$1 corpus=$build/corpus/$1 leaks=1
    mkdir -p "$corpus"
    # The typed harness makes and drops instances whose memory the
    # interpreter keeps for reuse, so libFuzzer would suspect nearly every
    # input of leaking and run it again under LeakSanitizer: a hundredfold
    # slowdown. Its paths are in make check-leaks, which counts references
    # and memory blocks instead.
    [ "$target" = typed ] && leaks=0
    "$build/bin/$target" "$corpus" "$here/corpus" \
        -dict="$here/bencode.dict" -max_total_time="$seconds" -timeout=10 \
        -max_len=4096 -rss_limit_mb=4096 -print_final_stats=1 -detect_leaks="$leaks" \
        -artifact_prefix="$build/findings/$target-" >"$build/logs/$target.log" 2>&1
}

declare -A pids=()
failed=0
finish_one() {  # waits for one running harness and reports it
    local done_pid target status=0
    wait -n -p done_pid || status=$?
    for target in "${!pids[@]}"; do
        [ "${pids[$target]}" = "$done_pid" ] || continue
        unset "pids[$target]"
        local runs
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/$target.log")
        if [ "$status" -ne 0 ]; then
            failed=1
            echo "fuzz: $target FAILED (exit $status); log: fuzz/build/logs/$target.log" >&2
            grep -E -A40 'ERROR|runtime error|Finding|fuzz harness' "$build/logs/$target.log" |
                head -n 60 >&2 || true
        else
            echo "fuzz: $target: ${runs:-?} executions, no findings" >&2
        fi
        total=$((total + ${runs:-0}))
    done
}

total=0
for target in "${targets[@]}"; do
    while [ ${#pids[@]} -ge "$jobs" ]; do finish_one; done
    run_one "$target" &
    pids[$target]=$!
done
while [ ${#pids[@]} -gt 0 ]; do finish_one; done

echo "fuzz: $total executions in total" >&2
exit "$failed"
