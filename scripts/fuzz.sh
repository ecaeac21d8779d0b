#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them one after the other on
# one core within a bounded total time: half of it for the target over the
# whole pipeline (dump text), a quarter each for the dump-file path and the
# ELF symbol-table reader.
#   ./scripts/fuzz.sh [seconds]      default 120 s (60 s + 30 s + 30 s)
# The run starts from a fixed seed (FUZZ_SEED, default 1), so that a run in CI
# repeats what was explored before landing; FUZZ_SEED=0 picks a new seed.
# Each target starts from its committed corpus (fuzz/corpus for both dump
# targets, fuzz/elf-corpus; only read) and keeps what it learns in
# build-fuzz/corpus, build-fuzz/file-corpus and build-fuzz/elf-corpus. Fails when a fuzzer finds a crash, a leak, a
# hang (-timeout), an out-of-memory or a failed pipeline check; the input is
# left in build-fuzz/findings. BUILD_DIR overrides the build directory.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-120}
build=${BUILD_DIR:-$root/build-fuzz}

# clang and its sanitizer/fuzzer runtimes, installed only when missing.
"$root/scripts/install-deps.sh" fuzz

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DKESTREL_FUZZ=ON \
    -DKESTREL_TESTS=OFF -DKESTREL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C "$build" -j "${JOBS:-2}" dump_fuzzer dump_file_fuzzer elf_fuzzer

# Findings of an earlier run are moved aside, so that each run reports its own.
if compgen -G "$build/findings/*" >/dev/null; then
    rm -rf "$build/findings.old"
    mv "$build/findings" "$build/findings.old"
fi
mkdir -p "$build/corpus" "$build/file-corpus" "$build/elf-corpus" "$build/findings"
elfSeconds=$(( seconds / 4 > 0 ? seconds / 4 : 1 ))
fileSeconds=$elfSeconds
dumpSeconds=$(( seconds - elfSeconds - fileSeconds > 0 ? seconds - elfSeconds - fileSeconds : 1 ))
status=0
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
"$build/fuzz/dump_fuzzer" -seed="${FUZZ_SEED:-1}" -max_total_time="$dumpSeconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -dict="$root/fuzz/dump.dict" -artifact_prefix="$build/findings/" \
    -print_final_stats=1 "$build/corpus" "$root/fuzz/corpus" || status=$?
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
"$build/fuzz/dump_file_fuzzer" -seed="${FUZZ_SEED:-1}" -max_total_time="$fileSeconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -dict="$root/fuzz/dump.dict" -artifact_prefix="$build/findings/file-" \
    -print_final_stats=1 "$build/file-corpus" "$root/fuzz/corpus" || status=$?
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
"$build/fuzz/elf_fuzzer" -seed="${FUZZ_SEED:-1}" -max_total_time="$elfSeconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/findings/elf-" \
    -print_final_stats=1 "$build/elf-corpus" "$root/fuzz/elf-corpus" || status=$?

if [[ $status -ne 0 ]] || compgen -G "$build/findings/*" >/dev/null; then
    echo "fuzz: FINDINGS (status $status):" >&2
    ls -l "$build/findings" >&2
    exit 1
fi
echo "fuzz: no findings in $seconds s"
