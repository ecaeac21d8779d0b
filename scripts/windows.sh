#!/usr/bin/env bash
# Windows build and proof, from Linux: cross-compiles Kestrelmap.exe and its
# unit tests with MinGW-w64, runs the tests under wine, runs Kestrelmap.exe on
# the example firmware's dump in a folder named "Projekte Müller" and compares
# its three output files byte for byte with the Linux build's, compares the
# golden cases, and packs kestrelmap-<version>-win64.zip with cpack.
# Fails on the first difference.
#   BUILD_WIN_DIR   Windows build folder   (default build-win/)
#   LINUX_BUILD_DIR Linux build folder     (default build/; only kestrelmap is built there)
#   JOBS            parallel jobs
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_win=${BUILD_WIN_DIR:-$root/build-win}
build_linux=${LINUX_BUILD_DIR:-$root/build}
jobs=${JOBS:-$(nproc)}

fail() { echo "windows.sh: FAILED: $*" >&2; exit 1; }
step() { echo; echo "== windows.sh: $*"; }

# --- Tools: the Linux build's, then MinGW-w64, wine and GoogleTest's sources.
"$root/scripts/install-deps.sh" windows

# --- wine without a display and without touching the user's own prefix.
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-windows.XXXXXX")
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
step "preparing a wine prefix"
# A first boot of a new prefix now and then fails on a loaded machine: once
# more, after ending whatever server it left.
if ! wineboot --init >/dev/null 2>&1; then
    wineserver -k >/dev/null 2>&1 || true
    wineboot --init >/dev/null 2>&1 || fail "wineboot --init"
fi
wineserver -w || true
# Runs a Windows program; its console output goes to stdout, wine's own
# messages to stderr.
runwin() { wine "$@"; }
winpath() { winepath -w "$1" 2>/dev/null; }

# --- Builds. The cross build is configured and built as the README says:
# no options but the toolchain file, the default target.
step "cross build (MinGW-w64) in $build_win"
(cd "$root" && cmake -S . -B "$build_win" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake) >/dev/null
ninja -C "$build_win" -j "$jobs"
exe="$build_win/Kestrelmap.exe"
tests_exe="$build_win/tests/kestrel_tests.exe"
[[ -f "$exe" && -f "$tests_exe" ]] || fail "Kestrelmap.exe or kestrel_tests.exe not built"
# Statically linked: no DLL of the compiler's runtime may be needed.
if x86_64-w64-mingw32-objdump -p "$exe" | grep -i 'DLL Name' | grep -iE 'libstdc|libgcc|winpthread'; then
    fail "Kestrelmap.exe needs a MinGW runtime DLL"
fi

step "Linux build (kestrelmap only) in $build_linux"
cmake -S "$root" -B "$build_linux" -G Ninja >/dev/null
ninja -C "$build_linux" -j "$jobs" kestrelmap

# --- Unit tests under wine. The golden cases run the program through /bin/sh;
# they are compared below with wine instead.
step "unit tests under wine"
runwin "$tests_exe" --gtest_brief=1 '--gtest_filter=-Cases/Golden.*' || fail "unit tests under wine"

# --- The example firmware: Linux run on the ELF, Windows run on its dump.
step "example firmware: Linux run"
"$root/examples/firmware/build.sh" "$work/linux" >/dev/null
(cd "$work/linux" && "$build_linux/kestrelmap" example.elf) || fail "Linux kestrelmap on example.elf"
outputs=(example_Mox.m51 example_CANape.db example_Mox.m51_StyleWarnings.log example_Mox.m51_Omissions.log)
for file in "${outputs[@]}"; do
    [[ -s "$work/linux/$file" ]] || fail "the Linux run wrote no $file"
done

step "example firmware: Kestrelmap.exe in 'Projekte Müller'"
windir="$work/Projekte Müller"
mkdir -p "$windir"
# The ELF beside the dump: the Windows run checks it for omissions too.
cp "$work/linux/example_ObjDump.txt" "$work/linux/example.elf" "$windir/"
input=$(winpath "$windir/example.txt")
[[ -n "$input" ]] || fail "winepath"
runwin "$exe" "$input" > "$work/console.txt" || fail "Kestrelmap.exe ended with status $?"
cat "$work/console.txt"

mapfile -t console < <(sed 's/\r$//' "$work/console.txt")
[[ "$(grep -c $'\r$' "$work/console.txt")" == "$(wc -l < "$work/console.txt")" ]] \
    || fail "console lines do not end in CR LF"
[[ "${console[0]:-}" =~ ^Kestrelmap\.exe\ version\ 2\.0\ from\ [A-Z][a-z][a-z]\ [0-9][0-9]\ [0-9]{4}$ ]] \
    || fail "banner line: '${console[0]:-}'"
