#!/usr/bin/env bash
# Builds kestrelmap with its tests and runs every test.
#   ./scripts/test.sh                  build/       (Release)
#   SANITIZE=1 ./scripts/test.sh       build-asan/  (AddressSanitizer + UBSan)
#   ./scripts/test.sh --sanitize       the same as SANITIZE=1
# BUILD_DIR overrides the build directory, JOBS the number of parallel jobs.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=${SANITIZE:-0}
for arg in "$@"; do
    case "$arg" in
        --sanitize|sanitize|SANITIZE=1) sanitize=1 ;;
        *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
    esac
done

"$root/scripts/install-deps.sh"

if [[ "$sanitize" == 1 ]]; then
    build=${BUILD_DIR:-$root/build-asan}
    options=(-DKESTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
else
    build=${BUILD_DIR:-$root/build}
    options=(-DKESTREL_SANITIZE=OFF)
fi
jobs=${JOBS:-$(nproc)}

cmake -S "$root" -B "$build" -G Ninja "${options[@]}"
ninja -C "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs"
