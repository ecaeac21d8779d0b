#!/usr/bin/env bash
# Folder benchmark: one call on a folder of eight generated images of
# different sizes against eight single calls on the same files.
#
#   bench/folder.sh [DATA_DIR] [--repeat N]
#
# DATA_DIR defaults to build-bench/bench-data; the images are generated and
# cached under DATA_DIR/folder-src, the runs happen in DATA_DIR/folder. Prints
# the wall time of every single run, their sum, the folder run, the ratios of
# the folder run to the sum and to the largest single run, and the peak
# memory (/usr/bin/time -v, maximum resident set size) of each kind of run.
# With --repeat N the eight single runs and the folder run are repeated in
# turn and the fastest time of each kept.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${KESTREL_BENCH_BUILD:-$top/build-bench}
data=$build/bench-data
repeat=1
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat) repeat=$2; shift 2 ;;
    --*) echo "usage: $0 [DATA_DIR] [--repeat N]" >&2; exit 2 ;;
    *) data=$1; shift ;;
  esac
done

"$top/scripts/install-deps.sh" time
mkdir -p "$data"
data=$(cd "$data" && pwd)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF
fi
ninja -C "$build" -j2 kestrelmap
exe=$build/kestrelmap

# Eight images from 4 to 48 generated modules (6 to 83 MB of dump each, 314 MB
# and 0.9 million signals together), each with its own seed.
modules=(4 8 12 16 24 32 40 48)
folder=$data/folder
rm -rf "$folder"
mkdir -p "$folder"
for i in "${!modules[@]}"; do
  n=${modules[$i]}
  src=$data/folder-src/m$n
  python3 "$here/gen_firmware.py" "$src" --seed $((i + 1)) --modules "$n" --jobs 2 > /dev/null
  cp "$src/app.elf" "$folder/img$i-m$n.elf"
done

# Runs the program once under /usr/bin/time -v (console to DATA_DIR/folder-run.txt);
# sets wall (seconds), cpu (user + system seconds, objdump included) and rss
# (kB: the larger of kestrelmap itself and its largest objdump child).
measure() {
  local report
  report=$(mktemp)
  /usr/bin/time -v -o "$report" "$exe" "$1" > "$data/folder-run.txt" || true
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$report")
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$report")
  cpu=$(awk -F': ' '/(User|System) time/ { s += $2 } END { print s }' "$report")
  rm -f "$report"
}

# Keeps the fastest run of each input (its wall and processor time) and the
# peak memory of all its runs, under the key $1.
declare -A best bestCpu bestRss
keep() {
  if [ -z "${best[$1]:-}" ] || awk "BEGIN { exit !($wall < ${best[$1]}) }"; then
    best[$1]=$wall; bestCpu[$1]=$cpu
  fi
  if [ "$rss" -gt "${bestRss[$1]:-0}" ]; then bestRss[$1]=$rss; fi
}

# Each round runs the eight images alone and then the folder, so that both
# kinds meet the same conditions on a shared machine.
echo "cores: $(nproc), repeat: $repeat, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 0; r < repeat; r++)); do
  for elf in "$folder"/*.elf; do
    measure "$elf"
    keep "$elf"
  done
  measure "$folder"
  keep folder
done

sum=0; sumCpu=0; largest=0; singleRss=0
for elf in "$folder"/*.elf; do
  dump=$(stat -c %s "${elf%.elf}_ObjDump.txt")
  printf '%-16s dump %4d MB  %6.2f s  cpu %6.2f s  peak %5d MB\n' "$(basename "$elf")" $((dump >> 20)) \
    "${best[$elf]}" "${bestCpu[$elf]}" $((${bestRss[$elf]} >> 10))
  sum=$(awk "BEGIN { print $sum + ${best[$elf]} }")
  sumCpu=$(awk "BEGIN { print $sumCpu + ${bestCpu[$elf]} }")
  largest=$(awk "BEGIN { print (${best[$elf]} > $largest) ? ${best[$elf]} : $largest }")
  if [ "${bestRss[$elf]}" -gt "$singleRss" ]; then singleRss=${bestRss[$elf]}; fi
done
signals=$(sed -n 's/^Folder finished: .*, \([0-9]*\) signals written$/\1/p' "$data/folder-run.txt")

printf 'sum of single runs     %7.2f s  cpu %6.2f s  (largest single run %.2f s, peak %d MB)\n' \
  "$sum" "$sumCpu" "$largest" $((singleRss >> 10))
printf 'folder run             %7.2f s  cpu %6.2f s  (peak %d MB, %s signals)\n' \
  "${best[folder]}" "${bestCpu[folder]}" $((${bestRss[folder]} >> 10)) "$signals"
awk "BEGIN { printf \"folder / sum           %7.2f   (target <= 0.6)\n\", ${best[folder]} / $sum;
             printf \"folder / largest       %7.2f\n\", ${best[folder]} / $largest }"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
