#!/usr/bin/env bash
# Installs the build into a scratch prefix and copies a small tree with the
# installed front end: the three programs find each other in the prefix's bin/.
set -euo pipefail
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
ls "$tmp/prefix/bin/Tollhaven" "$tmp/prefix/bin/Skiffwright" >/dev/null
"$tmp/prefix/bin/quorvalmist" --version | grep -Eq '^quorvalmist [0-9]+\.[0-9]+\.[0-9]+$'
mkdir -p "$tmp/src/sub" "$tmp/markers"
chmod 700 "$tmp/markers"
echo one >"$tmp/src/a"
head -c 100000 /dev/urandom >"$tmp/src/sub/b"
export QUORVALMIST_MARKER_DIR="$tmp/markers"
"$tmp/prefix/bin/quorvalmist" -C "$tmp/ws" copy "$tmp/src" "$tmp/dst" >/dev/null
cmp "$tmp/src/a" "$tmp/dst/a"
cmp "$tmp/src/sub/b" "$tmp/dst/sub/b"
echo "installed programs copied the tree"
