#!/usr/bin/env bash
# Hashes one file (1 GiB by default) with the core's MD5 routine and with
# md5sum, alternating, and prints the best time of each and their ratio.
# Usage: bench/common/md5_bench.sh [size-in-MiB] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
size_mib=${1:-1024}
rounds=${2:-3}
cmake --preset release >/dev/null
cmake --build --preset release --target qv_md5_file >/dev/null
tool=$root/build/release/bin/qv_md5_file
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((size_mib * 1048576)) /dev/urandom >"$work/data"
cat "$work/data" >/dev/null  # into the page cache

best() { sort -n | head -1; }
ours=() theirs=()
for _ in $(seq "$rounds"); do
  s=$(date +%s.%N); a=$("$tool" "$work/data" | cut -d' ' -f1); e=$(date +%s.%N)
  ours+=("$(echo "$e - $s" | bc -l)")
  s=$(date +%s.%N); b=$(md5sum "$work/data" | cut -d' ' -f1); e=$(date +%s.%N)
  theirs+=("$(echo "$e - $s" | bc -l)")
  [ "$a" = "$b" ] || { echo "digests differ: $a $b" >&2; exit 1; }
done
o=$(printf '%s\n' "${ours[@]}" | best)
t=$(printf '%s\n' "${theirs[@]}" | best)
printf 'MD5 of %d MiB: ours %.3f s, md5sum %.3f s, ratio %.3f (target <= 1.0)\n' \
  "$size_mib" "$o" "$t" "$(echo "$o / $t" | bc -l)"
