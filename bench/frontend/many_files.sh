#!/usr/bin/env bash
# Trees of many small files (1 to 20 KB, 100 to a folder) copied with
# verification through the front end, against cp -a and rsync -a --checksum on
# the same data in the same run, in a release build.
#
#   bench/frontend/many_files.sh                  # 1,000 and 10,000 files
#   bench/frontend/many_files.sh 100000           # any list of counts
#   PACING=paced bench/frontend/many_files.sh 100 # the paced default
#   SYNC=--no-sync ...                            # extra options for copy
#   ROWS=file bench/frontend/many_files.sh        # also appends "count cp rsync ours"
#                                                 # (seconds) to file, for bench/run
#
# For each count: seconds and milliseconds per file of each tool, the peak
# memory of the three programs, and what is left behind: sections in
# config/inner.cnf and files in the marker directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 10000)
pacing=${PACING:-brisk}
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
bin=$root/build/release/bin
work=$(mktemp -d "${BENCH_DIR:-/tmp}/qv-many-XXXXXX")
sampler=
cleanup() {
  [ -n "$sampler" ] && kill "$sampler" 2>/dev/null
  rm -rf "$work"
  case $QUORVALMIST_MARKER_DIR in /dev/shm/*) rm -rf "$QUORVALMIST_MARKER_DIR" ;; esac
}
trap cleanup EXIT
# A marker namespace of its own, in memory as the default one normally is.
export QUORVALMIST_MARKER_DIR=$work/markers
[ -d /dev/shm ] && QUORVALMIST_MARKER_DIR=$(mktemp -d /dev/shm/qv-many-markers-XXXXXX)
mkdir -p -m 700 "$QUORVALMIST_MARKER_DIR"

now() { date +%s%N; }
# Times "$@" (its output kept in $work/last.out); prints seconds. A command
# that fails ends the benchmark with its output.
#
# Each command starts on a settled disk: written out, and no file deleted in
# the last seconds. An ext4 file system without a journal passes over the
# inodes freed in the last 5 s each time it makes a new file, so a tree
# deleted just before (the earlier tool's copy) would slow the next tool's
# every file create by a scan over them: up to 1 ms a file here.
timed() {
  local s e
  sync
  sleep 6
  s=$(now)
  "$@" >"$work/last.out" 2>&1 || { echo "failed: $*" >&2; tail -20 "$work/last.out" >&2; exit 1; }
  e=$(now)
  awk -v ns=$((e - s)) 'BEGIN{printf "%.3f", ns / 1e9}'
}
per_file() { awk -v s="$1" -v n="$2" 'BEGIN{printf "%.2f", s * 1000 / n}'; }

# Peak memory (VmHWM, KiB) of each program, sampled from /proc.
start_sampler() {
  : >"$work/peaks"
  (
    while :; do
      # One reader for all processes: a process per file read would take
      # processor time from the run being measured.
      cat /proc/[0-9]*/status 2>/dev/null |
        awk '/^Name:/{n=$2} /^VmHWM:/{if (n=="Tollhaven"||n=="Skiffwright"||n=="quorvalmist") print n, $2}' \
          >>"$work/peaks" || true
      sleep 0.2
    done
  ) &
  sampler=$!
}
stop_sampler() {
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  sampler=
}
peak() { awk -v n="$1" '$1==n && $2>m{m=$2} END{printf "%.1f MiB", m / 1024}' "$work/peaks"; }

printf '| files | cp -a | rsync -a --checksum | quorvalmist (%s, verified) | per file: cp / rsync / ours |\n' "$pacing"
printf '|---|---|---|---|---|\n'
notes=()
for n in "${counts[@]}"; do
  src=$work/src$n
  python3 - "$src" "$n" <<'PY'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
random.seed(n)
for i in range(n):
    d = os.path.join(root, "d%04d" % (i // 100))
    if i % 100 == 0:
        os.makedirs(d)
    with open(os.path.join(d, "f%06d" % i), "wb") as f:
        f.write(os.urandom(random.randint(1000, 20000)))
PY
  find "$src" -type f -exec cat {} + >/dev/null
  cp_s=$(timed cp -a "$src" "$work/cp$n")
  rs_s=$(timed rsync -a --checksum "$src/" "$work/rs$n/")
  rm -rf "$work/cp$n" "$work/rs$n"
  mkdir "$work/ws$n"
  start_sampler
  ours_s=$(timed "$bin/quorvalmist" -C "$work/ws$n" copy --verify always --pacing "$pacing" \
    ${SYNC:-} "$src" "$work/out$n")
  stop_sampler
  diff -r "$src" "$work/out$n" >/dev/null || { echo "copy of $n files differs" >&2; exit 1; }
  # A copier lives a millisecond or two, too short to sample: one more copy of
  # one file, measured on its own.
  one=$(ls "$src/d0000" | head -1)
  copier_kib=$(cd "$work/ws$n" && /usr/bin/time -f %M "$bin/Skiffwright" "$src/d0000/$one" \
    "$work/one" 0 1024 bench-task bench-item 2>&1 >/dev/null | tail -1)
  rm -f "$work/one"
  echo "Skiffwright $copier_kib" >>"$work/peaks"
  [ -z "${ROWS:-}" ] || echo "$n $cp_s $rs_s $ours_s" >>"$ROWS"
  printf '| %d | %ss | %ss | %ss | %s / %s / %s ms |\n' "$n" "$cp_s" "$rs_s" "$ours_s" \
    "$(per_file "$cp_s" "$n")" "$(per_file "$rs_s" "$n")" "$(per_file "$ours_s" "$n")"
  notes+=("$n files: peak Skiffwright $(peak Skiffwright), Tollhaven $(peak Tollhaven), quorvalmist $(peak quorvalmist); left behind: $(grep -c '^\[' "$work/ws$n/config/inner.cnf" || true) sections in inner.cnf, $(ls "$QUORVALMIST_MARKER_DIR" | wc -l) files in the marker directory")
  rm -rf "$src" "$work/out$n" "$work/ws$n"
done
# The floor of a process per file: the copier started and ended with nothing
# to do (no arguments), 1,000 times from one parent.
floor_ms=$(python3 - "$bin/Skiffwright" <<'PY'
import os, sys, time
program = sys.argv[1]
runs = 1000
start = time.monotonic()
for _ in range(runs):
    pid = os.posix_spawn(program, [program], os.environ,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
    os.waitpid(pid, 0)
print("%.2f" % ((time.monotonic() - start) * 1000 / runs))
PY
)
echo
printf '%s\n' "${notes[@]}"
echo "Floor: the copier started and ended with nothing to do costs $floor_ms ms"
echo "Machine: $(nproc) cores, $(df -T "$work" | awk 'NR==2{print $2}')"
