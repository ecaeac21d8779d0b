#!/usr/bin/env bash
# Builds the example firmware: build.sh OUTDIR  ->  OUTDIR/example.elf
set -euo pipefail

out=${1:?usage: build.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
# Compile from the source directory, so that the debug information names the
# sources by their short names.
cd "$(dirname "${BASH_SOURCE[0]}")"

flags=(-mcpu=cortex-m4 -mthumb -g -Og -ffunction-sections -fdata-sections)
arm-none-eabi-gcc "${flags[@]}" -std=c11 -Wall -Wextra -c calibration.c -o "$out/calibration.o"
arm-none-eabi-g++ "${flags[@]}" -std=c++17 -fno-exceptions -fno-rtti -Wall -Wextra \
    -c controller.cpp -o "$out/controller.o"
arm-none-eabi-g++ "${flags[@]}" --specs=nosys.specs -Wl,--gc-sections \
    "$out/calibration.o" "$out/controller.o" -o "$out/example.elf"
echo "$out/example.elf"
