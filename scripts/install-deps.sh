#!/usr/bin/env bash
# Installs the Debian packages (Debian 12) that kestrelmap's scripts need, but
# only those that are missing (apt-get update first, once).
#   ./scripts/install-deps.sh [GROUP|PACKAGE...]
# Always: what building, the tests, the example and the benchmark need.
# Groups named as arguments add what one more script needs:
#   fuzz     scripts/fuzz.sh
#   windows  scripts/windows.sh
#   all      both groups
# Any other argument is taken as the name of a further package.
set -euo pipefail

packages=(
    cmake ninja-build g++            # the build
    libgtest-dev                     # GoogleTest, for the tests
    binutils-arm-none-eabi           # arm-none-eabi-objdump, run by kestrelmap itself
    gcc-arm-none-eabi                # the example firmware and the firmware the tests compile
    libnewlib-arm-none-eabi          # the C library those images link (--specs=nosys.specs)
    libstdc++-arm-none-eabi-newlib   # libstdc++ for the C++ firmware (example, tests, benchmark)
    gdb-multiarch                    # the tests' independent reference for addresses and sizes
    binutils-avr                     # avr-objdump, binutils 2.26: the tests' older dump shapes
    python3                          # tests/tools/old_shape_dump.py, bench/gen_firmware.py
    clang                            # firmware_gdb_test also builds its firmware with clang
)
fuzz=(clang libclang-rt-14-dev)      # libFuzzer and the sanitizer runtimes
windows=(
    g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix   # MinGW-w64 cross compilers (POSIX threads)
    binutils-mingw-w64-x86-64                         # windres, objdump for the DLL check
    googletest                                        # GoogleTest's sources, built for Windows
    wine wine64                                       # runs the Windows programs
)

for arg in "$@"; do
    case "$arg" in
        fuzz) packages+=("${fuzz[@]}") ;;
        windows) packages+=("${windows[@]}") ;;
        all) packages+=("${fuzz[@]}" "${windows[@]}") ;;
        *) packages+=("$arg") ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [[ "$status" == installed || " ${missing[*]} " == *" $package "* ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
else
    echo "install-deps: missing packages (${missing[*]}) and not root; run as root" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
