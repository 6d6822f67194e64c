#!/usr/bin/env bash
# Installs, from Debian's packages, what the project needs to build, test and
# benchmark. Safe to run again; installs only what is missing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libssl-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev sqlite3 rsync
  bc time tmux exfat-fuse exfatprogs ntfs-3g fusefat dosfstools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
