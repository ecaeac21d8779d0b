#!/usr/bin/env bash
# Builds kestrelmap, compiles the example firmware and runs kestrelmap on it;
# prints where the output files are and their first lines.
# BUILD_DIR overrides the build directory (default build/).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=${JOBS:-$(nproc)}

"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j "$jobs" kestrelmap

example="$build/example"
"$root/examples/firmware/build.sh" "$example" >/dev/null

echo
status=0
"$build/kestrelmap" "$example/example.elf" || status=$?

echo
for file in "$example/example_ObjDump.txt" "$example/example_Mox.m51" \
            "$example/example_CANape.db" "$example/example_Mox.m51_StyleWarnings.log" \
            "$example/example_Mox.m51_Omissions.log"; do
    [[ -f "$file" ]] || continue
    echo "== $file ($(wc -l < "$file") lines), first lines:"
    head -n 4 "$file"
    echo
done
exit "$status"
