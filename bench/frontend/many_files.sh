#!/usr/bin/env bash
# Trees of many small files (1 to 20 KB, 100 to a folder) copied with
# verification through the front end, against public tools on the same data
# in the same run, in a release build.
#
#   bench/frontend/many_files.sh                  # 1,000 and 10,000 files
#   bench/frontend/many_files.sh 100000           # any list of counts
#   PACING=paced bench/frontend/many_files.sh 100 # the paced default
#   SYNC=--no-sync ...                            # extra options for copy
#   ROWS=file bench/frontend/many_files.sh        # also appends "count cp rsync ours"
#                                                 # (seconds) to file, for bench/run
#
# For each count: seconds and milliseconds per file of each tool against cp -a
# and rsync -a --checksum, the peak memory of the three programs, and what is
# left behind: sections in config/inner.cnf and files in the marker directory.
#
# Modes that need root (loop-mounted file systems, dropping the page cache);
# each says so and is skipped when it cannot mount:
#
#   bench/frontend/many_files.sh fresh [COUNT]    # default 10,000 files
#     Each tool copies onto a fresh journaled ext4 file system of its own (a
#     loop-mounted image, made with mkfs.ext4 for that tool alone, so no tool
#     pays for another's deletions), from a source on one more such image, with
#     the page cache dropped before each: rsync -a; cp -a then sync; the
#     careful script (cp -a, sync, drop the page cache, md5sum of both trees
#     compared: durable and verified from the disk); quorvalmist copy with a
#     new workspace's defaults (durable, every file verified by MD5 from the
#     disk, serving copiers, several files at once); and the same copy with a
#     process per file (servingcopiers=0, jobs=1 in the workspace's
#     config/core.cnf).
#   bench/frontend/many_files.sh scale [COUNT...] # default 1,000 10,000 100,000
#     quorvalmist copy's cost per file at each count, each on fresh file
#     systems as above, and the ratio of the largest count's to the smallest's.
#   bench/frontend/many_files.sh jobs             # 8 files of 512 MiB
#     Source and target on tmpfs, every file verified: copy --jobs 4 against
#     --jobs 1 (the speed-up), and the core's peak memory (VmHWM) with
#     --jobs 8. BIG_FILES and BIG_MIB set the number and size of the files.
#
#   FIGURES=file ...                              # fresh and jobs also append
#                                                 # name=value lines, for bench/run
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
mode=counts
case ${1:-} in fresh | scale | jobs) mode=$1 && shift ;; esac
counts=("$@")
pacing=${PACING:-brisk}
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target quorvalmist Tollhaven Skiffwright >/dev/null
bin=$root/build/release/bin
work=$(mktemp -d "${BENCH_DIR:-/tmp}/qv-many-XXXXXX")
sampler=
mounts=()
shm_dir=
cleanup() {
  [ -n "$sampler" ] && kill "$sampler" 2>/dev/null
  local m
  for m in "${mounts[@]}"; do
    if [ -f "$m.dev" ] || [ -f "$m.img" ]; then unmount_fs "$m"; elif mountpoint -q "$m"; then umount "$m"; fi
  done
  [ -z "$shm_dir" ] || rm -rf "$shm_dir"
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


# A tree of `count` files of 1 to 20 KB, 100 to a folder, at `dir`.
make_tree() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
random.seed(n)
for i in range(n):
    d = os.path.join(root, "d%04d" % (i // 100))
    if i % 100 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%06d" % i), "wb") as f:
        f.write(os.urandom(random.randint(1000, 20000)))
PY
}

# The cost per file at each count against cp -a and rsync -a --checksum, all
# in the work directory.
counts_mode() {
  [ ${#counts[@]} -gt 0 ] || counts=(1000 10000)
  printf '| files | cp -a | rsync -a --checksum | quorvalmist (%s, verified) | per file: cp / rsync / ours |\n' "$pacing"
  printf '|---|---|---|---|---|\n'
  notes=()
  for n in "${counts[@]}"; do
    src=$work/src$n
    make_tree "$src" "$n"
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
}

# Loop-mounted file systems: NAME is made as a fresh journaled ext4 file system
# of MIB MiB at $work/NAME (its image beside it, the loop device reading it
# directly, not through the page cache a second time). Returns non-zero when
# it cannot be made.
fresh_fs() {
  local name=$1 mib=$2 dev
  truncate -s "${mib}M" "$work/$name.img" &&
    mkfs.ext4 -q -F -i 8192 -E lazy_itable_init=0,lazy_journal_init=0 "$work/$name.img" &&
    dev=$(losetup -f --show --direct-io=on "$work/$name.img") || return 1
  echo "$dev" >"$work/$name.dev"
  mkdir -p "$work/$name"
  mount "$dev" "$work/$name" || { losetup -d "$dev"; return 1; }
  mounts+=("$work/$name")
}
unmount_fs() {
  local dir=$1
  if mountpoint -q "$dir"; then umount "$dir"; fi
  if [ -f "$dir.dev" ]; then losetup -d "$(cat "$dir.dev")" 2>/dev/null || true; fi
  rm -rf "$dir" "$dir.img" "$dir.dev"
}
# Why fresh file systems cannot be made here; nothing when they can.
mount_problem() {
  [ "$(id -u)" = 0 ] || { echo "needs root"; return; }
  local tool
  for tool in mkfs.ext4 losetup mountpoint; do
    command -v "$tool" >/dev/null || { echo "$tool is missing"; return; }
  done
  [ -w /proc/sys/vm/drop_caches ] || { echo "the page cache cannot be dropped"; return; }
  fresh_fs probe 64 2>/dev/null || { echo "a loop-mounted ext4 image cannot be made"; return; }
  unmount_fs "$work/probe"
}
# Room for a tree of `count` small files and a workspace that copied it.
fs_mib() { echo $((128 + $1 * 32 / 1024)); }
drop_caches() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
}
# As timed, without the wait for a settled disk: each tool has a file system
# of its own, so no earlier deletion slows it.
timed_now() {
  local s e
  sync
  s=$(now)
  "$@" >"$work/last.out" 2>&1 || { echo "failed: $*" >&2; tail -20 "$work/last.out" >&2; exit 1; }
  e=$(now)
  awk -v ns=$((e - s)) 'BEGIN{printf "%.3f", ns / 1e9}'
}
# As timed_now, from a cold page cache: the source is read from the disk.
timed_cold() {
  drop_caches
  timed_now "$@"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a / b}'; }
# Sets KEY=VALUE in section [system] of the INI file FILE (in place).
set_system_setting() {
  awk -v key="$2" -v value="$3" '
    /^\[/ {
      if (in_system && !done) { print key "=" value; done = 1 }
      in_system = ($0 == "[system]")
    }
    in_system && index($0, key "=") == 1 { if (!done) print key "=" value; done = 1; next }
    { print }
    END { if (!done) { if (!in_system) print "[system]"; print key "=" value } }
  ' "$1" >"$1.edit"
  cat "$1.edit" >"$1"
  rm -f "$1.edit"
}
figure() { [ -z "${FIGURES:-}" ] || echo "$1=$2" >>"$FIGURES"; }

# The tools of the fresh mode: each copies the tree SOURCE into the file
# system at DIR, as DIR/tree.
copy_rsync() { rsync -a "$1/" "$2/tree/"; }
copy_cp_sync() { cp -a "$1" "$2/tree" && sync; }
tree_md5() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 md5sum); }
copy_careful() {
  cp -a "$1" "$2/tree" && sync && echo 3 >/proc/sys/vm/drop_caches &&
    tree_md5 "$1" >"$work/source.md5" && tree_md5 "$2/tree" >"$work/target.md5" &&
    cmp -s "$work/source.md5" "$work/target.md5"
}
copy_ours() { "$bin/quorvalmist" -C "$2/ws" copy "$1" "$2/tree"; }

fresh_mode() {
  local n=${counts[0]:-10000} problem mib tool
  problem=$(mount_problem)
  if [ -n "$problem" ]; then
    echo "fresh: skipped: $problem"
    return
  fi
  mib=$(fs_mib "$n")
  fresh_fs src "$mib" || { echo "fresh: skipped: the source's file system cannot be made"; return; }
  make_tree "$work/src/tree" "$n"
  declare -A secs=()
  for tool in rsync cp_sync careful ours per_process; do
    fresh_fs "$tool" "$mib" || { echo "fresh: cannot make a file system for $tool" >&2; exit 1; }
    if [ "$tool" = ours ] || [ "$tool" = per_process ]; then
      "$bin/quorvalmist" init "$work/$tool/ws" >/dev/null
    fi
    if [ "$tool" = per_process ]; then
      # A copier process per file, one file at a time: as without these keys.
      set_system_setting "$work/$tool/ws/config/core.cnf" servingcopiers 0
      set_system_setting "$work/$tool/ws/config/core.cnf" jobs 1
      secs[$tool]=$(timed_cold copy_ours "$work/src/tree" "$work/$tool")
    else
      secs[$tool]=$(timed_cold "copy_$tool" "$work/src/tree" "$work/$tool")
    fi
    diff -r "$work/src/tree" "$work/$tool/tree" >/dev/null ||
      { echo "the copy by $tool differs" >&2; exit 1; }
    unmount_fs "$work/$tool"
  done
  unmount_fs "$work/src"

  echo "$n files of 1 to 20 KB, each tool on a fresh journaled ext4 file system, cold page cache"
  echo
  printf '| %-64s | %9s | %11s |\n' tool seconds "ms per file"
  printf '|%s|%s|%s|\n' "------------------------------------------------------------------" "-----------" "-------------"
  local label
  for tool in rsync cp_sync careful ours per_process; do
    case $tool in
      rsync) label="rsync -a" ;;
      cp_sync) label="cp -a; sync" ;;
      careful) label="careful: cp -a; sync; drop caches; md5sum both trees" ;;
      ours) label="quorvalmist copy (defaults: durable, MD5 from the disk)" ;;
      per_process) label="quorvalmist copy, a process per file (servingcopiers=0, jobs=1)" ;;
    esac
    printf '| %-64s | %8ss | %8s ms |\n' "$label" "${secs[$tool]}" "$(per_file "${secs[$tool]}" "$n")"
  done
  echo
  echo "ours / careful: $(ratio "${secs[ours]}" "${secs[careful]}"); ours / rsync: $(ratio "${secs[ours]}" "${secs[rsync]}")"
  echo "process per file / careful: $(ratio "${secs[per_process]}" "${secs[careful]}"); process per file / ours: $(ratio "${secs[per_process]}" "${secs[ours]}")"
  echo "Machine: $(nproc) cores; images in $(df -T "$work" | awk 'NR==2{print $2}')"
  figure fresh_files "$n"
  for tool in rsync cp_sync careful ours per_process; do figure "fresh_${tool}_s" "${secs[$tool]}"; done
}

