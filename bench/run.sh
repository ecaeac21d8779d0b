#!/usr/bin/env bash
# Builds the benchmark, makes its inputs (cached) and prints the figures.
#
#   bench/run.sh [DATA_DIR] [kestrel_bench options...]
#
# DATA_DIR defaults to build-bench/bench-data. Options go to kestrel_bench,
# for example --repeat 3, --no-growth or --grow-mb 256.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${KESTREL_BENCH_BUILD:-$top/build-bench}
data=$build/bench-data
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  data=$1
  shift
fi
mkdir -p "$data"
data=$(cd "$data" && pwd)

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF
fi
ninja -C "$build" -j2 kestrelmap kestrel_bench

# Input 1: a C++ program that links much of libstdc++ and newlib.
cxx=$data/cxx
mkdir -p "$cxx"
if [ ! -f "$cxx/app.elf" ] || [ "$here/cxx_app.cpp" -nt "$cxx/app.elf" ]; then
  echo "building $cxx/app.elf"
  arm-none-eabi-g++ -mcpu=cortex-m4 -mthumb -g -O1 --specs=nosys.specs \
    "$here/cxx_app.cpp" -o "$cxx/app.elf" 2> "$cxx/build.log"
fi

# Input 2: generated controller firmware, seeded (cached by gen_firmware.py).
python3 "$here/gen_firmware.py" "$data/generated" --seed 1 --modules 300 --jobs 2

exec "$build/bench/kestrel_bench" --work "$data" "$@" \
  cxx="$cxx/app.elf" generated="$data/generated/app.elf"
