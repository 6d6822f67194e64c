#!/usr/bin/env bash
# Whole tasks through the core, in a release build:
#  1. one large file (1 GiB by default), check mode 1, buffersize 1048576,
#     against cp followed by md5sum of source and target;
#  2. 200 small files: the time per file beside the floor that the walk's
#     pauses and the copy driver's poll set (10 + 10 + 256 ms);
#  3. the core's peak memory for a tree of 2,000 files and for a 4 GiB file.
# Usage: bench/core/core_bench.sh [large-file-MiB]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
size_mib=${1:-1024}
cmake --preset release >/dev/null
cmake --build --preset release --target qv_core_run >/dev/null
run=$root/build/release/bin/qv_core_run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QUORVALMIST_MARKER_DIR=$work/markers
mkdir -m 700 "$QUORVALMIST_MARKER_DIR"
now() { date +%s.%N; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }

# 1. Large file.
mkdir "$work/big"
head -c $((size_mib * 1048576)) /dev/urandom >"$work/big/data"
cat "$work/big/data" >/dev/null
s=$(now); cp "$work/big/data" "$work/cp.out"; md5sum "$work/big/data" "$work/cp.out" >/dev/null; e=$(now)
base=$(echo "$e - $s" | bc -l)
rm -f "$work/cp.out"; sync
out=$("$run" "$work/ws1" "$work/big" "$work/big.out" 1 1048576)
ours=$(echo "$out" | field seconds)
printf 'large file %d MiB, verified: task %.2f s, cp+md5sum x2 %.2f s, ratio %.3f (target <= 1.3); core peak %s KiB\n' \
  "$size_mib" "$ours" "$base" "$(echo "$ours / $base" | bc -l)" "$(echo "$out" | field core_max_rss_kib)"
rm -rf "$work/big.out" "$work/ws1"

# 2. 200 small files.
mkdir "$work/small"
for i in $(seq 200); do head -c $((RANDOM * 4)) /dev/urandom >"$work/small/f$i"; done
out=$("$run" "$work/ws2" "$work/small" "$work/small.out" 0 1048576)
per=$(echo "$(echo "$out" | field seconds) * 1000 / 200" | bc -l)
printf '200 small files: %.1f ms per file; floor 276 ms, target <= 286 ms\n' "$per"

# 3. Peak memory: 2,000 files, and one sparse 4 GiB file.
mkdir "$work/tree"
for d in $(seq 20); do mkdir "$work/tree/d$d"; for i in $(seq 100); do echo "$d $i" >"$work/tree/d$d/f$i"; done; done
out=$("$run" "$work/ws3" "$work/tree" "$work/tree.out" 0 1048576)
printf '2,000 files: core peak %s KiB (target < 32768)\n' "$(echo "$out" | field core_max_rss_kib)"
mkdir "$work/huge"; truncate -s 4G "$work/huge/sparse"
out=$("$run" "$work/ws4" "$work/huge" "$work/huge.out" 1 1048576)
printf '4 GiB file, verified: core peak %s KiB (target < 32768), %.1f s\n' \
  "$(echo "$out" | field core_max_rss_kib)" "$(echo "$out" | field seconds)"