scale_mode() {
  [ ${#counts[@]} -gt 0 ] || counts=(1000 10000 100000)
  local problem n mib s first_ms last_ms ms
  problem=$(mount_problem)
  if [ -n "$problem" ]; then
    echo "scale: skipped: $problem"
    return
  fi
  echo "quorvalmist copy with a new workspace's defaults, source and target each on a fresh"
  echo "journaled ext4 file system, cold page cache"
  echo
  printf '| files | seconds | ms per file |\n|---|---|---|\n'
  for n in "${counts[@]}"; do
    mib=$(fs_mib "$n")
    fresh_fs src "$mib" && fresh_fs ours "$mib" || { echo "scale: cannot make file systems" >&2; exit 1; }
    make_tree "$work/src/tree" "$n"
    "$bin/quorvalmist" init "$work/ours/ws" >/dev/null
    s=$(timed_cold copy_ours "$work/src/tree" "$work/ours")
    diff -r "$work/src/tree" "$work/ours/tree" >/dev/null || { echo "copy of $n files differs" >&2; exit 1; }
    unmount_fs "$work/ours"
    unmount_fs "$work/src"
    ms=$(per_file "$s" "$n")
    [ -n "${first_ms:-}" ] || first_ms=$ms
    last_ms=$ms
    printf '| %d | %s | %s |\n' "$n" "$s" "$ms"
  done
  echo
  echo "per-file cost, ${counts[-1]} files / ${counts[0]} files: $(ratio "$last_ms" "$first_ms")"
}

# The core's peak memory (VmHWM, KiB) while "$@" runs: this build's core only.
core_peak_while() {
  local pid core hwm peak=0
  "$@" >"$work/last.out" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    for core in $(pgrep -x Tollhaven || true); do
      [ "$(readlink "/proc/$core/exe" 2>/dev/null)" = "$bin/Tollhaven" ] || continue
      hwm=$(awk '/^VmHWM:/{print $2}' "/proc/$core/status" 2>/dev/null || true)
      [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
    done
    sleep 0.05
  done
  wait "$pid" || { echo "failed: $*" >&2; tail -20 "$work/last.out" >&2; exit 1; }
  echo "$peak"
}

jobs_mode() {
  local files=${BIG_FILES:-8} mib=${BIG_MIB:-512} fs=$work/tmpfs i jobs peak
  mkdir -p "$fs"
  if mount -t tmpfs -o "size=$((2 * files * mib + 256))m" qv-bench "$fs" 2>/dev/null; then
    mounts+=("$fs")
  elif [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
    fs=$(mktemp -d /dev/shm/qv-jobs-XXXXXX)
    shm_dir=$fs
  else
    echo "jobs: skipped: no tmpfs can be mounted and /dev/shm is not one"
    return
  fi
  mkdir "$fs/src"
  for i in $(seq "$files"); do head -c $((mib * 1048576)) /dev/urandom >"$fs/src/f$i"; done
  declare -A secs=()
  for jobs in 1 4 8; do
    "$bin/quorvalmist" init "$fs/ws" >/dev/null
    if [ "$jobs" = 8 ]; then
      # Sampling takes processor time: this run gives the peak, not a time.
      peak=$(core_peak_while "$bin/quorvalmist" -C "$fs/ws" copy --jobs 8 "$fs/src" "$fs/dst")
    else
      secs[$jobs]=$(timed_now "$bin/quorvalmist" -C "$fs/ws" copy --jobs "$jobs" "$fs/src" "$fs/dst")
    fi
    for i in $(seq "$files"); do
      cmp -s "$fs/src/f$i" "$fs/dst/f$i" || { echo "f$i differs after --jobs $jobs" >&2; exit 1; }
    done
    rm -rf "$fs/ws" "$fs/dst"
  done
  echo "$files files of $mib MiB on tmpfs, every file verified by MD5"
  echo
  printf '| jobs | seconds | MiB/s |\n|---|---|---|\n'
  for jobs in 1 4; do
    printf '| %d | %s | %s |\n' "$jobs" "${secs[$jobs]}" \
      "$(awk -v s="${secs[$jobs]}" -v m=$((files * mib)) 'BEGIN{printf "%.0f", m / s}')"
  done
  echo
  echo "speed-up, --jobs 4 against --jobs 1: $(ratio "${secs[1]}" "${secs[4]}")"
  echo "peak memory of the core with --jobs 8: $(awk -v k="$peak" 'BEGIN{printf "%.1f MiB", k / 1024}')"
  echo "Machine: $(nproc) cores"
  figure jobs_files "$files"
  figure jobs_mib "$mib"
  figure jobs1_s "${secs[1]}"
  figure jobs4_s "${secs[4]}"
  figure core_peak_jobs8_kib "$peak"
}

"${mode}_mode"