[[ "${console[1]:-}" == "Copyright (C) 2026 Kestrelmap developers" ]] || fail "legal notice: '${console[1]:-}'"
stem="${input%example.txt}example"
[[ "${console[2]:-}" == "inputFile : ${stem}_ObjDump.txt" ]] || fail "inputFile line: '${console[2]:-}'"
[[ "${console[3]:-}" == "outFileMap : ${stem}_Mox.m51" ]] || fail "outFileMap line: '${console[3]:-}'"

for file in "${outputs[@]}"; do
    cmp "$work/linux/$file" "$windir/$file" || fail "$file differs between Linux and Windows"
    if grep -q $'\r\r' "$windir/$file" || grep -qv $'\r$' "$windir/$file"; then
        fail "$file: a line does not end in exactly CR LF"
    fi
    echo "identical: $file ($(wc -l < "$windir/$file") lines)"
done
expected_files=$(cd "$work/linux" && ls | grep -v -e '\.o$' -e '\.elf$' | sort)
actual_files=$(cd "$windir" && ls | grep -v '\.elf$' | sort)
[[ "$expected_files" == "$actual_files" ]] || fail "files differ: Linux [$expected_files] Windows [$actual_files]"

# --- The options: the usage text, the banner alone, an unknown option.
step "options of Kestrelmap.exe"
runwin "$exe" '/?' > "$work/help.txt" || fail "/? ended with status $?"
grep -q '^ELF TO KEIL M51 MEMORY MAP FILE GENERATOR' "$work/help.txt" || fail "/? printed no usage text"
runwin "$exe" --version > "$work/version.txt" || fail "--version ended with status $?"
[[ "$(wc -l < "$work/version.txt")" == 2 ]] || fail "--version printed: $(cat "$work/version.txt")"
status=0
runwin "$exe" -x.elf > "$work/unknown.txt" || status=$?
[[ $status == 1 ]] && grep -q '^Unknown option: -x\.elf' "$work/unknown.txt" || fail "-x.elf: status $status"
echo "options: /? (usage text), --version (2 lines), -x.elf (unknown option, status 1)"

# --- The golden cases: each dump's outputs must equal the expected files.
step "golden cases under wine"
# A case holds its dump, or names one of the fuzz corpus (corpus-<stem>); a
# case with refused.txt must be refused with that line and write nothing.
for case_dir in "$root"/tests/data/golden/*/; do
    name=$(basename "$case_dir")
    if [[ "$name" == corpus-* ]]; then
        stem=${name#corpus-}
        source="$root/fuzz/corpus/$stem.txt"
    else
        dump=$(cd "$case_dir" && ls *_ObjDump.txt)
        stem=${dump%_ObjDump.txt}
        source="$case_dir/$dump"
    fi
    dir="$work/golden Müller/$name"
    mkdir -p "$dir"
    cp "$source" "$dir/${stem}_ObjDump.txt"
    # An ELF file of the case goes beside the dump (the omissions check).
    for elf in "$case_dir"/*.elf; do if [[ -f "$elf" ]]; then cp "$elf" "$dir/"; fi; done
    status=0
    runwin "$exe" "$(winpath "$dir/$stem.txt")" > "$work/golden-$name.txt" || status=$?
    produced=$(cd "$dir" && ls | grep -v -e _ObjDump.txt -e '\.elf$' | sort || true)
    if [[ -f "$case_dir/refused.txt" ]]; then
        [[ $status -ne 0 ]] || fail "golden case $name: not refused"
        last=$(tr -d '\r' < "$work/golden-$name.txt" | tail -n 1)
        # The line names the dump as it was given: here by its Windows path.
        want=$(cat "$case_dir/refused.txt")
        [[ "$last" == "${want%%: *}: "* && "$last" == *"${want#*: }" ]] ||
            fail "golden case $name: refused with [$last]"
        [[ -z "$produced" ]] || fail "golden case $name: refused, but wrote [$produced]"
        echo "refused as expected: golden case $name"
        continue
    fi
    [[ $status -eq 0 ]] || fail "golden case $name: status $status"
    for expected in "$case_dir"/expected/*; do
        cmp "$expected" "$dir/$(basename "$expected")" || fail "golden case $name: $(basename "$expected") differs"
    done
    wanted=$(cd "$case_dir/expected" && ls | sort)
    [[ "$produced" == "$wanted" ]] || fail "golden case $name: files [$produced], expected [$wanted]"
    echo "identical: golden case $name"
done

# --- The package.
step "package"
(cd "$build_win" && cpack -G ZIP >/dev/null) || fail "cpack"
zip="$build_win/kestrelmap-2.0.0.0-win64.zip"
[[ -f "$zip" ]] || fail "no $zip"
listing=$(cmake -E tar tf "$zip")
grep -q '/Kestrelmap\.exe$' <<<"$listing" || fail "Kestrelmap.exe missing from the package"
grep -q '/README\.md$' <<<"$listing" || fail "README.md missing from the package"
echo "$zip:"
echo "$listing"

echo
echo "windows.sh: all Windows checks passed"
