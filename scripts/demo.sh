#!/usr/bin/env bash
# Copies a sample tree with verification and shows the live progress and the
# summary. Run it after the build:
#   ./scripts/demo.sh [BUILD_DIR]      (default: build/release)
# Everything it makes lives in a temporary directory that it removes at the
# end (set KEEP=1 to keep it). Exits non-zero when the copy failed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
qv="$build/bin/quorvalmist"
if [ ! -x "$qv" ]; then
  echo "demo: $qv not found; build first (cmake --preset release && cmake --build --preset release)" >&2
  exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/quorvalmist-demo-XXXXXX")"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

# A sample tree: nested folders, names with blanks, quotes and non-ASCII
# letters, an empty file and an empty folder, sizes from bytes to a few MiB.
src="$work/sample tree"
mkdir -p "$src/photos/2019/summer" "$src/docs/it's \"quoted\"" "$src/Ünïcödé 目录" "$src/empty folder"
head -c 3145728 /dev/urandom >"$src/photos/2019/summer/large picture.raw"
head -c 1048576 /dev/urandom >"$src/photos/2019/clip.bin"
for i in $(seq 1 40); do
  head -c $((i * 997)) /dev/urandom >"$src/docs/it's \"quoted\"/note $i.txt"
done
printf 'hello\n' >"$src/Ünïcödé 目录/grüße.txt"
: >"$src/empty file"

echo "demo: copying $(find "$src" -type f | wc -l) files ($(du -sh "$src" | cut -f1)) from '$src'"
# A small chunk size makes the copy slow enough to watch the live display.
set +e
"$qv" -C "$work" copy --verify always --chunk-size 16KiB "$src" "$work/copy"
status=$?
set -e
if [ $status -ne 0 ]; then
  echo "demo: the copy failed (exit code $status)" >&2
  exit $status
fi
# Every file compared byte for byte, and the empty folder made too.
[ -d "$work/copy/empty folder" ] || { echo "demo: the empty folder was not made" >&2; exit 1; }
(cd "$src" && find . -type f -print0) | while IFS= read -r -d '' f; do
  cmp -s "$src/$f" "$work/copy/$f" || { echo "demo: $f differs from its copy" >&2; exit 1; }
done
echo "demo: every file copied and verified; each equals its source"
