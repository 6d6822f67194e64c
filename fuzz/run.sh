#!/usr/bin/env bash
# Fuzzes the INI reader and writer, the wide/narrow conversion and the
# connection-string parser with libFuzzer, each for a bounded time, growing
# the corpus kept in fuzz/corpus/. A crash is copied to fuzz/regressions/, which
# the test suite replays.
# Usage: fuzz/run.sh [seconds-per-target]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
command -v clang++ >/dev/null || apt-get install -y -qq clang libclang-rt-14-dev
out=$root/build/fuzz
mkdir -p "$out"
common=("$root"/platform/text.cc "$root"/platform/ini_text.cc "$root"/platform/posix/text_posix.cc)
db=("$root"/db/connection_string.cc "$root"/db/db_error.cc)
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root")
clang++ "${flags[@]}" "$root"/fuzz/ini_fuzzer.cc "${common[@]}" -o "$out/ini"
clang++ "${flags[@]}" "$root"/fuzz/text_fuzzer.cc "${common[@]}" -o "$out/text"
clang++ "${flags[@]}" "$root"/fuzz/connection_string_fuzzer.cc "${common[@]}" "${db[@]}" \
  -o "$out/connection_string"
status=0
for t in ini text connection_string; do
  mkdir -p "$root/fuzz/corpus/$t" "$root/fuzz/regressions/$t"
  echo "== $t: ${seconds}s"
  if ! "$out/$t" -max_total_time="$seconds" -max_len=4096 -artifact_prefix="$root/fuzz/regressions/$t/" \
      "$root/fuzz/corpus/$t" 2>"$out/$t.log"; then
    echo "crash: see $root/fuzz/regressions/$t/ and $out/$t.log"
    status=1
  fi
  tail -n 2 "$out/$t.log"
done
exit $status
