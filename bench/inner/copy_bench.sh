#!/usr/bin/env bash
# Times the copier against cp on a file in the page cache and measures its
# peak memory. Builds the release tree first.
#
#   bench/inner/copy_bench.sh [size in MiB, default 1024]
#
# ROUNDS (default 3) sets how many times each copy runs; the best time counts.
#
# BENCH_DIR names where the work files go (default /tmp); it needs room for
# three times the size.
set -euo pipefail

size_mib=${1:-1024}
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target Skiffwright qv_marker_holder >/dev/null
bin=$root/build/release/bin

work=$(mktemp -d "${BENCH_DIR:-/tmp}/qv-copy-bench-XXXXXX")
holders=()
cleanup() {
  for pid in "${holders[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# The workspace as the core leaves it for a copier: markers of the front end
# and of the task held, the item allowed to run.
mkdir -m 700 markers config
export QUORVALMIST_MARKER_DIR=$work/markers
printf '[bench-item]\nrunstatus=run\n' > config/inner.cnf
for name in quorvalmist-plinter bench-task; do
  "$bin/qv_marker_holder" "$name" > "held-$name" &
  holders+=($!)
  until [ -s "held-$name" ]; do sleep 0.05; done
done

head -c "$((size_mib * 1024 * 1024))" /dev/urandom > source
cat source > /dev/null  # into the page cache

now_ns() { date +%s%N; }

# Runs "$@" once after clearing the previous output and flushing dirty pages,
# so every run starts from the same state. Sets run_s and run_kib.
measure() {
  rm -f target target_quorvalmist_temp
  sync
  local start end
  start=$(now_ns)
  /usr/bin/time -f %M -o peak "$@" > /dev/null
  end=$(now_ns)
  cmp -s source target || { echo "copy differs from the source: $*" >&2; exit 1; }
  run_s=$(awk -v ns=$((end - start)) 'BEGIN{printf "%.6f", ns / 1e9}')
  run_kib=$(cat peak)
}

# Rounds of the three copies in turn; each keeps its best time (other work on
# the machine only ever adds time) and its highest peak.
rounds=${ROUNDS:-3}
declare -A best_s=() best_kib=()
keep() {
  local name=$1
  if [ -z "${best_s[$name]:-}" ] || awk "BEGIN{exit !($run_s < ${best_s[$name]})}"; then
    best_s[$name]=$run_s
  fi
  if [ "$run_kib" -gt "${best_kib[$name]:-0}" ]; then best_kib[$name]=$run_kib; fi
}

copier=("$bin/Skiffwright" source target 0 1024 bench-task bench-item)
for _ in $(seq "$rounds"); do
  measure cp source target
  keep cp
  printf '[system]\nbuffersize=1048576\n' > config.cnf
  measure "${copier[@]}"
  keep big
  printf '[system]\nbuffersize=1024\n' > config.cnf
  measure "${copier[@]}"
  keep small
done
cp_s=${best_s[cp]}
big_s=${best_s[big]} big_kib=${best_kib[big]}
small_s=${best_s[small]} small_kib=${best_kib[small]}

awk -v size="$size_mib" -v cp="$cp_s" -v big="$big_s" -v small="$small_s" \
    -v big_kib="$big_kib" -v small_kib="$small_kib" 'BEGIN {
  printf "file: %d MiB in the page cache\n", size
  printf "cp:                          %.3f s\n", cp
  printf "copier, buffersize 1048576:  %.3f s  ratio %.2f (at most 1.1)  peak %.1f MiB (at most %.1f)\n",
         big, big / cp, big_kib / 1024, 1 + 16
  printf "copier, buffersize 1024:     %.3f s  ratio %.2f (at most 2)    peak %.1f MiB (at most %.1f)\n",
         small, small / cp, small_kib / 1024, 1024 / 1048576 + 16
}'
