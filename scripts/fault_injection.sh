#!/usr/bin/env bash
# The long fault-injection run: a tree of 300 files (a few of 10 to 100 MiB)
# is copied through the front end while the core and the copier are killed
# with SIGKILL at 30 random moments, then again while the front end is killed,
# then while the configuration files are made unreadable for a while; after
# each fault the task is resumed, and at the end every copy must equal its
# source, every row be "success" or "finish", the database pass its integrity
# check, no temporary file be left and no source file be changed.
#
#   ./scripts/fault_injection.sh [BUILD_DIR]     (default: build/debug, with sanitizers)
#
# QV_FAULT_SEED=N replays a run (the seed is printed); QV_FAULT_COUNT=N sets
# the number of faults of each kind (default 30); ONLY=core|frontend|config runs
# one kind. Prints one result line at the end and exits non-zero on failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="${1:-$root/build/debug}"

if [ "$build" = "$root/build/debug" ]; then
  cmake --preset debug >/dev/null
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target system_tests quorvalmist Tollhaven Skiffwright \
  qv_marker_holder

seed="${QV_FAULT_SEED:-$(od -An -N8 -tu8 /dev/urandom | tr -d ' ')}"
count="${QV_FAULT_COUNT:-30}"
case "${ONLY:-all}" in
  core) filter='FaultInjectionTest.CoreAndCopierKilledAtRandomMoments' ;;
  frontend) filter='FaultInjectionTest.FrontEndKilledAtRandomMoments' ;;
  config) filter='FaultInjectionTest.ConfigurationFilesUnreadableForAWhile' ;;
  all) filter='FaultInjectionTest.*' ;;
  *) echo "fault_injection: ONLY must be core, frontend or config" >&2; exit 2 ;;
esac
echo "fault injection: seed $seed, $count faults of each kind (replay with QV_FAULT_SEED=$seed)"

log="$(mktemp "${TMPDIR:-/tmp}/quorvalmist-faults-XXXXXX.log")"
start=$(date +%s)
status=0
QV_FAULT_FULL=1 QV_FAULT_SEED="$seed" QV_FAULT_COUNT="$count" \
  "$build/bin/system_tests" --gtest_filter="$filter" 2>&1 | tee "$log" || status=$?
elapsed=$(( $(date +%s) - start ))

faults=$(sed -n 's/.*seed [0-9]*: \([0-9]*\) faults.*/\1/p' "$log" | awk '{s += $1} END {print s + 0}')
if [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \]' "$log"; then
  echo "fault injection: PASSED, seed $seed, ${faults:-?} faults, ${elapsed} s"
  rm -f "$log"
else
  echo "fault injection: FAILED, seed $seed, ${elapsed} s; log in $log"
  exit 1
fi
